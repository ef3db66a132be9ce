// Fixed-width integers read from and written to bytes in a stated order:
// big-endian for the wire and for BigNum bytes, little-endian inside MD5 and
// DES. At run time each is one unaligned move, plus a byte swap when the
// stated order is not the processor's, whatever the optimisation level; in
// constant expressions they fall back to shifts, which memcpy cannot do.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vc {
namespace bytes_detail {

template <typename T>
constexpr T byteSwap(T x) noexcept {
    if constexpr (sizeof(T) == 2) {
        return __builtin_bswap16(x);
    } else if constexpr (sizeof(T) == 4) {
        return __builtin_bswap32(x);
    } else {
        return __builtin_bswap64(x);
    }
}

template <typename T, std::endian Order>
constexpr T load(const uint8_t* p) noexcept {
    if (std::is_constant_evaluated()) {
        T x = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            const std::size_t shift = Order == std::endian::little ? i : sizeof(T) - 1 - i;
            x = static_cast<T>(x | static_cast<T>(T{p[i]} << (8 * shift)));
        }
        return x;
    }
    T x;
    std::memcpy(&x, p, sizeof x);
    return Order == std::endian::native ? x : byteSwap(x);
}

template <typename T, std::endian Order>
constexpr void store(uint8_t* p, T x) noexcept {
    if (std::is_constant_evaluated()) {
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            const std::size_t shift = Order == std::endian::little ? i : sizeof(T) - 1 - i;
            p[i] = static_cast<uint8_t>(x >> (8 * shift));
        }
        return;
    }
    const T ordered = Order == std::endian::native ? x : byteSwap(x);
    std::memcpy(p, &ordered, sizeof ordered);
}

}  // namespace bytes_detail

constexpr uint16_t loadBe16(const uint8_t* p) noexcept {
    return bytes_detail::load<uint16_t, std::endian::big>(p);
}
constexpr uint32_t loadBe32(const uint8_t* p) noexcept {
    return bytes_detail::load<uint32_t, std::endian::big>(p);
}
constexpr uint64_t loadBe64(const uint8_t* p) noexcept {
    return bytes_detail::load<uint64_t, std::endian::big>(p);
}
constexpr uint16_t loadLe16(const uint8_t* p) noexcept {
    return bytes_detail::load<uint16_t, std::endian::little>(p);
}
constexpr uint32_t loadLe32(const uint8_t* p) noexcept {
    return bytes_detail::load<uint32_t, std::endian::little>(p);
}
constexpr uint64_t loadLe64(const uint8_t* p) noexcept {
    return bytes_detail::load<uint64_t, std::endian::little>(p);
}

constexpr void storeBe16(uint8_t* p, uint16_t x) noexcept {
    bytes_detail::store<uint16_t, std::endian::big>(p, x);
}
constexpr void storeBe32(uint8_t* p, uint32_t x) noexcept {
    bytes_detail::store<uint32_t, std::endian::big>(p, x);
}
constexpr void storeBe64(uint8_t* p, uint64_t x) noexcept {
    bytes_detail::store<uint64_t, std::endian::big>(p, x);
}
constexpr void storeLe16(uint8_t* p, uint16_t x) noexcept {
    bytes_detail::store<uint16_t, std::endian::little>(p, x);
}
constexpr void storeLe32(uint8_t* p, uint32_t x) noexcept {
    bytes_detail::store<uint32_t, std::endian::little>(p, x);
}
constexpr void storeLe64(uint8_t* p, uint64_t x) noexcept {
    bytes_detail::store<uint64_t, std::endian::little>(p, x);
}

}  // namespace vc
