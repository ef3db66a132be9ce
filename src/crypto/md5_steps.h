// The four MD5 step functions, shared by the plain compression and the one
// stitched with the RC4 keystream.
#pragma once

#include <bit>
#include <cstdint>

namespace vc::md5_detail {

// Each step adds the message word and constant into a first: that sum does
// not depend on b, so it is ready before the round function is and the
// critical path per step is round function, add, rotate, add. Left to
// itself the compiler reassociates the sum and adds the word to the round
// function instead, one more addition on the path; an empty asm statement
// hides the sum's value from it, which keeps the order.
[[gnu::always_inline]] inline uint32_t settled(uint32_t value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    asm("" : "+r"(value));
#endif
    return value;
}

[[gnu::always_inline]] inline uint32_t stepF(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                             uint32_t xk, int s) noexcept {
    // (b & c) | (~b & d), selected without the complement.
    return b + std::rotl(settled(a + xk) + (d ^ (b & (c ^ d))), s);
}

[[gnu::always_inline]] inline uint32_t stepG(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                             uint32_t xk, int s) noexcept {
    // (b & d) | (c & ~d): the two terms never share a bit, so they may be
    // added, and c & ~d joins the sum before b is known.
    return b + std::rotl(settled(a + xk + (c & ~d)) + (b & d), s);
}

[[gnu::always_inline]] inline uint32_t stepH(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                             uint32_t xk, int s) noexcept {
    return b + std::rotl(settled(a + xk) + (settled(c ^ d) ^ b), s);
}

[[gnu::always_inline]] inline uint32_t stepI(uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                             uint32_t xk, int s) noexcept {
    return b + std::rotl(settled(a + xk) + (c ^ (b | ~d)), s);
}

}  // namespace vc::md5_detail
