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
VC_IFMA_INLINE __m512i opaque(__m512i x) {
    __asm__("" : "+v"(x));
    return x;
}

template <uint32_t N>
struct Kernel {
    static constexpr uint32_t V = (N + 7) / 8;
    static constexpr uint32_t LANES = 8 * V;
    static_assert(LANES <= MAX_LANES);

    // Carries of unreduced lanes (below 2^64) into normalised digits. The
    // first pass moves every lane's bits above 52 into the next lane; then
    // each lane is at most 2^52 + 2^12, so at most 1 remains to carry, and
    // it ripples through lanes equal to 2^52 - 1: with G the lanes that
    // produce a carry and P those that pass one on, the lanes that take
    // one are ((G << 1) + P) ^ P, an addition of bit masks. The value is
    // below 2^(52 N), so nothing leaves the top digit.
    static VC_IFMA_INLINE void normalise(__m512i* x) {
        const __m512i mask = _mm512_set1_epi64(static_cast<long long>(DIGIT_MASK));
        const __m512i zero = _mm512_setzero_si512();
        __m512i carry[V];
        for (uint32_t v = 0; v < V; ++v) {
            carry[v] = _mm512_srli_epi64(x[v], DIGIT_BITS);
            x[v] = _mm512_and_si512(x[v], mask);
        }
        for (uint32_t v = 0; v < V; ++v) {
            const __m512i below = v == 0 ? zero : carry[v - 1];
            x[v] = _mm512_add_epi64(x[v], _mm512_alignr_epi64(carry[v], below, 7));
        }
        uint64_t generate = 0;
        uint64_t propagate = 0;
        for (uint32_t v = 0; v < V; ++v) {
            const __mmask8 g = _mm512_cmpgt_epu64_mask(x[v], mask);
            x[v] = _mm512_and_si512(x[v], mask);
            const __mmask8 p = _mm512_cmpeq_epu64_mask(x[v], mask);
            generate |= static_cast<uint64_t>(g) << (8 * v);
            propagate |= static_cast<uint64_t>(p) << (8 * v);
        }
        const uint64_t take = ((generate << 1) + propagate) ^ propagate;
        const __m512i one = _mm512_set1_epi64(1);
        for (uint32_t v = 0; v < V; ++v) {
            const auto k = static_cast<__mmask8>(take >> (8 * v));
            x[v] = _mm512_and_si512(_mm512_mask_add_epi64(x[v], k, x[v], one), mask);
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
    static VC_IFMA_INLINE void step(__m512i* x, const __m512i* a, const __m512i* m, uint64_t bi,
                                    __m512i k0, __m512i a0k0) {
        const __m512i zero = _mm512_setzero_si512();
        const __m512i b = _mm512_set1_epi64(static_cast<long long>(bi));
        const __m512i partial = _mm512_madd52lo_epu64(zero, a0k0, b);
        const __m512i low = _mm512_broadcastq_epi64(_mm512_castsi512_si128(x[0]));
        const __m512i y = _mm512_madd52lo_epu64(partial, low, k0);
        __m512i high[V];
        for (uint32_t v = 0; v < V; ++v) {
            high[v] = _mm512_madd52hi_epu64(zero, a[v], b);
            x[v] = _mm512_madd52lo_epu64(x[v], a[v], b);
        }
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = _mm512_madd52lo_epu64(x[v], m[v], y);
            high[v] = _mm512_madd52hi_epu64(high[v], m[v], y);
        }
        const __m512i carry = _mm512_maskz_srli_epi64(1, x[0], DIGIT_BITS);
        high[0] = _mm512_add_epi64(high[0], carry);
        for (uint32_t v = 0; v + 1 < V; ++v) {
            x[v] = _mm512_alignr_epi64(x[v + 1], x[v], 1);
        }
        x[V - 1] = _mm512_alignr_epi64(zero, x[V - 1], 1);
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = _mm512_add_epi64(x[v], high[v]);
        }
    }

    // outP = aP bP / R mod p and outQ likewise, both below 2m for inputs
    // below 2m; outputs may be inputs. A lane gains under 2^54 a step and
    // moves down one lane a step, so after N steps it is below 2^60.
    static VC_IFMA_TARGET void mulPair(uint64_t* outP, const uint64_t* aP, const uint64_t* bP,
                                       uint64_t* outQ, const uint64_t* aQ, const uint64_t* bQ,
                                       const PairWork& w) {
        __m512i ap[V];
        __m512i aq[V];
        __m512i mp[V];
        __m512i mq[V];
        __m512i xp[V];
        __m512i xq[V];
        for (uint32_t v = 0; v < V; ++v) {
            ap[v] = _mm512_load_si512(aP + 8 * v);
            aq[v] = _mm512_load_si512(aQ + 8 * v);
            mp[v] = _mm512_load_si512(w.mod[0] + 8 * v);
            mq[v] = _mm512_load_si512(w.mod[1] + 8 * v);
            xp[v] = _mm512_setzero_si512();
            xq[v] = _mm512_setzero_si512();
        }
        const __m512i k0p = _mm512_set1_epi64(static_cast<long long>(w.k0[0]));
        const __m512i k0q = _mm512_set1_epi64(static_cast<long long>(w.k0[1]));
        const __m512i zero = _mm512_setzero_si512();
        const __m512i a0k0p =
            _mm512_madd52lo_epu64(zero, _mm512_set1_epi64(static_cast<long long>(aP[0])), k0p);
        const __m512i a0k0q =
            _mm512_madd52lo_epu64(zero, _mm512_set1_epi64(static_cast<long long>(aQ[0])), k0q);
#pragma GCC unroll 4
        for (uint32_t i = 0; i < N; ++i) {
            step(xp, ap, mp, bP[i], k0p, a0k0p);
            step(xq, aq, mq, bQ[i], k0q, a0k0q);
        }
        normalise(xp);
        normalise(xq);
        for (uint32_t v = 0; v < V; ++v) {
            _mm512_store_si512(outP + 8 * v, xp[v]);
            _mm512_store_si512(outQ + 8 * v, xq[v]);
        }
    }

    // to = table[index] for both moduli; every entry is read.
    static VC_IFMA_TARGET void gather(PairWork& w, uint32_t indexP, uint32_t indexQ) {
        const __m512i ip = _mm512_set1_epi64(indexP);
        const __m512i iq = _mm512_set1_epi64(indexQ);
        __m512i ep[V];
        __m512i eq[V];
        for (uint32_t v = 0; v < V; ++v) {
            ep[v] = _mm512_setzero_si512();
            eq[v] = _mm512_setzero_si512();
        }
        for (uint32_t e = 0; e < ENTRIES; ++e) {
            const __m512i current = _mm512_set1_epi64(e);
            const __mmask8 kp = _mm512_cmpeq_epu64_mask(current, ip);
            const __mmask8 kq = _mm512_cmpeq_epu64_mask(current, iq);
            for (uint32_t v = 0; v < V; ++v) {
                const __m512i tp = opaque(_mm512_load_si512(w.table[0][e] + 8 * v));
                const __m512i tq = opaque(_mm512_load_si512(w.table[1][e] + 8 * v));
                ep[v] = _mm512_mask_mov_epi64(ep[v], kp, tp);
                eq[v] = _mm512_mask_mov_epi64(eq[v], kq, tq);
            }
        }
        for (uint32_t v = 0; v < V; ++v) {
            _mm512_store_si512(w.entry[0] + 8 * v, ep[v]);
            _mm512_store_si512(w.entry[1] + 8 * v, eq[v]);
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
                mulPair(w.table[0][i], w.table[0][i / 2], w.table[0][i / 2], w.table[1][i],
                        w.table[1][i / 2], w.table[1][i / 2], w);
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
                mul(w, w.acc, w.acc, w.acc);
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

}  // namespace

bool bigNumIfmaAvailable() noexcept {
    static const bool available = detectIfma();
    return available && bigNumKernelAllowed(BIGNUM_KERNEL_IFMA);
}

bool bigNumModExpPairIfma(const uint64_t* baseP, const uint64_t* expP, const uint64_t* p,
                          const uint64_t* rrP, const uint64_t* baseQ, const uint64_t* expQ,
                          const uint64_t* q, const uint64_t* rrQ, uint32_t limbs, uint64_t* outP,
                          uint64_t* outQ) noexcept {
    if (!bigNumIfmaServes(limbs)) {
        return false;
    }
    const uint64_t* const base[2] = {baseP, baseQ};
    const uint64_t* const exponent[2] = {expP, expQ};
    const uint64_t* const mod[2] = {p, q};
    const uint64_t* const rr[2] = {rrP, rrQ};
    uint64_t* const out[2] = {outP, outQ};
    PairWork work;
    switch (limbs) {
        case 8:
            Kernel<10>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        case 16:
            Kernel<20>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        case 24:
            Kernel<30>::run(base, exponent, mod, rr, limbs, out, work);
            break;
        default:
            Kernel<40>::run(base, exponent, mod, rr, limbs, out, work);
            break;
    }
    secureWipe(&work, sizeof work);
    scrubKernelTraces();
    return true;
}

bool bigNumIfmaServes(uint32_t limbs) noexcept {
    return bigNumIfmaAvailable() && (limbs == 8 || limbs == 16 || limbs == 24 || limbs == 32);
}

#else

bool bigNumIfmaAvailable() noexcept {
    return false;
}

bool bigNumIfmaServes(uint32_t) noexcept {
    return false;
}

bool bigNumModExpPairIfma(const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                          const uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*,
                          uint32_t, uint64_t*, uint64_t*) noexcept {
    return false;
}

#endif

}  // namespace vc
