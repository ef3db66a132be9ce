// The Montgomery arithmetic every exponentiation engine is built on: limbs
// of 32 or 64 bits, the portable product and square kernels, the masked
// final subtraction, and the choice of kernels for a modulus length. Also
// the sliding-window walk the variable-time engines share. Only the
// exponentiation files include this: modexp_public.cpp (variable time, for
// public exponents), modexp_secret_ct.cpp (constant time, for secret
// exponents and moduli) and modexp_reference.cpp (the plain engine the
// tests and benchmarks compare against).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"
#include "bignum/mont_kernels.h"

namespace vc {

inline void setOneModN(const BigNum* n, BigNum* out) noexcept {
    // 1 mod n: zero only for n = 1.
    out->words[0] = 1;
    out->length = (n->length == 1 && n->words[0] == 1) ? 0 : 1;
}

// The left-to-right sliding-window walk shared by the engines: start(entry)
// with the table entry of the first window (past the leading zero bits of
// the top word), then for every further step square() once per bit consumed
// and, after a window rather than a zero run, multiply(entry). An exponent
// record of zero words has no first window: then nothing is called and the
// result is false.
template <typename Start, typename Square, typename Multiply>
bool walkWindows(const BigNum* exponent, uint32_t w, Start start, Square square,
                 Multiply multiply) noexcept {
    int32_t position = static_cast<int32_t>(32 * exponent->length) - 1;
    uint32_t value = 0;
    uint32_t zeroRun = 0;
    bigNumNextWindow(exponent, &position, w, &value, &zeroRun);
    if (zeroRun != 0) {
        bigNumNextWindow(exponent, &position, w, &value, &zeroRun);
    }
    if (value == 0) {
        return false;
    }
    start((value - 1) / 2);
    for (;;) {
        const uint32_t count = bigNumNextWindow(exponent, &position, w, &value, &zeroRun);
        if (count == 0) {
            return true;
        }
        for (uint32_t s = 0; s < count; ++s) {
            square();
        }
        if (zeroRun == 0) {
            multiply((value - 1) / 2);
        }
    }
}

// ---------------------------------------------------------------------------
// Interleaved Montgomery arithmetic on limbs of 32 bits (64-bit products) or
// 64 bits (128-bit products).

template <typename Limb>
struct WideOf;
template <>
struct WideOf<uint32_t> {
    using Type = uint64_t;
};
#if defined(__SIZEOF_INT128__)
template <>
struct WideOf<uint64_t> {
    __extension__ typedef unsigned __int128 Type;
};
#endif

template <typename Limb>
struct Mont {
    using Wide = typename WideOf<Limb>::Type;
    static constexpr unsigned BITS = 8 * sizeof(Limb);
    static constexpr uint32_t WORDS_PER_LIMB = sizeof(Limb) / sizeof(uint32_t);

    // -n0^-1 mod 2^BITS by Newton's iteration: an odd n0 is its own inverse
    // mod 8, and every step doubles the number of correct low bits.
    static Limb inverse(Limb n0) noexcept {
        Limb inv = n0;
        for (int i = 0; i < 5; ++i) {
            inv = static_cast<Limb>(inv * static_cast<Limb>(2 - n0 * inv));
        }
        return static_cast<Limb>(0 - inv);
    }

    static void load(const BigNum* x, Limb* out, uint32_t limbs) noexcept {
        for (uint32_t i = 0; i < limbs; ++i) {
            Limb v = 0;
            for (uint32_t h = 0; h < WORDS_PER_LIMB; ++h) {
                const uint32_t index = i * WORDS_PER_LIMB + h;
                if (index < x->length) {
                    v |= static_cast<Limb>(static_cast<Limb>(x->words[index]) << (32 * h));
                }
            }
            out[i] = v;
        }
    }

    static void store(const Limb* x, uint32_t limbs, BigNum* out) noexcept {
        for (uint32_t i = 0; i < limbs; ++i) {
            for (uint32_t h = 0; h < WORDS_PER_LIMB; ++h) {
                out->words[i * WORDS_PER_LIMB + h] = static_cast<uint32_t>(x[i] >> (32 * h));
            }
        }
        out->length = limbs * WORDS_PER_LIMB;
        bigNumNormalise(out);
    }

    // A column sum in three limbs, low + top B^2, the carry out of low
    // counted in top. It cannot overflow: a column has at most 2k products
    // and a carry below 2k B, and 2k < B.
    struct Column {
        Wide low;
        Limb top;
    };

    static inline void mulAdd(Column& c, Limb x, Limb y) noexcept {
        const Wide p = static_cast<Wide>(x) * y;
        c.low += p;
        c.top = static_cast<Limb>(c.top + (c.low < p ? 1u : 0u));
    }

    // Emits the finished column's low limb; the rest carries into the next.
    static inline Limb shiftOut(Column& c) noexcept {
        const Limb out = static_cast<Limb>(c.low);
        c = Column{(c.low >> BITS) | (static_cast<Wide>(c.top) << BITS), 0};
        return out;
    }

    // c += sum of x[j] * y[-j] for j < count: one anti-diagonal of a
    // product, walked with one pointer up and one down. Fully unrolled where
    // the bounds are constants, these loops leave only the multiplies and
    // their carry chains.
    static inline void diagonal(Column& c, const Limb* __restrict x, const Limb* __restrict y,
                                size_t count) noexcept {
#pragma GCC unroll 16
        for (size_t j = 0; j < count; ++j) {
            mulAdd(c, x[j], *(y - j));
        }
    }

    // Two diagonals of the same length side by side (a b and m n).
    static inline void diagonals(Column& c, const Limb* __restrict x, const Limb* __restrict y,
                                 const Limb* __restrict u, const Limb* __restrict v,
                                 size_t count) noexcept {
#pragma GCC unroll 16
        for (size_t j = 0; j < count; ++j) {
            mulAdd(c, x[j], *(y - j));
            mulAdd(c, u[j], *(v - j));
        }
    }

    // out = a * b / R mod n, R = 2^(BITS k), for a, b < n, by columns: column
    // i of a * b + m * n, where the Montgomery factor m[i] is chosen as soon
    // as column i is complete so that its low limb vanishes. The columns
    // from k on are (a b + m n) / R < (n^2 + R n) / R < 2n, so t[k] is 0 or
    // 1 and one subtraction of n at the end suffices. Limbs of a and b below
    // column i - k + 1 are no longer read, and results go to t first, so out
    // may be a or b.
    template <uint32_t K>
    static void mul(Limb* out, const Limb* a, const Limb* b, const Limb* n, Limb nPrime,
                    uint32_t kIn, Limb* t, Limb* m) noexcept {
        const uint32_t k = K != 0 ? K : kIn;
        Column c{0, 0};
#pragma GCC unroll 16
        for (uint32_t i = 0; i < k; ++i) {
            diagonals(c, a, b + i, m, n + i, i);
            mulAdd(c, a[i], b[0]);
            const Limb mi = static_cast<Limb>(static_cast<Limb>(c.low) * nPrime);
            m[i] = mi;
            mulAdd(c, mi, n[0]);
            shiftOut(c);
        }
#pragma GCC unroll 16
        for (uint32_t i = k; i < 2 * k - 1; ++i) {
            const uint32_t first = i - k + 1;
            diagonals(c, a + first, b + k - 1, m + first, n + k - 1, k - first);
            t[i - k] = shiftOut(c);
        }
        t[k - 1] = shiftOut(c);
        t[k] = static_cast<Limb>(c.low);
        reduceOnce(out, t, n, k);
    }

    // out = a * a / R mod n: as mul, but each cross product a[j] a[i-j],
    // j < i - j, is formed once and the column's cross sum doubled before
    // the square, the carry and the Montgomery terms join it.
    template <uint32_t K>
    static void square(Limb* out, const Limb* a, const Limb* n, Limb nPrime, uint32_t kIn, Limb* t,
                       Limb* m) noexcept {
        const uint32_t k = K != 0 ? K : kIn;
        Column carry{0, 0};
#pragma GCC unroll 32
        for (uint32_t i = 0; i < 2 * k - 1; ++i) {
            Column c{0, 0};
            const uint32_t first = i < k ? 0 : i - k + 1;
            const uint32_t last = (i + 1) / 2;  // cross products have j < i - j
            if (last > first) {
                diagonal(c, a + first, a + i - first, last - first);
            }
            // Doubling: the cross sum is below k B^2 / 2, so no bit is lost.
            c.top = static_cast<Limb>((c.top << 1) | static_cast<Limb>(c.low >> (2 * BITS - 1)));
            c.low <<= 1;
            if ((i & 1u) == 0) {
                mulAdd(c, a[i / 2], a[i / 2]);
            }
            // The carry from the previous column (two limbs) joins it.
            c.low += carry.low;
            c.top = static_cast<Limb>(c.top + (c.low < carry.low ? 1u : 0u));
            if (i < k) {
                diagonal(c, m, n + i, i);
                const Limb mi = static_cast<Limb>(static_cast<Limb>(c.low) * nPrime);
                m[i] = mi;
                mulAdd(c, mi, n[0]);
                shiftOut(c);
            } else {
                diagonal(c, m + first, n + k - 1, k - first);
                t[i - k] = shiftOut(c);
            }
            carry = c;
        }
        t[k - 1] = shiftOut(carry);
        t[k] = static_cast<Limb>(carry.low);
        reduceOnce(out, t, n, k);
    }

    // out = a + (b & mask) over k limbs (out may be a or b); answers the
    // carry out. Without a branch, so a secret mask may choose the addend.
    static Limb addLimbs(Limb* out, const Limb* a, const Limb* b, uint32_t k,
                         Limb mask = static_cast<Limb>(~Limb{0})) noexcept {
        Limb carry = 0;
        for (uint32_t j = 0; j < k; ++j) {
            const Limb s = static_cast<Limb>(a[j] + carry);
            const Limb c1 = s < carry ? 1 : 0;
            const Limb r = static_cast<Limb>(s + (b[j] & mask));
            carry = static_cast<Limb>(c1 | (r < s ? 1 : 0));
            out[j] = r;
        }
        return carry;
    }

    // out = a - b over k limbs (out may be a or b); answers the borrow out.
    static Limb subLimbs(Limb* out, const Limb* a, const Limb* b, uint32_t k) noexcept {
        Limb borrow = 0;
        for (uint32_t j = 0; j < k; ++j) {
            const Limb aj = a[j];
            const Limb d = static_cast<Limb>(aj - b[j]);
            const Limb b1 = aj < b[j] ? 1 : 0;
            out[j] = static_cast<Limb>(d - borrow);
            borrow = static_cast<Limb>(b1 | (d < borrow ? 1 : 0));
        }
        return borrow;
    }

    // out = t - n when t >= n, else t; t has k + 1 limbs and is below 2n.
    // Chosen by mask so the subtraction does not show in the timing.
    static void reduceOnce(Limb* out, const Limb* t, const Limb* n, uint32_t k) noexcept {
        const Limb borrow = subLimbs(out, t, n, k);
        // Keep t when the subtraction borrowed beyond t's top limb.
        const Limb keep = static_cast<Limb>(0 - static_cast<Limb>(borrow > t[k] ? 1 : 0));
        for (uint32_t j = 0; j < k; ++j) {
            out[j] = static_cast<Limb>((t[j] & keep) | (out[j] & static_cast<Limb>(~keep)));
        }
    }

    using SquareFn = void (*)(Limb*, const Limb*, const Limb*, Limb, uint32_t, Limb*, Limb*);
    using MulFn = void (*)(Limb*, const Limb*, const Limb*, const Limb*, Limb, uint32_t, Limb*,
                           Limb*);

    // The carry-chain kernels replace the portable ones for 64-bit limbs,
    // and the vector ones for 32-bit limbs, on processors that have them;
    // the choice depends on k, the processor and the test hook only.
    static void preferFast(uint32_t k, SquareFn* sq, MulFn* mu) noexcept {
#if VC_MONT_ADX
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            if (montAdxAvailable()) {
                const MontKernels64 fast = montAdxKernels(k);
                *sq = fast.square;
                *mu = fast.mul;
            }
        }
#endif
        if constexpr (sizeof(Limb) == sizeof(uint32_t)) {
            MontKernels32 vec;
            if (montVec32Kernels(k, &vec)) {
                *sq = vec.square;
                *mu = vec.mul;
            }
        }
        (void)k;
        (void)sq;
        (void)mu;
    }

    // The portable kernels for k limbs. The halves of 1024- and 2048-bit
    // private keys get kernels whose loops the compiler can lay out in full.
    static void portableKernels(uint32_t k, SquareFn* sq, MulFn* mu) noexcept {
        *sq = &square<0>;
        *mu = &mul<0>;
        if (k * WORDS_PER_LIMB == 16) {
            *sq = &square<16 / WORDS_PER_LIMB>;
            *mu = &mul<16 / WORDS_PER_LIMB>;
        } else if (k * WORDS_PER_LIMB == 32) {
            *sq = &square<32 / WORDS_PER_LIMB>;
            *mu = &mul<32 / WORDS_PER_LIMB>;
        }
    }

    // The kernels of one private-operation engine (BigNumEngine) for k
    // limbs: the portable ones where the engine has none of this limb
    // width. The IFMA engines keep this processor's preferred products for
    // the conversions around their pair exponentiation; BIGNUM_ENGINE_COUNT
    // stands for that preference too.
    static void engineKernels(uint32_t engine, uint32_t k, SquareFn* sq, MulFn* mu) noexcept {
        portableKernels(k, sq, mu);
        if (engine == BIGNUM_ENGINE_IFMA || engine == BIGNUM_ENGINE_IFMA256 ||
            engine == BIGNUM_ENGINE_COUNT) {
            preferFast(k, sq, mu);
            return;
        }
#if VC_MONT_ADX
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            if (engine == BIGNUM_ENGINE_ADX && montAdxAvailable()) {
                const MontKernels64 fast = montAdxKernels(k);
                *sq = fast.square;
                *mu = fast.mul;
            }
        }
#endif
        if constexpr (sizeof(Limb) == sizeof(uint32_t)) {
            MontKernels32 vec;
            if ((engine == BIGNUM_ENGINE_VEC32 || engine == BIGNUM_ENGINE_VEC32_WIDE) &&
                montVec32KernelsOf(k, engine == BIGNUM_ENGINE_VEC32_WIDE, &vec)) {
                *sq = vec.square;
                *mu = vec.mul;
            }
        }
    }

    // What every engine runs for k limbs: the portable kernels, replaced by
    // this processor's where it has them.
    static void chooseKernels(uint32_t k, SquareFn* sq, MulFn* mu) noexcept {
        portableKernels(k, sq, mu);
        preferFast(k, sq, mu);
    }
};

// Nanoseconds of one dummy public exponentiation (bigNumTimeEngine).
uint64_t bigNumTimePublic(uint32_t engine, uint32_t words) noexcept;

// The widest limb this compiler multiplies natively: 64 bits where it has a
// 128-bit product, 32 bits otherwise. The dispatchers run their engines on it.
#if defined(__SIZEOF_INT128__)
using DefaultLimb = uint64_t;
#else
using DefaultLimb = uint32_t;
#endif

}  // namespace vc
