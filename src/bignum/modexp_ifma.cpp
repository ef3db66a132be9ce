// The two halves of an RSA private exponentiation side by side on AVX-512
// IFMA: digits of 52 bits, one per 64-bit lane, multiplied with
// vpmadd52luq / vpmadd52huq. A Montgomery product reduces one digit at a
// time, and each step waits for the previous one (digit y = r0 k0 mod 2^52,
// broadcast, multiply-add, shift); running the products modulo p and q in
// the same loop lets each fill the other's waiting time.
//
// Products are Almost Montgomery Multiplications: with R = 2^(52 N) and
// 4m < R, inputs below 2m give a result below 2m, so no subtraction is
// needed until the end, where one masked subtraction makes the residue.
// Nothing branches on, or addresses memory by, a value: the exponent's
// windows pick table entries by reading every entry under a vector mask.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "bignum/bignum_internal.h"
#include "support/secure_wipe.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define VC_IFMA_KERNEL 1
#include <cpuid.h>
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

namespace vc {

#if VC_IFMA_KERNEL

namespace {

#define VC_IFMA_TARGET __attribute__((target("avx512f,avx512vl,avx512ifma")))
#define VC_IFMA_INLINE VC_IFMA_TARGET inline __attribute__((always_inline))

constexpr uint32_t DIGIT_BITS = 52;
constexpr uint64_t DIGIT_MASK = (uint64_t{1} << DIGIT_BITS) - 1;
constexpr uint32_t WINDOW = 5;
constexpr uint32_t ENTRIES = 1u << WINDOW;
constexpr uint32_t MAX_LANES = 40;  // 2048-bit moduli: 40 digits, 5 vectors
constexpr uint32_t MAX_LIMBS = 32;

// cpuid leaf 1 ECX bit 27: the OS uses XSAVE, so xgetbv may be asked which
// register states it saves; XCR0 bits 1, 2 (SSE, AVX) and 5, 6, 7 (opmask,
// upper halves of zmm0-15, zmm16-31) must all be on. Leaf 7 EBX bits 16
// (AVX512F), 21 (IFMA) and 31 (VL).
bool detectIfma() noexcept {
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & (1u << 27)) == 0) {
        return false;
    }
    uint32_t xcr0 = 0;
    uint32_t xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    constexpr uint32_t STATES = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
    if ((xcr0 & STATES) != STATES || __get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(7, 0, a, b, c, d);
    constexpr uint32_t FEATURES = (1u << 16) | (1u << 21) | (1u << 31);
    return (b & FEATURES) == FEATURES;
}

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

// What the public engine keeps; nothing in it is secret.
struct alignas(64) PublicWork {
    uint64_t mod[MAX_LANES];
    uint64_t base[MAX_LANES];   // base R mod m
    uint64_t plain[MAX_LANES];  // base mod m
    uint64_t acc[MAX_LANES];
    uint64_t limbs[MAX_LIMBS + 1];
};

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

// x = 2^count x mod m for x < m, one doubling and masked subtraction at a
// time; x has room for k + 1 limbs.
void doubleMod(uint64_t* x, const uint64_t* m, uint32_t k, uint32_t count) noexcept {
    for (uint32_t step = 0; step < count; ++step) {
        uint64_t carry = 0;
        for (uint32_t i = 0; i < k; ++i) {
            const uint64_t v = x[i];
            x[i] = (v << 1) | carry;
            carry = v >> 63;
        }
        x[k] = carry;
        subtractMasked(x, x, m, k);
        x[k] = 0;
    }
}

// x = 2^count x mod m for x < m, public: the subtraction is skipped when
// it is not needed. x has room for k + 1 limbs.
void doubleModPublic(uint64_t* x, const uint64_t* m, uint32_t k, uint32_t count) noexcept {
    for (uint32_t step = 0; step < count; ++step) {
        uint64_t carry = 0;
        for (uint32_t i = 0; i < k; ++i) {
            const uint64_t v = x[i];
            x[i] = (v << 1) | carry;
            carry = v >> 63;
        }
        bool below = carry == 0;
        for (uint32_t i = k; below && i-- > 0;) {
            if (x[i] != m[i]) {
                below = x[i] < m[i];
                break;
            }
        }
        if (!below) {
            uint64_t borrow = 0;
            for (uint32_t i = 0; i < k; ++i) {
                const uint64_t d = x[i] - m[i];
                const uint64_t b1 = x[i] < m[i] ? 1 : 0;
                x[i] = d - borrow;
                borrow = b1 | (d < borrow ? 1 : 0);
            }
        }
    }
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
    static VC_IFMA_INLINE Vec maskzMov(__mmask8 k, Vec x) { return _mm512_maskz_mov_epi64(k, x); }
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
    static VC_IFMA_INLINE Vec maskzMov(__mmask8 k, Vec x) { return _mm256_maskz_mov_epi64(k, x); }
    static VC_IFMA_INLINE __mmask8 test(Vec x, Vec y) { return _mm256_test_epi64_mask(x, y); }
};

template <uint32_t N, typename Ops>
struct Kernel {
    using Vec = typename Ops::Vec;
    static constexpr uint32_t L = Ops::LANES;
    static constexpr uint32_t V = (N + L - 1) / L;
    static constexpr uint32_t LANES = L * V;
    static_assert(LANES <= MAX_LANES && LANES <= 64);

    // Carries of unreduced lanes (below 2^64) into normalised digits. The
    // first pass moves every lane's bits above 52 into the next lane; then
    // each lane is at most 2^52 + 2^12, so at most 1 remains to carry, and
    // it ripples through lanes equal to 2^52 - 1: with G the lanes that
    // produce a carry and P those that pass one on, the lanes that take
    // one are ((G << 1) + P) ^ P, an addition of bit masks. The value is
    // below 2^(52 N), so nothing leaves the top digit.
    static VC_IFMA_INLINE void normalise(Vec* x) {
        const Vec mask = Ops::set1(DIGIT_MASK);
        const Vec zero = Ops::zero();
        Vec carry[V];
        for (uint32_t v = 0; v < V; ++v) {
            carry[v] = Ops::srli(x[v]);
            x[v] = Ops::andv(x[v], mask);
        }
        for (uint32_t v = 0; v < V; ++v) {
            const Vec below = v == 0 ? zero : carry[v - 1];
            x[v] = Ops::add(x[v], Ops::up(carry[v], below));
        }
        uint64_t generate = 0;
        uint64_t propagate = 0;
        const uint64_t laneMask = (uint64_t{1} << L) - 1;
        for (uint32_t v = 0; v < V; ++v) {
            const __mmask8 g = Ops::greater(x[v], mask);
            x[v] = Ops::andv(x[v], mask);
            const __mmask8 p = Ops::equal(x[v], mask);
            generate |= (static_cast<uint64_t>(g) & laneMask) << (L * v);
            propagate |= (static_cast<uint64_t>(p) & laneMask) << (L * v);
        }
        const uint64_t take = ((generate << 1) + propagate) ^ propagate;
        const Vec one = Ops::set1(1);
        for (uint32_t v = 0; v < V; ++v) {
            const auto k = static_cast<__mmask8>((take >> (L * v)) & laneMask);
            x[v] = Ops::andv(Ops::maskAdd(x[v], k, one), mask);
        }
    }

    // One digit step of a product: x = (x + a b_i + m y) / 2^52 with y
    // making the low digit vanish. The high halves of both products land
    // one digit up, which after the shift is where they are added.
    //
    // y = (x_0 + a_0 b_i) k0 mod 2^52 is taken as x_0 k0 + (a_0 k0) b_i,
    // with a_0 k0 mod 2^52 made once per product (a0k0): the part that
    // waits for the previous step is then one broadcast and one
    // multiply-add, and a_0 b_i joins x_0 meanwhile. The products use only
    // the low 52 bits of y, so y need not be reduced.
    //
    // lowNext carries x_0 in its lane 0 from one step to the next (zero
    // before the first): it is made from digit 1 and the high halves of
    // digit 0 by a shuffle within 128-bit lanes, so the next y does not
    // wait for the align that shifts the whole of x down, the one
    // cross-lane operation (three cycles where the shuffle takes one) on
    // the chain from one y to the next. On the Zen 4 where this was
    // measured it saves about a tenth of a lone chain's time, but only
    // 0.3-0.6% of the pair engine, whose interleaved steps are bound more
    // by issue than by that chain.
    static VC_IFMA_INLINE void step(Vec* x, Vec& lowNext, const Vec* a, const Vec* m, uint64_t bi,
                                    Vec k0, Vec a0k0) {
        const Vec zero = Ops::zero();
        const Vec b = Ops::set1(bi);
        const Vec partial = Ops::madd52lo(zero, a0k0, b);
        const Vec low = Ops::lowBroadcast(lowNext);
        const Vec y = Ops::madd52lo(partial, low, k0);
        Vec high[V];
        for (uint32_t v = 0; v < V; ++v) {
            high[v] = Ops::madd52hi(zero, a[v], b);
            x[v] = Ops::madd52lo(x[v], a[v], b);
        }
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = Ops::madd52lo(x[v], m[v], y);
            high[v] = Ops::madd52hi(high[v], m[v], y);
        }
        high[0] = Ops::add(high[0], Ops::lowShifted(x[0]));
        lowNext = Ops::add(Ops::oddLanes(x[0]), high[0]);
        for (uint32_t v = 0; v + 1 < V; ++v) {
            x[v] = Ops::down(x[v + 1], x[v]);
        }
        x[V - 1] = Ops::down(zero, x[V - 1]);
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = Ops::add(x[v], high[v]);
        }
    }

    // outP = aP bP / R mod p and outQ likewise, both below 2m for inputs
    // below 2m; outputs may be inputs. A lane gains under 2^54 a step and
    // moves down one lane a step, so after N steps it is below 2^60.
    static VC_IFMA_TARGET void mulPair(uint64_t* outP, const uint64_t* aP, const uint64_t* bP,
                                       uint64_t* outQ, const uint64_t* aQ, const uint64_t* bQ,
                                       const PairWork& w) {
        Vec ap[V];
        Vec aq[V];
        Vec mp[V];
        Vec mq[V];
        Vec xp[V];
        Vec xq[V];
        for (uint32_t v = 0; v < V; ++v) {
            ap[v] = Ops::load(aP + L * v);
            aq[v] = Ops::load(aQ + L * v);
            mp[v] = Ops::load(w.mod[0] + L * v);
            mq[v] = Ops::load(w.mod[1] + L * v);
            xp[v] = Ops::zero();
            xq[v] = Ops::zero();
        }
        const Vec k0p = Ops::set1(w.k0[0]);
        const Vec k0q = Ops::set1(w.k0[1]);
        const Vec zero = Ops::zero();
        const Vec a0k0p = Ops::madd52lo(zero, Ops::set1(aP[0]), k0p);
        const Vec a0k0q = Ops::madd52lo(zero, Ops::set1(aQ[0]), k0q);
        Vec lowP = zero;
        Vec lowQ = zero;
#pragma GCC unroll 4
        for (uint32_t i = 0; i < N; ++i) {
            step(xp, lowP, ap, mp, bP[i], k0p, a0k0p);
            step(xq, lowQ, aq, mq, bQ[i], k0q, a0k0q);
        }
        normalise(xp);
        normalise(xq);
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(outP + L * v, xp[v]);
            Ops::store(outQ + L * v, xq[v]);
        }
    }

    // to = table[index] for both moduli; every entry is read.
    static VC_IFMA_TARGET void gather(PairWork& w, uint32_t indexP, uint32_t indexQ) {
        const Vec ip = Ops::set1(indexP);
        const Vec iq = Ops::set1(indexQ);
        Vec ep[V];
        Vec eq[V];
        for (uint32_t v = 0; v < V; ++v) {
            ep[v] = Ops::zero();
            eq[v] = Ops::zero();
        }
        for (uint32_t e = 0; e < ENTRIES; ++e) {
            const Vec current = Ops::set1(e);
            const __mmask8 kp = Ops::equal(current, ip);
            const __mmask8 kq = Ops::equal(current, iq);
            for (uint32_t v = 0; v < V; ++v) {
                const Vec tp = opaque(Ops::load(w.table[0][e] + L * v));
                const Vec tq = opaque(Ops::load(w.table[1][e] + L * v));
                ep[v] = Ops::maskMov(ep[v], kp, tp);
                eq[v] = Ops::maskMov(eq[v], kq, tq);
            }
        }
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(w.entry[0] + L * v, ep[v]);
            Ops::store(w.entry[1] + L * v, eq[v]);
        }
    }

    // out = a b / R mod m for one modulus, below 2m for inputs below 2m:
    // the public engine's product. Its steps wait on each other, with no
    // second modulus to fill the gaps.
    static VC_IFMA_TARGET void mulOne(uint64_t* out, const uint64_t* a, const uint64_t* b,
                                      const uint64_t* mod, uint64_t k0) {
        Vec av[V];
        Vec mv[V];
        Vec x[V];
        for (uint32_t v = 0; v < V; ++v) {
            av[v] = Ops::load(a + L * v);
            mv[v] = Ops::load(mod + L * v);
            x[v] = Ops::zero();
        }
        const Vec k0v = Ops::set1(k0);
        const Vec a0k0 = Ops::madd52lo(Ops::zero(), Ops::set1(a[0]), k0v);
        Vec low = Ops::zero();
#pragma GCC unroll 4
        for (uint32_t i = 0; i < N; ++i) {
            step(x, low, av, mv, b[i], k0v, a0k0);
        }
        normalise(x);
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(out + L * v, x[v]);
        }
    }

    // out = base^e mod m for a public modulus of k limbs and an exponent
    // e > 1 of `bits` bits, left to right; baseR is base 2^(64 k) mod m,
    // plain base mod m. The last product of an odd exponent takes the
    // plain base, which leaves Montgomery form at no cost.
    static void runPublic(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                          const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) {
        toDigits(mod, k, w.mod, N, LANES);
        const uint64_t k0 = digitInverse(mod[0]);
        // base 2^(52 N) from base 2^(64 k): a few doublings.
        std::memcpy(w.limbs, baseR, k * sizeof(uint64_t));
        w.limbs[k] = 0;
        doubleModPublic(w.limbs, mod, k, N * DIGIT_BITS - 64 * k);
        toDigits(w.limbs, k, w.base, N, LANES);
        toDigits(plain, k, w.plain, N, LANES);
        std::memcpy(w.acc, w.base, sizeof w.acc);
        bool plainLast = false;
        for (uint32_t p = bits - 1; p-- > 0;) {
            mulOne(w.acc, w.acc, w.acc, w.mod, k0);
            if (((e >> p) & 1u) != 0) {
                plainLast = p == 0;
                mulOne(w.acc, w.acc, plainLast ? w.plain : w.base, w.mod, k0);
            }
        }
        if (!plainLast) {
            std::memset(w.plain, 0, sizeof w.plain);
            w.plain[0] = 1;
            mulOne(w.acc, w.acc, w.plain, w.mod, k0);
        }
        // Below 2m, which may take one bit more than m.
        fromDigits(w.acc, N, w.limbs, k + 1);
        subtractMasked(out, w.limbs, mod, k);
    }

    // One digit step of a square: as step() with b_i = a_i, but each cross
    // product a_i a_j is formed once, in row min(i, j), and counted twice.
    // Row I takes the lanes j > I from a2 (2 a_j mod 2^52; the bit that
    // leaves, a_j's bit 51, adds a_i one digit up instead, where top
    // marks it) and lane I from a (the square a_i^2); lanes below I are
    // done. Digit I gains nothing from row I unless I = 0, so y can be
    // formed before the row, from lowNext as in step(). I is public: the
    // vectors skipped and the masks depend on the step only.
    template <uint32_t I>
    static VC_IFMA_INLINE void squareStep(Vec* x, Vec& lowNext, const Vec* a, const Vec* a2,
                                          const __mmask8* top, const Vec* m, uint64_t ai, Vec k0) {
        constexpr uint32_t FIRST = I / L;
        constexpr uint32_t LANE_BITS = (1u << L) - 1;
        constexpr auto ABOVE = static_cast<__mmask8>(LANE_BITS & ~((2u << (I % L)) - 1));
        constexpr auto AT = static_cast<__mmask8>(1u << (I % L));
        const Vec zero = Ops::zero();
        const Vec b = Ops::set1(ai);
        Vec y = zero;
        if constexpr (I != 0) {
            y = Ops::madd52lo(zero, Ops::lowBroadcast(lowNext), k0);
        }
        Vec high[V];
        const Vec first = Ops::maskMov(Ops::maskzMov(ABOVE, a2[FIRST]), AT, a[FIRST]);
        x[FIRST] = Ops::madd52lo(x[FIRST], first, b);
        high[FIRST] = Ops::maskAdd(Ops::madd52hi(zero, first, b),
                                   static_cast<__mmask8>(top[FIRST] & ABOVE), b);
        for (uint32_t v = FIRST + 1; v < V; ++v) {
            x[v] = Ops::madd52lo(x[v], a2[v], b);
            high[v] = Ops::maskAdd(Ops::madd52hi(zero, a2[v], b), top[v], b);
        }
        if constexpr (I == 0) {
            y = Ops::madd52lo(zero, Ops::lowBroadcast(x[0]), k0);
        }
        for (uint32_t v = 0; v < FIRST; ++v) {
            high[v] = Ops::madd52hi(zero, m[v], y);
        }
        for (uint32_t v = FIRST; v < V; ++v) {
            high[v] = Ops::madd52hi(high[v], m[v], y);
        }
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = Ops::madd52lo(x[v], m[v], y);
        }
        high[0] = Ops::add(high[0], Ops::lowShifted(x[0]));
        lowNext = Ops::add(Ops::oddLanes(x[0]), high[0]);
        for (uint32_t v = 0; v + 1 < V; ++v) {
            x[v] = Ops::down(x[v + 1], x[v]);
        }
        x[V - 1] = Ops::down(zero, x[V - 1]);
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = Ops::add(x[v], high[v]);
        }
    }

    // The operands of a square: a, 2a mod 2^52 and the lanes whose bit 51
    // leaves in the doubling.
    struct Square {
        Vec a[V];
        Vec a2[V];
        __mmask8 top[V];
        Vec m[V];
        Vec x[V];
        Vec low;
    };

    static VC_IFMA_INLINE void loadSquare(Square& s, const uint64_t* a, const uint64_t* mod) {
        const Vec mask = Ops::set1(DIGIT_MASK);
        const Vec bit51 = Ops::set1(uint64_t{1} << (DIGIT_BITS - 1));
        for (uint32_t v = 0; v < V; ++v) {
            s.a[v] = Ops::load(a + L * v);
            s.a2[v] = Ops::andv(Ops::add(s.a[v], s.a[v]), mask);
            s.top[v] = Ops::test(s.a[v], bit51);
            s.m[v] = Ops::load(mod + L * v);
            s.x[v] = Ops::zero();
        }
        s.low = Ops::zero();
    }

    template <uint32_t... I>
    static VC_IFMA_INLINE void squareRows(Square& p, Square& q, const uint64_t* aP,
                                          const uint64_t* aQ, Vec k0p, Vec k0q,
                                          std::integer_sequence<uint32_t, I...> /*rows*/) {
        ((squareStep<I>(p.x, p.low, p.a, p.a2, p.top, p.m, aP[I], k0p),
          squareStep<I>(q.x, q.low, q.a, q.a2, q.top, q.m, aQ[I], k0q)),
         ...);
    }

    // outP = aP aP / R mod p and outQ likewise, below 2m for inputs below
    // 2m with normalised digits; outputs may be inputs. Each lane gains
    // under 5 2^52 a step, so after N steps it is below 2^61.
    static VC_IFMA_TARGET void squarePair(uint64_t* outP, const uint64_t* aP, uint64_t* outQ,
                                          const uint64_t* aQ, const PairWork& w) {
        Square p;
        Square q;
        loadSquare(p, aP, w.mod[0]);
        loadSquare(q, aQ, w.mod[1]);
        squareRows(p, q, aP, aQ, Ops::set1(w.k0[0]), Ops::set1(w.k0[1]),
                   std::make_integer_sequence<uint32_t, N>());
        normalise(p.x);
        normalise(q.x);
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(outP + L * v, p.x[v]);
            Ops::store(outQ + L * v, q.x[v]);
        }
    }

    // Squares by squarePair where halving the cross products pays for its
    // extra masking and blending: measured on the processor where the
    // engines were last tuned, it pays with five vectors (about 6% on
    // 1024-bit primes in 256-bit registers, 3% on 2048-bit ones in 512-bit
    // registers); with three the plain product is faster, and with eight
    // or ten the rows, unrolled for both halves, no longer fit the
    // registers and the square takes twice as long.
    static void square(uint64_t* outP, const uint64_t* aP, uint64_t* outQ, const uint64_t* aQ,
                       const PairWork& w) {
        if constexpr (V == 5) {
            squarePair(outP, aP, outQ, aQ, w);
        } else {
            mulPair(outP, aP, aP, outQ, aQ, aQ, w);
        }
    }

    static void mul(PairWork& w, uint64_t (*out)[MAX_LANES], uint64_t (*a)[MAX_LANES],
                    uint64_t (*b)[MAX_LANES]) {
        mulPair(out[0], a[0], b[0], out[1], a[1], b[1], w);
    }

    // Bits position .. position + WINDOW - 1 of an exponent of k limbs;
    // position is public, the value is not.
    static uint32_t windowAt(const uint64_t* e, uint32_t k, uint32_t position) {
        const uint32_t index = position / 64;
        const uint32_t shift = position % 64;
        uint64_t v = e[index] >> shift;
        if (shift + WINDOW > 64 && index + 1 < k) {
            v |= e[index + 1] << (64 - shift);
        }
        return static_cast<uint32_t>(v & (ENTRIES - 1));
    }

    static void run(const uint64_t* const base[2], const uint64_t* const exponent[2],
                    const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t k,
                    uint64_t* const out[2], PairWork& w) {
        for (int h = 0; h < 2; ++h) {
            toDigits(mod[h], k, w.mod[h], N, LANES);
            w.k0[h] = digitInverse(mod[h][0]);
            // R^2 for R = 2^(52 N) from the given 2^(128 k): doublings.
            std::memcpy(w.limbs[h], rr[h], k * sizeof(uint64_t));
            w.limbs[h][k] = 0;
            doubleMod(w.limbs[h], mod[h], k, 2 * (N * DIGIT_BITS - 64 * k));
            toDigits(w.limbs[h], k, w.rr[h], N, LANES);
            toDigits(base[h], k, w.base[h], N, LANES);
        }
        std::memset(w.one, 0, sizeof w.one);
        w.one[0] = 1;

        // table[0] = R mod m, table[1] = base R mod m, the rest by squaring
        // the half or multiplying the one below by the base.
        mulPair(w.table[0][0], w.rr[0], w.one, w.table[1][0], w.rr[1], w.one, w);
        mulPair(w.table[0][1], w.base[0], w.rr[0], w.table[1][1], w.base[1], w.rr[1], w);
        for (uint32_t i = 2; i < ENTRIES; ++i) {
            if ((i & 1u) == 0) {
                square(w.table[0][i], w.table[0][i / 2], w.table[1][i], w.table[1][i / 2], w);
            } else {
                mulPair(w.table[0][i], w.table[0][i - 1], w.table[0][1], w.table[1][i],
                        w.table[1][i - 1], w.table[1][1], w);
            }
        }

        const uint32_t bits = 64 * k;
        uint32_t position = bits - (bits % WINDOW == 0 ? WINDOW : bits % WINDOW);
        gather(w, windowAt(exponent[0], k, position), windowAt(exponent[1], k, position));
        std::memcpy(w.acc, w.entry, sizeof w.acc);
        while (position != 0) {
            position -= WINDOW;
            for (uint32_t s = 0; s < WINDOW; ++s) {
                square(w.acc[0], w.acc[0], w.acc[1], w.acc[1], w);
            }
            gather(w, windowAt(exponent[0], k, position), windowAt(exponent[1], k, position));
            mul(w, w.acc, w.acc, w.entry);
        }

        // Out of Montgomery form: the product with 1 is at most m, so one
        // masked subtraction leaves the residue.
        mulPair(w.acc[0], w.acc[0], w.one, w.acc[1], w.acc[1], w.one, w);
        for (int h = 0; h < 2; ++h) {
            fromDigits(w.acc[h], N, w.limbs[h], k);
            w.limbs[h][k] = 0;
            subtractMasked(out[h], w.limbs[h], mod[h], k);
        }
    }
};

// The kernels keep operands in registers and spill some of them below
// the caller's frame, where secureWipe of the work record does not reach:
// this frame lies over theirs and is wiped, and the vector registers are
// cleared (vzeroall reaches zmm0-15 only).
__attribute__((noinline)) VC_IFMA_TARGET void scrubKernelTraces() noexcept {
    uint8_t area[4096];
    secureWipe(area, sizeof area);
    __asm__ volatile(
        "vpxorq %%zmm16, %%zmm16, %%zmm16\n\tvpxorq %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxorq %%zmm18, %%zmm18, %%zmm18\n\tvpxorq %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxorq %%zmm20, %%zmm20, %%zmm20\n\tvpxorq %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxorq %%zmm22, %%zmm22, %%zmm22\n\tvpxorq %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxorq %%zmm24, %%zmm24, %%zmm24\n\tvpxorq %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxorq %%zmm26, %%zmm26, %%zmm26\n\tvpxorq %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxorq %%zmm28, %%zmm28, %%zmm28\n\tvpxorq %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxorq %%zmm30, %%zmm30, %%zmm30\n\tvpxorq %%zmm31, %%zmm31, %%zmm31\n\t"
        "vzeroall"
        :
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20",
          "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30",
          "xmm31", "memory");
}

template <typename Ops>
void publicWidth(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                 const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) noexcept {
    switch (k) {
        case 8:
            Kernel<10, Ops>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        case 16:
            Kernel<20, Ops>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        case 24:
            Kernel<30, Ops>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
        default:
            Kernel<40, Ops>::runPublic(baseR, plain, e, bits, mod, k, out, w);
            break;
    }
}

template <typename Ops>
void runWidth(const uint64_t* const base[2], const uint64_t* const exponent[2],
              const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
              uint64_t* const out[2], PairWork& work) noexcept {
    switch (limbs) {
        case 8:
            Kernel<10, Ops>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        case 16:
            Kernel<20, Ops>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        case 24:
            Kernel<30, Ops>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        default:
            Kernel<40, Ops>::run(base, exponent, mod, rr, limbs, out, work);
            break;
    }
}

}  // namespace

bool bigNumIfmaAvailable() noexcept {
    static const bool available = detectIfma();
    return available &&
           (bigNumKernelAllowed(BIGNUM_KERNEL_IFMA) || bigNumKernelAllowed(BIGNUM_KERNEL_IFMA256));
}

bool bigNumModExpPairIfma(const uint64_t* baseP, const uint64_t* expP, const uint64_t* p,
                          const uint64_t* rrP, const uint64_t* baseQ, const uint64_t* expQ,
                          const uint64_t* q, const uint64_t* rrQ, uint32_t limbs, uint64_t* outP,
                          uint64_t* outQ, uint32_t engine) noexcept {
    if (!bigNumIfmaServes(limbs, engine)) {
        return false;
    }
    const uint64_t* const base[2] = {baseP, baseQ};
    const uint64_t* const exponent[2] = {expP, expQ};
    const uint64_t* const mod[2] = {p, q};
    const uint64_t* const rr[2] = {rrP, rrQ};
    uint64_t* const out[2] = {outP, outQ};
    PairWork work;
    if (engine == BIGNUM_ENGINE_IFMA256) {
        runWidth<Ymm>(base, exponent, mod, rr, limbs, out, work);
    } else {
        runWidth<Zmm>(base, exponent, mod, rr, limbs, out, work);
    }
    secureWipe(&work, sizeof work);
    scrubKernelTraces();
    return true;
}

bool bigNumModExpPublicIfma(const uint64_t* baseR, const uint64_t* plain, uint64_t exponent,
                            const uint64_t* n, uint32_t limbs, uint64_t* out,
                            uint32_t engine) noexcept {
    uint32_t bits = 0;
    for (uint64_t e = exponent; e != 0; e >>= 1) {
        ++bits;
    }
    if (bits < 2 || !bigNumIfmaServes(limbs, engine)) {
        return false;
    }
    PublicWork work;
    if (engine == BIGNUM_ENGINE_IFMA256) {
        publicWidth<Ymm>(baseR, plain, exponent, bits, n, limbs, out, work);
    } else {
        publicWidth<Zmm>(baseR, plain, exponent, bits, n, limbs, out, work);
    }
    // The base is public, but the same message may be secret elsewhere.
    secureWipe(&work, sizeof work);
    return true;
}

bool bigNumIfmaServes(uint32_t limbs, uint32_t engine) noexcept {
    static const bool available = detectIfma();
    const uint32_t bit = engine == BIGNUM_ENGINE_IFMA256 ? BIGNUM_KERNEL_IFMA256
                         : engine == BIGNUM_ENGINE_IFMA  ? BIGNUM_KERNEL_IFMA
                                                         : 0;
    return available && bigNumKernelAllowed(bit) &&
           (limbs == 8 || limbs == 16 || limbs == 24 || limbs == 32);
}

#else

bool bigNumIfmaAvailable() noexcept {
    return false;
}

bool bigNumIfmaServes(uint32_t, uint32_t) noexcept {
    return false;
}

bool bigNumModExpPublicIfma(const uint64_t*, const uint64_t*, uint64_t, const uint64_t*, uint32_t,
                            uint64_t*, uint32_t) noexcept {
    return false;
}

bool bigNumModExpPairIfma(const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                          const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                          uint32_t, uint64_t*, uint64_t*, uint32_t) noexcept {
    return false;
}

#endif

}  // namespace vc
