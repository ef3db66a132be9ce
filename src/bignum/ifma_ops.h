// What the AVX-512 IFMA engines share: the work records, the digit
// conversions (ifma_digits.cpp) and the lane operations of each register
// width. The Montgomery kernel is in ifma_kernel.h; ifma_ymm.cpp,
// ifma_zmm.cpp and ifma_zmm_long.cpp instantiate it, so the heavy
// instantiations compile as separate translation units of about the same
// size, and modexp_ifma.cpp picks one at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define VC_IFMA_KERNEL 1
#include <immintrin.h>
// The unmasked intrinsics start from a deliberately undefined vector that
// every lane then overwrites; g++ 12 reports that as a use before
// initialisation once they are inlined (or a possible one, at -O1).
// clang knows neither the false report nor the second warning's name.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#else
#define VC_IFMA_KERNEL 0
#endif

#if VC_IFMA_KERNEL

namespace vc::ifma {

#define VC_IFMA_TARGET __attribute__((target("avx512f,avx512vl,avx512ifma")))
#define VC_IFMA_INLINE VC_IFMA_TARGET inline __attribute__((always_inline))

constexpr uint32_t DIGIT_BITS = 52;
constexpr uint64_t DIGIT_MASK = (uint64_t{1} << DIGIT_BITS) - 1;
constexpr uint32_t WINDOW = 5;
constexpr uint32_t ENTRIES = 1u << WINDOW;
constexpr uint32_t MAX_LANES = 40;  // 2048-bit moduli: 40 digits, 5 vectors
constexpr uint32_t MAX_LIMBS = 32;
static_assert(MAX_LANES % 8 == 0, "each table entry starts a 512-bit load");

// Everything the engine keeps, all of it secret: both tables, both moduli'
// digits (the primes are secret too), the accumulators. The exponents are
// read where the caller keeps them.
struct alignas(64) PairWork {
    uint64_t table[2][ENTRIES][MAX_LANES];
    uint64_t mod[2][MAX_LANES];
    uint64_t rr[2][MAX_LANES];  // R^2 mod m, R = 2^(52 N)
    uint64_t base[2][MAX_LANES];
    uint64_t acc[2][MAX_LANES];
    uint64_t entry[2][MAX_LANES];
    uint64_t one[MAX_LANES];
    uint64_t limbs[2][MAX_LIMBS + 1];
    uint64_t k0[2];
};

// What the public engine keeps, nothing secret; a blinding product
// (runProductYmm) keeps secrets in it, and its record is wiped.
struct alignas(64) PublicWork {
    uint64_t mod[MAX_LANES];
    uint64_t base[MAX_LANES];   // base R mod m
    uint64_t plain[MAX_LANES];  // base mod m
    uint64_t acc[MAX_LANES];
    uint64_t limbs[MAX_LIMBS + 1];
};

// The pair engine with both moduli in the same 512-bit registers
// (ifma_joint.cpp), for primes of up to 20 digits (16 limbs): digit d of p
// in lane 2d, digit d of q in lane 2d + 1. All of it secret, as PairWork.
constexpr uint32_t JOINT_LANES = 40;
struct alignas(64) JointWork {
    uint64_t table[ENTRIES][JOINT_LANES];
    uint64_t mod[JOINT_LANES];
    uint64_t rr[JOINT_LANES];
    uint64_t base[JOINT_LANES];
    uint64_t acc[JOINT_LANES];
    uint64_t entry[JOINT_LANES];
    uint64_t one[JOINT_LANES];
    uint64_t digits[MAX_LANES];
    uint64_t limbs[MAX_LIMBS + 1];
    alignas(16) uint64_t k0[2];  // p's, then q's
};

// -m^-1 mod 2^52 by Newton's iteration (m odd is its own inverse mod 8).
uint64_t digitInverse(uint64_t m0) noexcept;

// out = x - m if that does not borrow, else x; x has k + 1 limbs, x < 2m.
void subtractMasked(uint64_t* out, const uint64_t* x, const uint64_t* m, uint32_t k) noexcept;

// The pair engines' R^2 mod m for R = 2^(52 n) comes from the caller's
// 2^(128 k) mod m in two Montgomery products: the product of it and
// 2^(130 n - 128 k) is 2^(78 n) = R^(3/2), whose square is R^2. This is
// the bit of that power of two. It lies below R for every size served
// (n = 5k / 4), and both products keep the engine's bound (below 2m).
constexpr uint32_t radixBridgeBit(uint32_t n, uint32_t k) {
    return 130 * n - 128 * k;
}
static_assert(radixBridgeBit(40, 32) < 40 * DIGIT_BITS && radixBridgeBit(10, 8) < 10 * DIGIT_BITS);

// Bits position .. position + WINDOW - 1 of an exponent of k limbs;
// position is public, the value is not.
inline uint32_t windowAt(const uint64_t* e, uint32_t k, uint32_t position) {
    const uint32_t index = position / 64;
    const uint32_t shift = position % 64;
    uint64_t v = e[index] >> shift;
    if (shift + WINDOW > 64 && index + 1 < k) {
        v |= e[index + 1] << (64 - shift);
    }
    return static_cast<uint32_t>(v & (ENTRIES - 1));
}

// The fixed-window walk over both exponents of k limbs, from the top:
// gather(windowP, windowQ) picks the table entries, start() makes the
// first one the accumulator, square() and multiply() (by the gathered
// entry) advance it. Every window costs the same whatever its bits.
template <typename Gather, typename Start, typename Square, typename Multiply>
void walkWindows(const uint64_t* const exponent[2], uint32_t k, const Gather& gather,
                 const Start& start, const Square& square, const Multiply& multiply) {
    const uint32_t bits = 64 * k;
    uint32_t position = bits - (bits % WINDOW == 0 ? WINDOW : bits % WINDOW);
    gather(windowAt(exponent[0], k, position), windowAt(exponent[1], k, position));
    start();
    while (position != 0) {
        position -= WINDOW;
        for (uint32_t s = 0; s < WINDOW; ++s) {
            square();
        }
        gather(windowAt(exponent[0], k, position), windowAt(exponent[1], k, position));
        multiply();
    }
}

// k limbs of 64 bits into n digits of 52 (the value fits), lanes above
// n zero up to `lanes`.
void toDigits(const uint64_t* x, uint32_t k, uint64_t* out, uint32_t n, uint32_t lanes) noexcept;

// n normalised digits into k limbs (the value fits).
void fromDigits(const uint64_t* x, uint32_t n, uint64_t* out, uint32_t k) noexcept;

// The engines of each register width (ifma_ymm.cpp, ifma_zmm.cpp), for
// moduli of 8, 16, 24 or 32 limbs (runPairZmm: 24 or 32, runPairJoint the
// others): both halves of a private exponentiation, and a public one.
void runPairYmm(const uint64_t* const base[2], const uint64_t* const exponent[2],
                const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                uint64_t* const out[2], PairWork& work) noexcept;
void runPairZmm(const uint64_t* const base[2], const uint64_t* const exponent[2],
                const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                uint64_t* const out[2], PairWork& work) noexcept;
// Both halves of a private exponentiation with moduli of 8 or 16 limbs,
// the two moduli sharing each 512-bit register (ifma_joint.cpp).
void runPairJoint(const uint64_t* const base[2], const uint64_t* const exponent[2],
                  const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                  uint64_t* const out[2], JointWork& work) noexcept;
void runPublicYmm(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                  const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept;
// One product a b / R mod m in 256-bit registers, fully reduced (the
// blinding's): w then holds secrets, which the caller wipes.
void runProductYmm(const uint64_t* a, const uint64_t* b, const uint64_t* mod, uint32_t k,
                   uint64_t* out, PublicWork& w) noexcept;
void runPublicZmm(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                  const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept;
// The 512-bit engines for moduli of 32 limbs, which runPairZmm and
// runPublicZmm call (ifma_zmm_long.cpp): the largest kernels, compiled
// apart from the others so that the two halves of the work compile in
// parallel in about the same time.
void runPairZmmLong(const uint64_t* const base[2], const uint64_t* const exponent[2],
                    const uint64_t* const mod[2], const uint64_t* const rr[2],
                    uint64_t* const out[2], PairWork& work) noexcept;
void runPublicZmmLong(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                      const uint64_t* mod, uint64_t* out, PublicWork& w) noexcept;

// Keeps a loaded vector a plain register value: the compiler may not fold
// the load into a masked load, which would skip memory the mask excludes.
template <typename Vec>
VC_IFMA_INLINE Vec opaque(Vec x) {
    __asm__("" : "+v"(x));
    return x;
}

// The lane operations of each register width: 8 digits in a 512-bit
// register, or 4 in a 256-bit one. Where 512-bit operations run as two
// 256-bit halves, the narrow form wastes no lanes on the top vector and
// splits the dependent steps finer; where they run at full width, the wide
// form issues half the instructions.
struct Zmm {
    using Vec = __m512i;
    static constexpr uint32_t LANES = 8;
    static VC_IFMA_INLINE Vec zero() { return _mm512_setzero_si512(); }
    static VC_IFMA_INLINE Vec set1(uint64_t x) {
        return _mm512_set1_epi64(static_cast<long long>(x));
    }
    static VC_IFMA_INLINE Vec load(const uint64_t* p) { return _mm512_load_si512(p); }
    static VC_IFMA_INLINE void store(uint64_t* p, Vec x) { _mm512_store_si512(p, x); }
    static VC_IFMA_INLINE Vec madd52lo(Vec acc, Vec a, Vec b) {
        return _mm512_madd52lo_epu64(acc, a, b);
    }
    static VC_IFMA_INLINE Vec madd52hi(Vec acc, Vec a, Vec b) {
        return _mm512_madd52hi_epu64(acc, a, b);
    }
    static VC_IFMA_INLINE Vec lowBroadcast(Vec x) {
        return _mm512_broadcastq_epi64(_mm512_castsi512_si128(x));
    }
    // Lane 1 in lane 0 (and each odd lane in the even one below it): a
    // shuffle within 128-bit lanes, one cycle where the cross-lane align
    // takes three.
    static VC_IFMA_INLINE Vec oddLanes(Vec x) { return _mm512_unpackhi_epi64(x, x); }
    // Lane 0 shifted right, the other lanes zero.
    static VC_IFMA_INLINE Vec lowShifted(Vec x) {
        return _mm512_maskz_srli_epi64(1, x, DIGIT_BITS);
    }
    // Lanes 1.. of lo, then lane 0 of hi.
    static VC_IFMA_INLINE Vec down(Vec hi, Vec lo) { return _mm512_alignr_epi64(hi, lo, 1); }
    // The top lane of lo, then lanes ..LANES - 2 of hi.
    static VC_IFMA_INLINE Vec up(Vec hi, Vec lo) { return _mm512_alignr_epi64(hi, lo, 7); }
    static VC_IFMA_INLINE Vec srli(Vec x) { return _mm512_srli_epi64(x, DIGIT_BITS); }
    static VC_IFMA_INLINE Vec andv(Vec x, Vec y) { return _mm512_and_si512(x, y); }
    static VC_IFMA_INLINE Vec add(Vec x, Vec y) { return _mm512_add_epi64(x, y); }
    static VC_IFMA_INLINE __mmask8 greater(Vec x, Vec y) { return _mm512_cmpgt_epu64_mask(x, y); }
    static VC_IFMA_INLINE __mmask8 equal(Vec x, Vec y) { return _mm512_cmpeq_epu64_mask(x, y); }
    static VC_IFMA_INLINE Vec maskAdd(Vec x, __mmask8 k, Vec y) {
        return _mm512_mask_add_epi64(x, k, x, y);
    }
    static VC_IFMA_INLINE Vec maskMov(Vec x, __mmask8 k, Vec y) {
        return _mm512_mask_mov_epi64(x, k, y);
    }
    static VC_IFMA_INLINE __mmask8 test(Vec x, Vec y) { return _mm512_test_epi64_mask(x, y); }
};

struct Ymm {
    using Vec = __m256i;
    static constexpr uint32_t LANES = 4;
    static VC_IFMA_INLINE Vec zero() { return _mm256_setzero_si256(); }
    static VC_IFMA_INLINE Vec set1(uint64_t x) {
        return _mm256_set1_epi64x(static_cast<long long>(x));
    }
    static VC_IFMA_INLINE Vec load(const uint64_t* p) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
    }
    static VC_IFMA_INLINE void store(uint64_t* p, Vec x) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(p), x);
    }
    static VC_IFMA_INLINE Vec madd52lo(Vec acc, Vec a, Vec b) {
        return _mm256_madd52lo_epu64(acc, a, b);
    }
    static VC_IFMA_INLINE Vec madd52hi(Vec acc, Vec a, Vec b) {
        return _mm256_madd52hi_epu64(acc, a, b);
    }
    static VC_IFMA_INLINE Vec lowBroadcast(Vec x) {
        return _mm256_broadcastq_epi64(_mm256_castsi256_si128(x));
    }
    static VC_IFMA_INLINE Vec oddLanes(Vec x) { return _mm256_unpackhi_epi64(x, x); }
    static VC_IFMA_INLINE Vec lowShifted(Vec x) {
        return _mm256_maskz_srli_epi64(1, x, DIGIT_BITS);
    }
    static VC_IFMA_INLINE Vec down(Vec hi, Vec lo) { return _mm256_alignr_epi64(hi, lo, 1); }
    static VC_IFMA_INLINE Vec up(Vec hi, Vec lo) { return _mm256_alignr_epi64(hi, lo, 3); }
    static VC_IFMA_INLINE Vec srli(Vec x) { return _mm256_srli_epi64(x, DIGIT_BITS); }
    static VC_IFMA_INLINE Vec andv(Vec x, Vec y) { return _mm256_and_si256(x, y); }
    static VC_IFMA_INLINE Vec add(Vec x, Vec y) { return _mm256_add_epi64(x, y); }
    static VC_IFMA_INLINE __mmask8 greater(Vec x, Vec y) { return _mm256_cmpgt_epu64_mask(x, y); }
    static VC_IFMA_INLINE __mmask8 equal(Vec x, Vec y) { return _mm256_cmpeq_epu64_mask(x, y); }
    static VC_IFMA_INLINE Vec maskAdd(Vec x, __mmask8 k, Vec y) {
        return _mm256_mask_add_epi64(x, k, x, y);
    }
    static VC_IFMA_INLINE Vec maskMov(Vec x, __mmask8 k, Vec y) {
        return _mm256_mask_mov_epi64(x, k, y);
    }
    static VC_IFMA_INLINE __mmask8 test(Vec x, Vec y) { return _mm256_test_epi64_mask(x, y); }
};

}  // namespace vc::ifma

#endif
