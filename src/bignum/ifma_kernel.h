// The Montgomery kernel of the IFMA engines, for N digits in registers
// of one width (Ops: Zmm or Ymm from ifma_ops.h). Included by the one
// translation unit per width that instantiates it.
//
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
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

#include "bignum/ifma_ops.h"

#if VC_IFMA_KERNEL

namespace vc::ifma {

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
    // one are ((G << 1) + P) ^ P, an addition of bit masks. A lane that
    // produces a carry keeps its bit 52 until the last mask drops it, and
    // cannot equal 2^52 - 1 meanwhile. The value is below 2^(52 N), so
    // nothing leaves the top digit.
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
        // A compare sets no mask bit above its L lanes, and a masked
        // operation reads none: the masks need no trimming.
        for (uint32_t v = 0; v < V; ++v) {
            const __mmask8 g = Ops::greater(x[v], mask);
            const __mmask8 p = Ops::equal(x[v], mask);
            generate |= static_cast<uint64_t>(g) << (L * v);
            propagate |= static_cast<uint64_t>(p) << (L * v);
        }
        const uint64_t take = ((generate << 1) + propagate) ^ propagate;
        const Vec one = Ops::set1(1);
        for (uint32_t v = 0; v < V; ++v) {
            const auto k = static_cast<__mmask8>(take >> (L * v));
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
    //
    // With four or more vectors the high halves of lanes 1.. are added
    // straight into x after the shift (vpmadd52huq accumulates), which
    // saves a zeroed register and an addition per vector but puts the
    // shift between the low and the high multiply-adds of each lane. On
    // Zen 4 (256-bit registers) that is about 5% faster for 2048-bit
    // moduli and 3-9% for larger ones, while with three vectors (1024-bit
    // moduli) the longer chain costs about 5%: there a separate high[]
    // keeps each step short.
    // The public engine's lone chain waits on each step, so it keeps the
    // separate high halves at every size.
    static constexpr bool FOLD_HIGH = V >= 4;

    template <bool FOLD>
    static VC_IFMA_INLINE void step(Vec* x, Vec& lowNext, const Vec* a, const Vec* m, uint64_t bi,
                                    Vec k0, Vec a0k0) {
        const Vec zero = Ops::zero();
        const Vec b = Ops::set1(bi);
        const Vec partial = Ops::madd52lo(zero, a0k0, b);
        const Vec low = Ops::lowBroadcast(lowNext);
        const Vec y = Ops::madd52lo(partial, low, k0);
        Vec high[V];
        for (uint32_t v = 0; v < V; ++v) {
            if (v == 0 || !FOLD) {
                high[v] = Ops::madd52hi(zero, a[v], b);
            }
            x[v] = Ops::madd52lo(x[v], a[v], b);
        }
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = Ops::madd52lo(x[v], m[v], y);
            if (v == 0 || !FOLD) {
                high[v] = Ops::madd52hi(high[v], m[v], y);
            }
        }
        high[0] = Ops::add(high[0], Ops::lowShifted(x[0]));
        lowNext = Ops::add(Ops::oddLanes(x[0]), high[0]);
        for (uint32_t v = 0; v + 1 < V; ++v) {
            x[v] = Ops::down(x[v + 1], x[v]);
        }
        x[V - 1] = Ops::down(zero, x[V - 1]);
        for (uint32_t v = 0; v < V; ++v) {
            if (v == 0 || !FOLD) {
                x[v] = Ops::add(x[v], high[v]);
            } else {
                x[v] = Ops::madd52hi(x[v], a[v], b);
                x[v] = Ops::madd52hi(x[v], m[v], y);
            }
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
            step<FOLD_HIGH>(xp, lowP, ap, mp, bP[i], k0p, a0k0p);
            step<FOLD_HIGH>(xq, lowQ, aq, mq, bQ[i], k0q, a0k0q);
        }
        normalise(xp);
        normalise(xq);
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(outP + L * v, xp[v]);
            Ops::store(outQ + L * v, xq[v]);
        }
    }

    // entry = table[index] for both moduli; every entry is read. The
    // loads are 512 bits wide whatever the kernel's width: the walk over
    // the whole table is bound by how many bytes a cycle can load, and a
    // wide load moves twice as many as a narrow one. Odd vector counts end
    // with one 256-bit load.
    static VC_IFMA_TARGET void gather(PairWork& w, uint32_t indexP, uint32_t indexQ) {
        constexpr uint32_t WIDE = LANES / 8;
        constexpr bool NARROW_TAIL = LANES % 8 != 0;
        const __m512i ip = _mm512_set1_epi64(indexP);
        const __m512i iq = _mm512_set1_epi64(indexQ);
        __m512i ep[WIDE];
        __m512i eq[WIDE];
        for (uint32_t v = 0; v < WIDE; ++v) {
            ep[v] = _mm512_setzero_si512();
            eq[v] = _mm512_setzero_si512();
        }
        __m256i tailP = _mm256_setzero_si256();
        __m256i tailQ = _mm256_setzero_si256();
        for (uint32_t e = 0; e < ENTRIES; ++e) {
            const __m512i current = _mm512_set1_epi64(e);
            const __mmask8 kp = _mm512_cmpeq_epi64_mask(current, ip);
            const __mmask8 kq = _mm512_cmpeq_epi64_mask(current, iq);
            for (uint32_t v = 0; v < WIDE; ++v) {
                ep[v] = _mm512_mask_mov_epi64(ep[v], kp,
                                              opaque(_mm512_load_si512(w.table[0][e] + 8 * v)));
                eq[v] = _mm512_mask_mov_epi64(eq[v], kq,
                                              opaque(_mm512_load_si512(w.table[1][e] + 8 * v)));
            }
            if constexpr (NARROW_TAIL) {
                tailP =
                    _mm256_mask_mov_epi64(tailP, kp, opaque(Ymm::load(w.table[0][e] + 8 * WIDE)));
                tailQ =
                    _mm256_mask_mov_epi64(tailQ, kq, opaque(Ymm::load(w.table[1][e] + 8 * WIDE)));
            }
        }
        for (uint32_t v = 0; v < WIDE; ++v) {
            _mm512_store_si512(w.entry[0] + 8 * v, ep[v]);
            _mm512_store_si512(w.entry[1] + 8 * v, eq[v]);
        }
        if constexpr (NARROW_TAIL) {
            Ymm::store(w.entry[0] + 8 * WIDE, tailP);
            Ymm::store(w.entry[1] + 8 * WIDE, tailQ);
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
            step<false>(x, low, av, mv, b[i], k0v, a0k0);
        }
        normalise(x);
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(out + L * v, x[v]);
        }
    }

    // out = base^e mod m for a public modulus of k limbs and an exponent
    // e > 1 of `bits` bits, left to right; baseR is base 2^(52 N) mod m,
    // plain base mod m. The last product of an odd exponent takes the
    // plain base, which leaves Montgomery form at no cost.
    static void runPublic(const uint64_t* baseR, const uint64_t* plain, uint64_t e, uint32_t bits,
                          const uint64_t* mod, uint32_t k, uint64_t* out, PublicWork& w) {
        toDigits(mod, k, w.mod, N, LANES);
        const uint64_t k0 = digitInverse(mod[0]);
        toDigits(baseR, k, w.base, N, LANES);
        toDigits(plain, k, w.plain, N, LANES);
        std::memcpy(w.acc, w.base, sizeof w.acc);
        bool plainLast = false;
        for (uint32_t p = bits - 1; p-- > 0;) {
            // The lone chain of a public square waits on each step; the
            // halved cross products pay only where the steps are long: on
            // Zen 4, 9% in 256-bit registers with 40 digits, nothing with
            // 30, a loss with 20 or fewer. In 512-bit registers they gain
            // 5% with 40 digits, which the engine choice then leaves to
            // the 256-bit engine, so that width keeps the product and
            // does not compile a second unrolled square.
            if constexpr (N >= 40 && L == 4) {
                squareOne(w.acc, w.acc, w.mod, k0);
            } else {
                mulOne(w.acc, w.acc, w.acc, w.mod, k0);
            }
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

    // out = a b / R mod m, fully reduced, for a, b < m of k limbs: one
    // product in digits, for the blinding of private operations. Every
    // step runs whatever the values.
    static void runProduct(const uint64_t* a, const uint64_t* b, const uint64_t* mod, uint32_t k,
                           uint64_t* out, PublicWork& w) {
        toDigits(mod, k, w.mod, N, LANES);
        toDigits(a, k, w.base, N, LANES);
        toDigits(b, k, w.plain, N, LANES);
        mulOne(w.acc, w.base, w.plain, w.mod, digitInverse(mod[0]));
        fromDigits(w.acc, N, w.limbs, k + 1);
        subtractMasked(out, w.limbs, mod, k);
    }

    // One digit step of a square: as step() with b_i = a_i, but each cross
    // product a_i a_j of digits in different vectors is formed once, in
    // the row of the lower digit, and counted twice: row I takes the
    // vectors above its own from a2 (2 a_j mod 2^52; the bit that leaves,
    // a_j's bit 51, adds a_i one digit up instead, where top marks it).
    // Within row I's own vector every lane is taken once from a, so each
    // pair of that vector is formed in both of its rows and each square
    // once, with no masking and no fix-up; vectors below are done. In
    // rows 1 to L - 1 the own vector is the first, and its lane 0 adds
    // a_0 a_I to the digit being reduced: y takes that in as step() does,
    // from a_0 k0. Otherwise digit I gains nothing from row I, so y is
    // formed before the row, from lowNext as in step(). On Zen 4 (2048-bit
    // moduli, 256-bit registers; 4096-bit, 512-bit) the whole own vector
    // makes the square about 10% faster than cutting each row's vector to
    // its lanes from I up with two blends and a masked fix-up. I is
    // public: the vectors skipped depend on the step only.
    template <uint32_t I>
    static VC_IFMA_INLINE void squareStep(Vec* x, Vec& lowNext, const Vec* a, const Vec* a2,
                                          const __mmask8* top, const Vec* m, uint64_t ai, Vec k0,
                                          Vec a0k0) {
        constexpr uint32_t FIRST = I / L;
        const Vec zero = Ops::zero();
        const Vec b = Ops::set1(ai);
        Vec y = zero;
        if constexpr (FIRST == 0 && I != 0) {
            y = Ops::madd52lo(Ops::madd52lo(zero, a0k0, b), Ops::lowBroadcast(lowNext), k0);
        } else if constexpr (I != 0) {
            y = Ops::madd52lo(zero, Ops::lowBroadcast(lowNext), k0);
        }
        const Vec first = a[FIRST];
        x[FIRST] = Ops::madd52lo(x[FIRST], first, b);
        for (uint32_t v = FIRST + 1; v < V; ++v) {
            x[v] = Ops::madd52lo(x[v], a2[v], b);
        }
        if constexpr (I == 0) {
            y = Ops::madd52lo(zero, Ops::lowBroadcast(x[0]), k0);
        }
        Vec high = Ops::madd52hi(zero, m[0], y);
        if constexpr (FIRST == 0) {
            high = Ops::madd52hi(high, first, b);
        }
        for (uint32_t v = 0; v < V; ++v) {
            x[v] = Ops::madd52lo(x[v], m[v], y);
        }
        high = Ops::add(high, Ops::lowShifted(x[0]));
        lowNext = Ops::add(Ops::oddLanes(x[0]), high);
        for (uint32_t v = 0; v + 1 < V; ++v) {
            x[v] = Ops::down(x[v + 1], x[v]);
        }
        x[V - 1] = Ops::down(zero, x[V - 1]);
        x[0] = Ops::add(x[0], high);
        for (uint32_t v = 1; v < V; ++v) {
            x[v] = Ops::madd52hi(x[v], m[v], y);
            if (v == FIRST) {
                x[v] = Ops::madd52hi(x[v], first, b);
            } else if (v > FIRST) {
                x[v] = Ops::maskAdd(Ops::madd52hi(x[v], a2[v], b), top[v], b);
            }
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
        const Vec a0k0p = Ops::madd52lo(Ops::zero(), Ops::set1(aP[0]), k0p);
        const Vec a0k0q = Ops::madd52lo(Ops::zero(), Ops::set1(aQ[0]), k0q);
        ((squareStep<I>(p.x, p.low, p.a, p.a2, p.top, p.m, aP[I], k0p, a0k0p),
          squareStep<I>(q.x, q.low, q.a, q.a2, q.top, q.m, aQ[I], k0q, a0k0q)),
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

    // out = a a / R mod m for one modulus, as squarePair: the public
    // engine's square.
    static VC_IFMA_TARGET void squareOne(uint64_t* out, const uint64_t* a, const uint64_t* mod,
                                         uint64_t k0) {
        Square s;
        loadSquare(s, a, mod);
        squareRowsOne(s, a, Ops::set1(k0), std::make_integer_sequence<uint32_t, N>());
        normalise(s.x);
        for (uint32_t v = 0; v < V; ++v) {
            Ops::store(out + L * v, s.x[v]);
        }
    }

    template <uint32_t... I>
    static VC_IFMA_INLINE void squareRowsOne(Square& s, const uint64_t* a, Vec k0,
                                             std::integer_sequence<uint32_t, I...> /*rows*/) {
        const Vec a0k0 = Ops::madd52lo(Ops::zero(), Ops::set1(a[0]), k0);
        (squareStep<I>(s.x, s.low, s.a, s.a2, s.top, s.m, a[I], k0, a0k0), ...);
    }

    // Squares by squarePair where halving the cross products pays for its
    // extra masking: measured on Zen 4, it pays with five vectors (about
    // 15% on 1024-bit primes in 256-bit registers and on 2048-bit ones in
    // 512-bit registers) and with four (3% on 1536-bit primes in 512-bit
    // registers); with three the plain product is faster (by 9% on
    // 512-bit primes in 256-bit registers), and with eight or ten the
    // rows, unrolled for both halves, no longer fit the registers and the
    // square takes twice as long.
    static void square(uint64_t* outP, const uint64_t* aP, uint64_t* outQ, const uint64_t* aQ,
                       const PairWork& w) {
        if constexpr (V == 4 || V == 5) {
            squarePair(outP, aP, outQ, aQ, w);
        } else {
            mulPair(outP, aP, aP, outQ, aQ, aQ, w);
        }
    }

    static void mul(PairWork& w, uint64_t (*out)[MAX_LANES], uint64_t (*a)[MAX_LANES],
                    uint64_t (*b)[MAX_LANES]) {
        mulPair(out[0], a[0], b[0], out[1], a[1], b[1], w);
    }

    static void run(const uint64_t* const base[2], const uint64_t* const exponent[2],
                    const uint64_t* const mod[2], const uint64_t* const rr[2], uint32_t k,
                    uint64_t* const out[2], PairWork& w) {
        for (int h = 0; h < 2; ++h) {
            toDigits(mod[h], k, w.mod[h], N, LANES);
            w.k0[h] = digitInverse(mod[h][0]);
            toDigits(rr[h], k, w.rr[h], N, LANES);
            toDigits(base[h], k, w.base[h], N, LANES);
        }
        std::memset(w.one, 0, sizeof w.one);
        w.one[0] = 1;
        // R^2 for R = 2^(52 N) from the given 2^(128 k) (radixBridgeBit).
        std::memset(w.acc, 0, sizeof w.acc);
        const uint32_t bridge = radixBridgeBit(N, k);
        for (int h = 0; h < 2; ++h) {
            w.acc[h][bridge / DIGIT_BITS] = uint64_t{1} << (bridge % DIGIT_BITS);
        }
        mulPair(w.acc[0], w.acc[0], w.rr[0], w.acc[1], w.acc[1], w.rr[1], w);
        square(w.rr[0], w.acc[0], w.rr[1], w.acc[1], w);

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

        walkWindows(
            exponent, k, [&](uint32_t p, uint32_t q) { gather(w, p, q); },
            [&] { std::memcpy(w.acc, w.entry, sizeof w.acc); },
            [&] { square(w.acc[0], w.acc[0], w.acc[1], w.acc[1], w); },
            [&] { mul(w, w.acc, w.acc, w.entry); });

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

}  // namespace vc::ifma

#endif
