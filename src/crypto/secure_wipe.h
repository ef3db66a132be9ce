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

}  // namespace vc
