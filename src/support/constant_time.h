// Branch-free helpers for comparisons whose outcome, or whose position of
// first difference, must not show in timing: MAC checks and padding scans.
// Every mask is all-ones (true) or zero (false).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vc {

// 0xFFFFFFFF when x is zero, else 0.
constexpr uint32_t ctIsZero(uint32_t x) noexcept {
    // (x | -x) has its top bit set exactly when x != 0.
    return ((x | (0u - x)) >> 31) - 1u;
}

constexpr uint32_t ctEqual(uint32_t a, uint32_t b) noexcept {
    return ctIsZero(a ^ b);
}

// 0xFFFFFFFF when a < b (unsigned), else 0.
constexpr uint32_t ctLess(uint32_t a, uint32_t b) noexcept {
    // Borrow out of a - b, computed without a data-dependent branch.
    return 0u - ((a ^ ((a ^ b) | ((a - b) ^ b))) >> 31);
}

// mask ? a : b
constexpr uint32_t ctSelect(uint32_t mask, uint32_t a, uint32_t b) noexcept {
    return b ^ (mask & (a ^ b));
}

// 0xFFFFFFFF when the two ranges hold the same bytes; reads every byte.
inline uint32_t ctMemEqual(const uint8_t* a, const uint8_t* b, std::size_t length) noexcept {
    uint32_t diff = 0;
    for (std::size_t i = 0; i < length; ++i) {
        diff |= static_cast<uint32_t>(a[i] ^ b[i]);
    }
    return ctIsZero(diff);
}

}  // namespace vc
