// The IFMA pair engine with both moduli in the same 512-bit registers:
// digit d of p in lane 2d and digit d of q in lane 2d + 1, so each
// register holds four digits of each prime and every instruction works on
// both halves of the exponentiation at once.
//
// The arithmetic is the pair kernel's (ifma_kernel.h): Almost Montgomery
// Multiplication in digits of 52 bits, one digit step at a time, with the
// same bounds. What differs is the count of instructions: one for both
// moduli where the 256-bit pair kernel issues one for each. Where 512-bit
// operations run as two 256-bit halves (Zen 4) the execution units do the
// same work either way, and the two kernels take about the same time on an
// idle core (1024-bit primes: 560 against 555 cycles a square, 590 against
// 610 a product); but a core whose other hardware thread is busy shares
// its instruction issue, and there the 256-bit kernel measured 40% slower
// while this one lost 3%. Where 512-bit operations run at full width the
// joint form needs half the execution slots as well. The engine choice
// times both at first use and keeps the faster.
//
// The one step on the chain from each digit's y to the next that crosses
// 128-bit lanes is the broadcast of digit 0 of both moduli (lanes 0 and 1)
// to all four pairs, three or four cycles where a 256-bit broadcast of one
// lane takes one; the next y's two parts (digit 1 of x, the high halves of
// digit 0) are broadcast separately so that only one such step is waited
// for.
#include <cstring>
#include <utility>

#include "bignum/ifma_ops.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

namespace {

template <uint32_t N>
struct Joint {
    using Vec = __m512i;
    static constexpr uint32_t V = (N + 3) / 4;  // registers per number
    static constexpr uint32_t DIGITS = 4 * V;   // digits of each modulus held
    static_assert(2 * DIGITS <= JOINT_LANES);

    static VC_IFMA_INLINE Vec zero() { return _mm512_setzero_si512(); }
    static VC_IFMA_INLINE Vec set1(uint64_t x) {
        return _mm512_set1_epi64(static_cast<long long>(x));
    }
    static VC_IFMA_INLINE Vec load(const uint64_t* p) { return _mm512_load_si512(p); }
    static VC_IFMA_INLINE void store(uint64_t* p, Vec x) { _mm512_store_si512(p, x); }
    static VC_IFMA_INLINE Vec lo(Vec acc, Vec a, Vec b) { return _mm512_madd52lo_epu64(acc, a, b); }
    static VC_IFMA_INLINE Vec hi(Vec acc, Vec a, Vec b) { return _mm512_madd52hi_epu64(acc, a, b); }
    static VC_IFMA_INLINE Vec add(Vec x, Vec y) { return _mm512_add_epi64(x, y); }
    // p[0] and p[1] (a digit of each modulus) in every pair of lanes.
    static VC_IFMA_INLINE Vec pairLoad(const uint64_t* p) {
        return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
    }
    // Digit 0 (lanes 0, 1) or digit 1 (lanes 2, 3) of both, in every pair.
    static VC_IFMA_INLINE Vec digit0(Vec x) { return _mm512_shuffle_i64x2(x, x, 0x00); }
    static VC_IFMA_INLINE Vec digit1(Vec x) { return _mm512_shuffle_i64x2(x, x, 0x55); }
    // One digit down: digits 1.. of lo, then digit 0 of hi.
    static VC_IFMA_INLINE Vec down(Vec hi, Vec lo) { return _mm512_alignr_epi64(hi, lo, 2); }
    // One digit up: the top digit of lo, then digits ..2 of hi.
    static VC_IFMA_INLINE Vec up(Vec hi, Vec lo) { return _mm512_alignr_epi64(hi, lo, 6); }
    // Digit 0 of both shifted right, the other lanes zero.
    static VC_IFMA_INLINE Vec lowShifted(Vec x) {
        return _mm512_maskz_srli_epi64(3, x, DIGIT_BITS);
    }

    // As Kernel::normalise, with the carry masks of the two moduli
    // interleaved: bit 2d + h of generate and propagate is digit d of
    // modulus h. Each modulus's carries ripple through its own bits only:
    // the other modulus's bits are set in its propagate mask, so a carry
    // passes over them, and the result is taken on its own bits.
    static VC_IFMA_INLINE void normalise(Vec* x) {
        const Vec mask = set1(DIGIT_MASK);
        Vec carry[V];
        for (uint32_t v = 0; v < V; ++v) {
            carry[v] = _mm512_srli_epi64(x[v], DIGIT_BITS);
            x[v] = _mm512_and_si512(x[v], mask);
        }
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = add(x[v], up(carry[v], v == 0 ? zero() : carry[v - 1]));
        }
        uint64_t generate = 0;
        uint64_t propagate = 0;
        for (uint32_t v = 0; v < V; ++v) {
            generate |= static_cast<uint64_t>(_mm512_cmpgt_epu64_mask(x[v], mask)) << (8 * v);
            propagate |= static_cast<uint64_t>(_mm512_cmpeq_epu64_mask(x[v], mask)) << (8 * v);
        }
        constexpr uint64_t P_BITS = 0x5555555555555555u;
        uint64_t take = 0;
        for (const uint64_t own : {P_BITS, ~P_BITS}) {
            const uint64_t passing = (propagate & own) | ~own;
            take |= ((((generate & own) << 2) + passing) ^ passing) & own;
        }
        const Vec one = set1(1);
        for (uint32_t v = 0; v < V; ++v) {
            const auto k = static_cast<__mmask8>(take >> (8 * v));
            x[v] = _mm512_and_si512(_mm512_mask_add_epi64(x[v], k, x[v], one), mask);
        }
    }

    // The end of a digit step: digit 0's carry joins the high halves, x
    // moves down a digit and takes them, and lowNext gets the new digit 0.
    static VC_IFMA_INLINE void shift(Vec* x, Vec& lowNext, Vec* high) {
        high[0] = add(high[0], lowShifted(x[0]));
        lowNext = add(digit1(x[0]), digit0(high[0]));
        for (uint32_t v = 0; v + 1 < V; ++v) {
            x[v] = down(x[v + 1], x[v]);
        }
        x[V - 1] = down(zero(), x[V - 1]);
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = add(x[v], high[v]);
        }
    }

    // Each digit step below forms the next digit's products with a as well:
    // they do not wait for this step's y, so they keep the multiply-add
    // units busy while the chain from one y to the next runs. Their low
    // halves land, after the shift, on the digits this step's high halves
    // do and join them; their high halves, one digit further up, wait in
    // `pending` for the next step. Within a step, the products the next y
    // waits for (digit 0's m y) come first, the next digit's products
    // second and the rest of m y last. Zen 4 issues ready operations
    // oldest first, so this order decides what the chain waits behind: it
    // makes a square 11% and a product 7% faster than forming each digit's
    // products in its own step. The build keeps the order by turning off
    // the compiler's scheduling after register allocation for this file.

    // One digit step of a product: x = (x + m y) / 2^52 for both moduli,
    // with x holding a b_i's low halves and pending its high ones; then
    // a b_{i+1} is started if next is set.
    static VC_IFMA_INLINE void step(Vec* x, Vec& lowNext, Vec* pending, const Vec* a, const Vec* m,
                                    const uint64_t* bNext, bool next, Vec k0) {
        const Vec y = lo(zero(), lowNext, k0);
        Vec high[V];
        for (uint32_t v = 0; v < V; ++v) {
            high[v] = pending[v];
        }
        x[0] = lo(x[0], m[0], y);
        high[0] = hi(high[0], m[0], y);
        if (next) {
            const Vec b = pairLoad(bNext);
            for (uint32_t v = 0; v < V; ++v) {
                high[v] = lo(high[v], a[v], b);
                pending[v] = hi(zero(), a[v], b);
            }
        }
        for (uint32_t v = 1; v < V; ++v) {
            x[v] = lo(x[v], m[v], y);
            high[v] = hi(high[v], m[v], y);
        }
        shift(x, lowNext, high);
    }

    // out = a b / R mod m for both moduli (interleaved operands), below 2m
    // for inputs below 2m; out may be a or b.
    static VC_IFMA_TARGET void mul(uint64_t* out, const uint64_t* a, const uint64_t* b,
                                   const JointWork& w) {
        Vec av[V];
        Vec mv[V];
        Vec x[V];
        Vec pending[V];
        const Vec b0 = pairLoad(b);
        for (uint32_t v = 0; v < V; ++v) {
            av[v] = load(a + 8 * v);
            mv[v] = load(w.mod + 8 * v);
            x[v] = lo(zero(), av[v], b0);
            pending[v] = hi(zero(), av[v], b0);
        }
        const Vec k0 = pairLoad(w.k0);
        Vec lowNext = digit0(x[0]);
#pragma GCC unroll 4
        for (uint32_t i = 0; i + 1 < N; ++i) {
            step(x, lowNext, pending, av, mv, b + 2 * (i + 1), true, k0);
        }
        step(x, lowNext, pending, av, mv, b, false, k0);
        normalise(x);
        for (uint32_t v = 0; v < V; ++v) {
            store(out + 8 * v, x[v]);
        }
    }

    struct Square {
        Vec a[V];
        Vec a2[V];
        Vec m[V];
        Vec x[V];
        __mmask8 top[V];
        Vec low;
    };

    // Row r of a square, the products of b = a_r as Kernel::squareStep
    // forms them: each cross product a_r a_j of digits in different
    // vectors once, in the row of the lower digit, from 2a (a2: 2 a_j mod
    // 2^52; the bit that leaves, a_j's bit 51, adds b one digit up, where
    // top marks it, and starts that lane's high half). r's own vector is
    // taken whole from a, so its pairs come from both of their rows and its
    // squares once; the vectors below are done. Low halves are added to
    // low, high halves start high.
    template <uint32_t R>
    static VC_IFMA_INLINE void squareRow(Vec* low, Vec* high, const Square& s, Vec b) {
        constexpr uint32_t FIRST = R / 4;
        for (uint32_t v = 0; v < V; ++v) {
            if (v < FIRST) {
                high[v] = zero();
            } else if (v == FIRST) {
                low[v] = lo(low[v], s.a[v], b);
                high[v] = hi(zero(), s.a[v], b);
            } else {
                low[v] = lo(low[v], s.a2[v], b);
                high[v] = hi(_mm512_maskz_mov_epi64(s.top[v], b), s.a2[v], b);
            }
        }
    }

    // One digit step of a square, as step() with row I + 1 as the next
    // digit's products.
    template <uint32_t I>
    static VC_IFMA_INLINE void squareStep(Square& s, Vec* pending, const uint64_t* a, Vec k0) {
        const Vec y = lo(zero(), s.low, k0);
        Vec high[V];
        for (uint32_t v = 0; v < V; ++v) {
            high[v] = pending[v];
        }
        s.x[0] = lo(s.x[0], s.m[0], y);
        high[0] = hi(high[0], s.m[0], y);
        if constexpr (I + 1 < N) {
            squareRow<I + 1>(high, pending, s, pairLoad(a + 2 * (I + 1)));
        }
        for (uint32_t v = 1; v < V; ++v) {
            s.x[v] = lo(s.x[v], s.m[v], y);
            high[v] = hi(high[v], s.m[v], y);
        }
        shift(s.x, s.low, high);
    }

    template <uint32_t... I>
    static VC_IFMA_INLINE void squareRows(Square& s, const uint64_t* a, Vec k0,
                                          std::integer_sequence<uint32_t, I...> /*rows*/) {
        Vec pending[V];
        squareRow<0>(s.x, pending, s, pairLoad(a));
        s.low = digit0(s.x[0]);
        (squareStep<I>(s, pending, a, k0), ...);
    }

    // out = a a / R mod m for both moduli, below 2m for inputs below 2m
    // with normalised digits; out may be a.
    static VC_IFMA_TARGET void square(uint64_t* out, const uint64_t* a, const JointWork& w) {
        Square s;
        const Vec mask = set1(DIGIT_MASK);
        const Vec bit51 = set1(uint64_t{1} << (DIGIT_BITS - 1));
        for (uint32_t v = 0; v < V; ++v) {
            s.a[v] = load(a + 8 * v);
            s.a2[v] = _mm512_and_si512(add(s.a[v], s.a[v]), mask);
            s.top[v] = _mm512_test_epi64_mask(s.a[v], bit51);
            s.m[v] = load(w.mod + 8 * v);
            s.x[v] = zero();
        }
        squareRows(s, a, pairLoad(w.k0), std::make_integer_sequence<uint32_t, N>());
        normalise(s.x);
        for (uint32_t v = 0; v < V; ++v) {
            store(out + 8 * v, s.x[v]);
        }
    }

    // entry = table[indexP] in p's lanes and table[indexQ] in q's; every
    // entry is read.
    static VC_IFMA_TARGET void gather(JointWork& w, uint32_t indexP, uint32_t indexQ) {
        const Vec index =
            _mm512_set_epi64(indexQ, indexP, indexQ, indexP, indexQ, indexP, indexQ, indexP);
        Vec e[V];
        for (uint32_t v = 0; v < V; ++v) {
            e[v] = zero();
        }
        for (uint32_t i = 0; i < ENTRIES; ++i) {
            const __mmask8 k = _mm512_cmpeq_epi64_mask(set1(i), index);
            for (uint32_t v = 0; v < V; ++v) {
                e[v] = _mm512_mask_mov_epi64(e[v], k, opaque(load(w.table[i] + 8 * v)));
            }
        }
        for (uint32_t v = 0; v < V; ++v) {
            store(w.entry + 8 * v, e[v]);
        }
    }

    // k limbs of x as digits in modulus h's lanes of out.
    static void spread(const uint64_t* x, uint32_t k, uint64_t* out, int h, JointWork& w) {
        toDigits(x, k, w.digits, N, DIGITS);
        for (uint32_t d = 0; d < DIGITS; ++d) {
            out[2 * d + static_cast<uint32_t>(h)] = w.digits[d];
        }
    }

    static void run(const uint64_t* const base[2], const uint64_t* const exponent[2],
                    const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t k,
                    uint64_t* const out[2], JointWork& w) {
        for (int h = 0; h < 2; ++h) {
            spread(mod[h], k, w.mod, h, w);
            w.k0[h] = digitInverse(mod[h][0]);
            spread(rr[h], k, w.rr, h, w);
            spread(base[h], k, w.base, h, w);
        }
        std::memset(w.one, 0, sizeof w.one);
        w.one[0] = 1;
        w.one[1] = 1;
        // R^2 for R = 2^(52 N) from the given 2^(128 k) (radixBridgeBit).
        std::memset(w.acc, 0, sizeof w.acc);
        const uint32_t bridge = radixBridgeBit(N, k);
        w.acc[2 * (bridge / DIGIT_BITS)] = uint64_t{1} << (bridge % DIGIT_BITS);
        w.acc[2 * (bridge / DIGIT_BITS) + 1] = uint64_t{1} << (bridge % DIGIT_BITS);
        mul(w.acc, w.acc, w.rr, w);
        square(w.rr, w.acc, w);

        // table[0] = R mod m, table[1] = base R mod m, the rest by squaring
        // the half or multiplying the one below by the base.
        mul(w.table[0], w.rr, w.one, w);
        mul(w.table[1], w.base, w.rr, w);
        for (uint32_t i = 2; i < ENTRIES; ++i) {
            if ((i & 1u) == 0) {
                square(w.table[i], w.table[i / 2], w);
            } else {
                mul(w.table[i], w.table[i - 1], w.table[1], w);
            }
        }

        walkWindows(
            exponent, k, [&](uint32_t p, uint32_t q) { gather(w, p, q); },
            [&] { std::memcpy(w.acc, w.entry, sizeof w.acc); }, [&] { square(w.acc, w.acc, w); },
            [&] { mul(w.acc, w.acc, w.entry, w); });

        // Out of Montgomery form: the product with 1 is at most m, so one
        // masked subtraction leaves the residue.
        mul(w.acc, w.acc, w.one, w);
        for (int h = 0; h < 2; ++h) {
            for (uint32_t d = 0; d < DIGITS; ++d) {
                w.digits[d] = w.acc[2 * d + static_cast<uint32_t>(h)];
            }
            fromDigits(w.digits, N, w.limbs, k);
            w.limbs[k] = 0;
            subtractMasked(out[h], w.limbs, mod[h], k);
        }
    }
};

}  // namespace

void runPairJoint(const uint64_t* const base[2], const uint64_t* const exponent[2],
                  const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t limbs,
                  uint64_t* const out[2], JointWork& work) noexcept {
    if (limbs == 8) {
        Joint<10>::run(base, exponent, mod, rr, limbs, out, work);
    } else {
        Joint<20>::run(base, exponent, mod, rr, limbs, out, work);
    }
}

}  // namespace vc::ifma

#endif
