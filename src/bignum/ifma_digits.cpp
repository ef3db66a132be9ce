// The IFMA engines' conversions between 64-bit limbs and 52-bit digits,
// and the few limb operations around them; none of them needs a vector
// instruction.
#include <cstdint>
#include <cstring>

#include "bignum/ifma_ops.h"
#include "support/secure_wipe.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

// -m^-1 mod 2^52 by Newton's iteration (m odd is its own inverse mod 8).
uint64_t digitInverse(uint64_t m0) noexcept {
    uint64_t inv = m0;
    for (int i = 0; i < 5; ++i) {
        inv *= 2 - m0 * inv;
    }
    return (0 - inv) & DIGIT_MASK;
}

// out = x - m if that does not borrow, else x; x has k + 1 limbs, x < 2m.
void subtractMasked(uint64_t* out, const uint64_t* x, const uint64_t* m, uint32_t k) noexcept {
    uint64_t diff[MAX_LIMBS];
    uint64_t borrow = 0;
    for (uint32_t j = 0; j < k; ++j) {
        const uint64_t d = x[j] - m[j];
        const uint64_t b1 = x[j] < m[j] ? 1 : 0;
        diff[j] = d - borrow;
        borrow = b1 | (d < borrow ? 1 : 0);
    }
    const uint64_t keep = 0 - static_cast<uint64_t>(borrow > x[k] ? 1 : 0);
    for (uint32_t j = 0; j < k; ++j) {
        out[j] = (x[j] & keep) | (diff[j] & ~keep);
    }
    secureWipe(diff, sizeof diff);
}

// k limbs of 64 bits into n digits of 52 (the value fits), lanes above
// n zero up to `lanes`.
void toDigits(const uint64_t* x, uint32_t k, uint64_t* out, uint32_t n, uint32_t lanes) noexcept {
    for (uint32_t i = 0; i < lanes; ++i) {
        uint64_t v = 0;
        if (i < n) {
            const uint32_t bit = i * DIGIT_BITS;
            const uint32_t index = bit / 64;
            const uint32_t shift = bit % 64;
            if (index < k) {
                v = x[index] >> shift;
            }
            if (shift > 64 - DIGIT_BITS && index + 1 < k) {
                v |= x[index + 1] << (64 - shift);
            }
        }
        out[i] = v & DIGIT_MASK;
    }
}

// n normalised digits into k limbs (the value fits).
void fromDigits(const uint64_t* x, uint32_t n, uint64_t* out, uint32_t k) noexcept {
    std::memset(out, 0, k * sizeof(uint64_t));
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t bit = i * DIGIT_BITS;
        const uint32_t index = bit / 64;
        const uint32_t shift = bit % 64;
        if (index < k) {
            out[index] |= x[i] << shift;
        }
        if (shift > 64 - DIGIT_BITS && index + 1 < k) {
            out[index + 1] |= x[i] >> (64 - shift);
        }
    }
}

}  // namespace vc::ifma

#endif
