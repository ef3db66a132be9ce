// Normalisation shared by the arithmetic files, and the working storage and
// individual exponentiation engines behind bigNumModExp, visible to tests so
// each engine can be checked on its own and its storage examined after it
// returns. Not for use by other modules.
#pragma once

#include <cstdint>

#include "bignum/bignum.h"

namespace vc {

constexpr uint32_t MODEXP_TABLE_ENTRIES = 32;

// Drops zero words from the top, so that words[length - 1] != 0 again.
inline void bigNumNormalise(BigNum* x) noexcept {
    uint32_t len = x->length;
    while (len > 0 && x->words[len - 1] == 0) {
        --len;
    }
    x->length = len;
}

// 1-2 exponent words: 1; 3-7: 4; 8-23: 5; 24 and more: 6.
uint32_t bigNumWindowWidth(uint32_t exponentWords) noexcept;

// n' = -n0^-1 mod 2^32, built one bit at a time (n0 odd).
uint32_t bigNumMontInverse(uint32_t n0) noexcept;

// Everything the straightforward engine keeps: odd powers in Montgomery form
// (R = 2^(32 L)), the accumulator and the product scratch.
struct ModExpPlainWork {
    BigNum table[MODEXP_TABLE_ENTRIES];
    BigNum accumulator;
    BigNum scratch;
};

// bigNumSquare / bigNumMul each followed by bigNumMontReduce. The whole of
// *work is zero on return.
void bigNumModExpPlain(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                       ModExpPlainWork* work) noexcept;

// The interleaved engine: each Montgomery product multiplies and reduces in
// one pass over limbs of 32 or 64 bits, so no double-length product is ever
// stored. With 64-bit limbs its Montgomery radix is 2^(64 ceil(L / 2)); the
// result is the same number.
template <typename Limb>
struct ModExpLimbWork {
    static constexpr uint32_t MAX_LIMBS = 4096 / (8 * sizeof(Limb));
    Limb table[MODEXP_TABLE_ENTRIES][MAX_LIMBS];
    Limb accumulator[MAX_LIMBS];
    Limb modulus[MAX_LIMBS];
    Limb product[MAX_LIMBS + 2];
    Limb factors[MAX_LIMBS];  // Montgomery factors of one product
    BigNum quotient;          // discarded quotients of the base conversion
    BigNum converted;         // base reduced, then base * R mod n
};

using ModExpWork32 = ModExpLimbWork<uint32_t>;
void bigNumModExpInterleaved32(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork32* work) noexcept;

#if defined(__SIZEOF_INT128__)
using ModExpWork64 = ModExpLimbWork<uint64_t>;
void bigNumModExpInterleaved64(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork64* work) noexcept;
#endif

}  // namespace vc
