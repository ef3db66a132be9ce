// Normalisation shared by the arithmetic files, and the working storage and
// individual exponentiation engines behind bigNumModExp, visible to tests so
// each engine can be checked on its own and its storage examined after it
// returns. Not for use by other modules.
#pragma once

#include <cstdint>

#include "bignum/bignum.h"
#include "bignum/mont_kernels.h"

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

// The engine for short public exponents (up to two words, such as 65537):
// left-to-right square and multiply with no table. The last multiplication
// of an odd exponent takes the plain base, which brings the result out of
// Montgomery form at no extra cost.
template <typename Limb>
struct ModExpShortWork {
    static constexpr uint32_t MAX_LIMBS = ModExpLimbWork<Limb>::MAX_LIMBS;
    Limb accumulator[MAX_LIMBS];
    Limb modulus[MAX_LIMBS];
    Limb base[MAX_LIMBS];   // base R mod n
    Limb plain[MAX_LIMBS];  // base mod n
    Limb product[MAX_LIMBS + 2];
    Limb factors[MAX_LIMBS];
    Limb wide[2 * MAX_LIMBS + 1];  // the dividend of the conversion
    Limb normalised[MAX_LIMBS];    // n shifted to its top bit
    BigNum quotient;               // of a base not below n
};

using ModExpWork32 = ModExpLimbWork<uint32_t>;
void bigNumModExpInterleaved32(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork32* work) noexcept;
// Exponents of one or two words only.
void bigNumModExpShort32(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                         ModExpShortWork<uint32_t>* work) noexcept;

#if defined(__SIZEOF_INT128__)
using ModExpWork64 = ModExpLimbWork<uint64_t>;
void bigNumModExpInterleaved64(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork64* work) noexcept;
void bigNumModExpShort64(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                         ModExpShortWork<uint64_t>* work) noexcept;
// The Montgomery kernels both engines use for k 64-bit limbs: the portable
// ones, or with fast those chosen for this processor.
MontKernels64 bigNumMontKernels64(uint32_t k, bool fast) noexcept;
#endif

// The constant-time engine for secret exponents (and secret moduli: the
// primes of a key). Fixed windows of SECRET_WINDOW bits, table entries
// gathered under masks, Montgomery products with a masked final
// subtraction, and the base brought into Montgomery form by products with
// R^2 mod n, which itself is made by doublings and squarings: there is no
// division and no branch on any value.
constexpr uint32_t SECRET_WINDOW = 5;

template <typename Limb>
struct ModExpSecretWork {
    static constexpr uint32_t MAX_LIMBS = ModExpLimbWork<Limb>::MAX_LIMBS;
    Limb table[1u << SECRET_WINDOW][MAX_LIMBS];
    Limb accumulator[MAX_LIMBS];
    Limb modulusP[MAX_LIMBS];
    Limb modulusQ[MAX_LIMBS];
    Limb rrP[MAX_LIMBS];  // R^2 mod p
    Limb rrQ[MAX_LIMBS];
    Limb exponent[MAX_LIMBS];
    Limb base[MAX_LIMBS];  // the base in Montgomery form
    Limb entry[MAX_LIMBS];
    Limb m1[MAX_LIMBS];
    Limb m2[MAX_LIMBS];
    Limb product[MAX_LIMBS + 2];
    Limb factors[MAX_LIMBS];
    Limb wide[2 * MAX_LIMBS + 1];
    BigNum value;
};

// out = base^exponent mod n; n odd, 1..128 words; the exponent below
// 2^(32 length(n)) (rounded up to whole limbs). *work is zero on return.
using ModExpSecretWork32 = ModExpSecretWork<uint32_t>;
void bigNumModExpSecret32(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                          ModExpSecretWork32* work) noexcept;
// Garner's recombination of c^dP mod p and c^dQ mod q, c < p q.
void bigNumModExpCrt32(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                       const BigNum* q, const BigNum* qInv, BigNum* out,
                       ModExpSecretWork32* work) noexcept;

#if defined(__SIZEOF_INT128__)
using ModExpSecretWork64 = ModExpSecretWork<uint64_t>;
void bigNumModExpSecret64(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                          ModExpSecretWork64* work) noexcept;
void bigNumModExpCrt64(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                       const BigNum* q, const BigNum* qInv, BigNum* out,
                       ModExpSecretWork64* work) noexcept;
#endif

// The processor-specific kernels, by bit: mulx/adcx/adox products on 64-bit
// limbs, the AVX-512 IFMA pair engine in 512-bit registers and in 256-bit
// ones, and vector products on 32-bit limbs in AVX2 or (the wide bit)
// AVX-512F registers. Each is used only where cpuid shows it and only while
// allowed; everything is allowed unless bigNumAllowKernels narrows it,
// which tests do to run the portable kernels on a processor that has the
// fast ones. Not for the library's own use: results are the same whichever
// kernel runs.
constexpr uint32_t BIGNUM_KERNEL_ADX = 1;
constexpr uint32_t BIGNUM_KERNEL_IFMA = 2;
constexpr uint32_t BIGNUM_KERNEL_VEC32 = 4;
constexpr uint32_t BIGNUM_KERNEL_VEC32_WIDE = 8;
constexpr uint32_t BIGNUM_KERNEL_IFMA256 = 16;
constexpr uint32_t BIGNUM_KERNELS_ALL = BIGNUM_KERNEL_ADX | BIGNUM_KERNEL_IFMA |
                                        BIGNUM_KERNEL_VEC32 | BIGNUM_KERNEL_VEC32_WIDE |
                                        BIGNUM_KERNEL_IFMA256;
void bigNumAllowKernels(uint32_t mask) noexcept;
bool bigNumKernelAllowed(uint32_t kernel) noexcept;
uint32_t bigNumAllowedKernels() noexcept;

// The engines a private operation (both halves of a CRT exponentiation) can
// run on: the interleaved products on the widest native limb with the
// portable kernels or the carry-chain ones, the 32-bit limb engine with
// vector products, and the IFMA pair engine in either register width.
// Which is fastest depends on the processor more than cpuid can tell (an
// instruction set may run at half width), so it is measured: the first
// private operation with primes of a length times every engine the
// processor has and the mask allows on fixed dummy operands, and that
// length keeps the fastest for the process.
enum BigNumEngine : uint32_t {
    BIGNUM_ENGINE_PORTABLE,
    BIGNUM_ENGINE_ADX,
    BIGNUM_ENGINE_VEC32,
    BIGNUM_ENGINE_VEC32_WIDE,
    BIGNUM_ENGINE_IFMA,
    BIGNUM_ENGINE_IFMA256,
    BIGNUM_ENGINE_COUNT
};
// A short name for reports: "portable", "adx", "vec32", ...
const char* bigNumEngineName(uint32_t engine) noexcept;
// Whether the processor has the engine, the mask allows it and it serves
// primes of `words` 32-bit words, or with publicOp public operations
// (exponents of one or two words) on moduli of `words` words. Public
// operations run on the widest native limb only, so the 32-bit vector
// engines serve them on 32-bit builds and the others on 64-bit ones.
bool bigNumEngineUsable(uint32_t engine, uint32_t words, bool publicOp = false) noexcept;
// What the measurement for one length found: nanoseconds of the best of a
// few dummy CRT exponentiations per engine, 0 for those not timed (not
// usable, or on 64-bit builds the 32-bit vector engines where an IFMA
// engine serves: those are never the fastest there).
struct BigNumEngineTimes {
    uint64_t nanoseconds[BIGNUM_ENGINE_COUNT];
    uint32_t chosen;
};
// The engine for primes of `words` words (1..128), measured once per length
// and mask, thread-safely, and kept for the process; *times, when given,
// receives the times of that measurement (measured again if the latest for
// the length was under another mask).
uint32_t bigNumPrivateEngine(uint32_t words, BigNumEngineTimes* times = nullptr) noexcept;
// The same for public operations on moduli of `words` words.
uint32_t bigNumPublicEngine(uint32_t words, BigNumEngineTimes* times = nullptr) noexcept;
// Nanoseconds of one dummy CRT exponentiation with primes of `words` words
// on the engine, or with publicOp of a dummy exponentiation to 65537 modulo
// a number of `words` words; the engine must be usable (the measurement's
// unit).
uint64_t bigNumTimeEngine(uint32_t engine, uint32_t words, bool publicOp = false) noexcept;

// bigNumModExpCrtWithRadix (rrP, rrQ may be null) on the given engine,
// usable for p's length, rather than the one chosen.
void bigNumModExpCrtOn(uint32_t engine, const BigNum* c, const BigNum* dP, const BigNum* dQ,
                       const BigNum* p, const BigNum* q, const BigNum* qInv, const BigNum* rrP,
                       const BigNum* rrQ, BigNum* out) noexcept;
// bigNumModExp for an exponent of one or two words on the given engine,
// usable for public operations on n's length.
void bigNumModExpShortOn(uint32_t engine, const BigNum* base, const BigNum* exponent,
                         const BigNum* n, BigNum* out) noexcept;

// The AVX-512 IFMA engine (modexp_ifma.cpp): both halves of an RSA private
// exponentiation at once, in digits of 52 bits. Whether the processor has
// it, decided once from cpuid; false wherever the kernel is not built.
bool bigNumIfmaAvailable() noexcept;
// Whether bigNumModExpPairIfma runs for moduli of `limbs` 64-bit limbs (8,
// 16, 24 or 32) on this processor in the engine's register width
// (BIGNUM_ENGINE_IFMA or BIGNUM_ENGINE_IFMA256), as the mask allows.
bool bigNumIfmaServes(uint32_t limbs, uint32_t engine = BIGNUM_ENGINE_IFMA) noexcept;
// outP = baseP^expP mod p and outQ = baseQ^expQ mod q, every operand
// `limbs` 64-bit limbs, least significant first: p and q odd, bases of
// any value that fits (the engine reduces them), rrP = 2^(128 limbs) mod p
// (fully reduced, as bigNumRadixSquared makes it) and rrQ likewise. Every
// exponent bit is used whatever its value; time and memory addresses
// depend on `limbs` only. Returns false, touching nothing, when
// bigNumIfmaServes(limbs, engine) is false. Outputs may be inputs.
bool bigNumModExpPairIfma(const uint64_t* baseP, const uint64_t* expP, const uint64_t* p,
                          const uint64_t* rrP, const uint64_t* baseQ, const uint64_t* expQ,
                          const uint64_t* q, const uint64_t* rrQ, uint32_t limbs, uint64_t* outP,
                          uint64_t* outQ, uint32_t engine = BIGNUM_ENGINE_IFMA) noexcept;
// The IFMA engines' radix R = 2^(52 d) for the d digits of 52 bits that
// hold `limbs` 64-bit limbs, as bits beyond 2^(64 limbs): 8 to 32 for 8 to
// 32 limbs.
constexpr uint32_t bigNumIfmaExtraBits(uint32_t limbs) noexcept {
    return 52 * ((64 * limbs + 51) / 52) - 64 * limbs;
}
// out = a b / R mod n, fully reduced, for a, b < n of `limbs` 64-bit limbs
// (8, 16, 24 or 32) in the 256-bit IFMA engine's radix R = 2^(64 limbs +
// bigNumIfmaExtraBits(limbs)), in time that depends on limbs only. False,
// touching nothing, when that engine does not serve (bigNumIfmaServes).
bool bigNumMontMulIfma(const uint64_t* a, const uint64_t* b, const uint64_t* n, uint32_t limbs,
                       uint64_t* out) noexcept;
// out = base^exponent mod n for a public n of `limbs` 64-bit limbs (as
// bigNumIfmaServes) and a public exponent of 2 to 64 bits, variable time:
// baseR = base R mod n in the engines' radix (base 2^(64 limbs +
// bigNumIfmaExtraBits(limbs)) mod n), plain = base mod n. False, touching
// nothing, when not served.
bool bigNumModExpPublicIfma(const uint64_t* baseR, const uint64_t* plain, uint64_t exponent,
                            const uint64_t* n, uint32_t limbs, uint64_t* out,
                            uint32_t engine) noexcept;

}  // namespace vc
