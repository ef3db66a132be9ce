// Montgomery products on 32-bit limbs in vector registers, for the engines
// the 32-bit builds use: one limb per 64-bit lane, multiplied with
// vpmuludq, on AVX2 (4 lanes) or AVX-512F (8 lanes).
//
// The product is formed row by row: for each limb a[i] the accumulator
// gains a[i] b + m[i] n, m[i] chosen so that its lowest limb vanishes, and
// then moves down one limb. A lane cannot hold the sum of two 64-bit
// products, so each product is split: its low half is added where it
// falls, its high half one lane up (which, after the move, is the same
// lane). Lanes stay below 4k 2^32 and are not normalised until the end.
// The one value a row must have exact, m[i], comes from the lowest lane,
// which general registers follow alongside the vectors (mont32_rows.inc).
//
// Nothing here branches on, or addresses memory by, a value: the number of
// limbs alone decides the loop counts and the masks of the partial loads.
#include <cstdint>
#include <utility>

#include "bignum/bignum_internal.h"
#include "bignum/mont_kernels.h"
#include "support/cpu_features.h"
#include "support/secure_wipe.h"

#if VC_MONT_VEC32
#include <immintrin.h>
// The unmasked intrinsics start from a deliberately undefined vector that
// every lane then overwrites; g++ 12 reports that as a use before
// initialisation once they are inlined. clang knows neither warning.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace vc {

#if VC_MONT_VEC32

namespace {

// The products leave their lanes unnormalised, lane j worth 2^(32 j) and
// below 2^42; this brings them to k limbs in t and subtracts n once, under
// a mask, as the portable kernels do. The carries and the borrows of t - n
// run in the same pass: two chains side by side rather than one after the
// other.
void finish(uint32_t* out, uint32_t* t, const uint64_t* lanes, const uint32_t* n,
            uint32_t k) noexcept {
    uint64_t sum = 0;
    uint32_t borrow = 0;
    for (uint32_t j = 0; j < k; ++j) {
        sum = lanes[j] + (sum >> 32);
        const uint32_t tj = static_cast<uint32_t>(sum);
        t[j] = tj;
        const uint64_t d = uint64_t{tj} - n[j] - borrow;
        out[j] = static_cast<uint32_t>(d);
        borrow = static_cast<uint32_t>(d >> 63);
    }
    const uint32_t top = static_cast<uint32_t>(sum >> 32);
    // Keep t when the subtraction borrowed beyond t's top limb.
    const uint32_t keep = 0u - static_cast<uint32_t>(borrow > top ? 1 : 0);
    for (uint32_t j = 0; j < k; ++j) {
        out[j] = (t[j] & keep) | (out[j] & ~keep);
    }
}

#define VC_AVX2 __attribute__((target("avx2")))
#define VC_AVX2_INLINE VC_AVX2 inline __attribute__((always_inline))

// The 64-bit lane 0; i686 has no single instruction for it.
VC_AVX2_INLINE uint64_t low64(__m128i x) {
#if defined(__x86_64__)
    return static_cast<uint64_t>(_mm_cvtsi128_si64(x));
#else
    return static_cast<uint32_t>(_mm_cvtsi128_si32(x)) |
           uint64_t{static_cast<uint32_t>(_mm_extract_epi32(x, 1))} << 32;
#endif
}

#define VC_AVX512 __attribute__((target("avx512f")))
#define VC_AVX512_INLINE VC_AVX512 inline __attribute__((always_inline))

// The lane operations of each width. load() zero-extends `count` limbs
// (the rest of the vector zero).
struct Avx2 {
    using Vec = __m256i;
    static constexpr uint32_t LANES = 4;

    static VC_AVX2_INLINE Vec zero() { return _mm256_setzero_si256(); }
    static VC_AVX2_INLINE Vec broadcast(uint32_t x) {
        return _mm256_set1_epi32(static_cast<int>(x));
    }
    static VC_AVX2_INLINE __m128i countMask(uint32_t count) {
        const __m128i index = _mm_setr_epi32(0, 1, 2, 3);
        return _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(count)), index);
    }
    static VC_AVX2_INLINE Vec load(const uint32_t* p, uint32_t count) {
        const auto* q = reinterpret_cast<const int*>(p);
        return _mm256_cvtepu32_epi64(count == LANES
                                         ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))
                                         : _mm_maskload_epi32(q, countMask(count)));
    }
    static VC_AVX2_INLINE void store(Vec x, uint64_t* to) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(to), x);
    }
    static VC_AVX2_INLINE Vec mul(Vec x, Vec y) { return _mm256_mul_epu32(x, y); }
    static VC_AVX2_INLINE Vec add(Vec x, Vec y) { return _mm256_add_epi64(x, y); }
    static VC_AVX2_INLINE Vec low(Vec x) {
        return _mm256_blend_epi32(x, _mm256_setzero_si256(), 0xAA);
    }
    static VC_AVX2_INLINE Vec high(Vec x) { return _mm256_srli_epi64(x, 32); }
    // Lanes 1.. of lo, then lane 0 of hi.
    static VC_AVX2_INLINE Vec down(Vec lo, Vec hi) {
        return _mm256_blend_epi32(_mm256_permute4x64_epi64(lo, 0x39),
                                  _mm256_permute4x64_epi64(hi, 0x39), 0xC0);
    }
    // The high half of lane 0, alone.
    static VC_AVX2_INLINE Vec carryOut(Vec x) {
        return _mm256_blend_epi32(_mm256_setzero_si256(), _mm256_srli_epi64(x, 32), 0x03);
    }
    static VC_AVX2_INLINE uint32_t lane0(Vec x) {
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(x)));
    }
    static VC_AVX2_INLINE uint64_t lane2(Vec x) { return low64(_mm256_extracti128_si256(x, 1)); }
};

struct Avx512 {
    using Vec = __m512i;
    static constexpr uint32_t LANES = 8;

    static VC_AVX512_INLINE Vec zero() { return _mm512_setzero_si512(); }
    static VC_AVX512_INLINE Vec broadcast(uint32_t x) {
        return _mm512_set1_epi32(static_cast<int>(x));
    }
    static VC_AVX512_INLINE __mmask16 countMask(uint32_t count) {
        return static_cast<__mmask16>((1u << count) - 1);
    }
    static VC_AVX512_INLINE Vec load(const uint32_t* p, uint32_t count) {
        // The low half of a 512-bit masked load: AVX-512F has no narrower
        // one. Masked-off limbs are neither read nor faulted on.
        const __m512i x = _mm512_maskz_loadu_epi32(countMask(count), p);
        return _mm512_cvtepu32_epi64(_mm512_castsi512_si256(x));
    }
    static VC_AVX512_INLINE void store(Vec x, uint64_t* to) { _mm512_store_si512(to, x); }
    static VC_AVX512_INLINE Vec mul(Vec x, Vec y) { return _mm512_mul_epu32(x, y); }
    static VC_AVX512_INLINE Vec add(Vec x, Vec y) { return _mm512_add_epi64(x, y); }
    static VC_AVX512_INLINE Vec low(Vec x) {
        return _mm512_maskz_mov_epi32(static_cast<__mmask16>(0x5555), x);
    }
    static VC_AVX512_INLINE Vec high(Vec x) { return _mm512_srli_epi64(x, 32); }
    static VC_AVX512_INLINE Vec down(Vec lo, Vec hi) { return _mm512_alignr_epi64(hi, lo, 1); }
    static VC_AVX512_INLINE Vec carryOut(Vec x) { return _mm512_maskz_srli_epi64(1, x, 32); }
    static VC_AVX512_INLINE uint32_t lane0(Vec x) {
        return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(x)));
    }
    static VC_AVX512_INLINE uint64_t lane2(Vec x) { return low64(_mm512_extracti32x4_epi32(x, 1)); }
};

// The kernel for each width, from the same text: the instructions it may
// use are those of the function it is compiled in, so the two copies are
// made by including it twice.
namespace avx2 {
using Ops = Avx2;
#define VC_VEC_TARGET VC_AVX2
#include "bignum/mont32_rows.inc"
#undef VC_VEC_TARGET
}  // namespace avx2

namespace avx512 {
using Ops = Avx512;
#define VC_VEC_TARGET VC_AVX512
#include "bignum/mont32_rows.inc"
#undef VC_VEC_TARGET
}  // namespace avx512

// The squares are products of a with itself: with the cross products
// formed in lanes, halving them would save less than the shuffles cost.
template <MontMul32Fn Mul>
void squareBy(uint32_t* out, const uint32_t* a, const uint32_t* n, uint32_t nPrime, uint32_t k,
              uint32_t* t, uint32_t* m) noexcept {
    Mul(out, a, a, n, nPrime, k, t, m);
}

template <uint32_t... V>
MontKernels32 pickAvx2(uint32_t v, std::integer_sequence<uint32_t, V...>) noexcept {
    static constexpr MontKernels32 kernels[] = {
        {&squareBy<&avx2::mul<V + 1>>, &avx2::mul<V + 1>}...};
    return kernels[v - 1];
}

template <uint32_t... V>
MontKernels32 pickAvx512(uint32_t v, std::integer_sequence<uint32_t, V...>) noexcept {
    static constexpr MontKernels32 kernels[] = {
        {&squareBy<&avx512::mul<V + 1>>, &avx512::mul<V + 1>}...};
    return kernels[v - 1];
}

}  // namespace

bool montVec32KernelsOf(uint32_t k, bool wide, MontKernels32* kernels) noexcept {
    // The AVX-512 kernels use AVX2 as well; the test hook is read on every
    // call.
    if (k < VEC32_MIN_LIMBS || k > ModExpLimbWork<uint32_t>::MAX_LIMBS) {
        return false;
    }
    if (wide) {
        if (!cpuHas(CPU_AVX2 | CPU_AVX512F) || !bigNumKernelAllowed(BIGNUM_KERNEL_VEC32_WIDE)) {
            return false;
        }
        *kernels = pickAvx512((k + 7) / 8, std::make_integer_sequence<uint32_t, 16>());
        return true;
    }
    if (!cpuHas(CPU_AVX2) || !bigNumKernelAllowed(BIGNUM_KERNEL_VEC32)) {
        return false;
    }
    *kernels = pickAvx2((k + 3) / 4, std::make_integer_sequence<uint32_t, 32>());
    return true;
}

bool montVec32Kernels(uint32_t k, MontKernels32* kernels) noexcept {
    return montVec32KernelsOf(k, true, kernels) || montVec32KernelsOf(k, false, kernels);
}

#else

bool montVec32KernelsOf(uint32_t, bool, MontKernels32*) noexcept {
    return false;
}

bool montVec32Kernels(uint32_t, MontKernels32*) noexcept {
    return false;
}

#endif

}  // namespace vc
