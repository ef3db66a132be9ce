// One RC4 keystream byte, shared by the plain keystream loop and the one
// stitched with MD5.
#pragma once

#include <cstdint>

namespace vc::rc4_detail {

// sx points at S[x] for the step's (already advanced) x. y runs on as a
// plain 32-bit sum and only its low 8 bits are used: the sum's low byte is
// the same as the masked sum's, and keeping the mask off y means the chain
// from one byte to the next is a single addition. The other indices are
// masked, so the table cannot be overrun whatever it holds.
[[gnu::always_inline]] inline uint32_t step(uint32_t* s, uint32_t* sx, uint32_t& y) noexcept {
    const uint32_t tx = *sx;
    y += tx;
    const uint32_t yi = y & 0xffu;
    const uint32_t ty = s[yi];
    s[yi] = tx;
    *sx = ty;
    return s[(tx + ty) & 0xffu];
}

}  // namespace vc::rc4_detail
