// The one way secrets leave memory: overwritten with zeros through a call
// the optimiser cannot drop, even when the buffer is dead afterwards.
#pragma once

#include <cstddef>

namespace vc {

void secureWipe(void* data, std::size_t length) noexcept;

// Wipes a whole record (key schedule, cipher state, BigNum, context...).
template <typename T>
inline void secureWipeObject(T& object) noexcept {
    secureWipe(&object, sizeof(T));
}

// Wipes a range when the scope ends, however it ends: code that holds
// decoded keys, derived keys or digests across many early returns cannot
// forget one of them.
class WipeOnExit {
  public:
    WipeOnExit(void* data, std::size_t length) noexcept : data_(data), length_(length) {}
    template <typename T>
    explicit WipeOnExit(T& object) noexcept : WipeOnExit(&object, sizeof(T)) {}
    ~WipeOnExit() { secureWipe(data_, length_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    void* data_;
    std::size_t length_;
};

}  // namespace vc
