// Montgomery reduction, the sliding-window exponent scan, modular
// exponentiation and its CRT form for RSA private keys. Never allocates;
// every table, accumulator and intermediate that depends on the base or the
// exponent is wiped before a call returns.
#include <cstddef>
#include <cstring>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"
#include "bignum/mont_kernels.h"
#include "crypto/constant_time.h"
#include "crypto/secure_wipe.h"

namespace vc {
namespace {

// Copies only the words in use; what lies above length is not the value.
void copyValue(BigNum* to, const BigNum* from) noexcept {
    std::memcpy(to->words, from->words, from->length * sizeof(uint32_t));
    to->length = from->length;
}

void setOneModN(const BigNum* n, BigNum* out) noexcept {
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

// The widest limb this compiler multiplies natively: 64 bits where it has a
// 128-bit product, 32 bits otherwise. The dispatchers run their engines on it.
#if defined(__SIZEOF_INT128__)
using DefaultLimb = uint64_t;
#else
using DefaultLimb = uint32_t;
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

    // out = t - n when t >= n, else t; t has k + 1 limbs and is below 2n.
    // Chosen by mask so the subtraction does not show in the timing.
    static void reduceOnce(Limb* out, const Limb* t, const Limb* n, uint32_t k) noexcept {
        Limb borrow = 0;
        for (uint32_t j = 0; j < k; ++j) {
            const Limb tj = t[j];
            const Limb d = static_cast<Limb>(tj - n[j]);
            const Limb b1 = tj < n[j] ? 1 : 0;
            out[j] = static_cast<Limb>(d - borrow);
            borrow = static_cast<Limb>(b1 | (d < borrow ? 1 : 0));
        }
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

    // What every engine runs for k limbs: the portable kernels, replaced by
    // this processor's where it has them.
    static void chooseKernels(uint32_t k, SquareFn* sq, MulFn* mu) noexcept {
        portableKernels(k, sq, mu);
        preferFast(k, sq, mu);
    }

    // A modulus loaded into limbs with its Montgomery constant, the kernels
    // for its length and the scratch they share: what every product of the
    // two variable-time engines needs.
    struct Modulus {
        const Limb* n;
        uint32_t k;
        Limb nPrime;
        SquareFn sq;
        MulFn mu;
        Limb* t;
        Limb* factors;
        void square(Limb* out, const Limb* a) const noexcept {
            sq(out, a, n, nPrime, k, t, factors);
        }
        void mul(Limb* out, const Limb* a, const Limb* b) const noexcept {
            mu(out, a, b, n, nPrime, k, t, factors);
        }
    };

    static Modulus setUp(const BigNum* n, Limb* mod, Limb* t, Limb* factors) noexcept {
        const uint32_t k = (n->length + WORDS_PER_LIMB - 1) / WORDS_PER_LIMB;
        load(n, mod, k);
        Modulus m{mod, k, inverse(mod[0]), nullptr, nullptr, t, factors};
        chooseKernels(k, &m.sq, &m.mu);
        return m;
    }

    static void modExp(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                       ModExpLimbWork<Limb>* work) noexcept {
        const Modulus m = setUp(n, work->modulus, work->product, work->factors);
        const uint32_t k = m.k;
        const uint32_t shiftWords = k * WORDS_PER_LIMB;
        Limb* const acc = work->accumulator;
        const uint32_t w = bigNumWindowWidth(exponent->length);
        const uint32_t entries = 1u << (w - 1);

        // base * R mod n by one division. A base too long to be shifted
        // within the capacity is reduced first.
        const BigNum* b = base;
        if (base->length + shiftWords > BIGNUM_MAX_WORDS) {
            bigNumDiv(base, n, &work->quotient, out);
            b = out;
        }
        BigNum* shifted = &work->converted;
        std::memset(shifted->words, 0, shiftWords * sizeof(uint32_t));
        std::memcpy(shifted->words + shiftWords, b->words, b->length * sizeof(uint32_t));
        shifted->length = b->length + shiftWords;
        bigNumDiv(shifted, n, &work->quotient, out);
        load(out, work->table[0], k);

        if (w > 1) {
            m.square(acc, work->table[0]);
            for (uint32_t e = 1; e < entries; ++e) {
                m.mul(work->table[e], work->table[e - 1], acc);
            }
        }

        const bool started = walkWindows(
            exponent, w,
            [&](uint32_t entry) { std::memcpy(acc, work->table[entry], k * sizeof(Limb)); },
            [&] { m.square(acc, acc); },
            [&](uint32_t entry) { m.mul(acc, acc, work->table[entry]); });
        if (!started) {
            setOneModN(n, out);
            secureWipe(work, sizeof *work);
            return;
        }

        // Out of Montgomery form: multiply by 1.
        Limb* const one = work->table[0];
        std::memset(one, 0, k * sizeof(Limb));
        one[0] = 1;
        m.mul(acc, acc, one);
        store(acc, k, out);
        secureWipe(work, sizeof *work);
    }

    // hi:lo / d for hi < d; the remainder to *rem.
    static Limb divide(Limb hi, Limb lo, Limb d, Limb* rem) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            // The library call for a 128-bit division costs several times
            // the instruction, whose one precondition hi < d holds here.
            uint64_t q;
            uint64_t r;
            __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(d) : "cc");
            *rem = r;
            return q;
        }
#endif
        const Wide u = (static_cast<Wide>(hi) << BITS) | lo;
        *rem = static_cast<Limb>(u % d);
        return static_cast<Limb>(u / d);
    }

    // out = x R mod n for x < n, by long division of x B^k by n on whole
    // limbs (k quotient digits, each estimated from the top limbs and at
    // most once too large, as in Knuth's algorithm D). w holds 2k + 1 limbs
    // and v k limbs of scratch. The top limb of n is not zero.
    static void shiftedResidue(const Limb* x, const Limb* n, uint32_t k, Limb* out, Limb* w,
                               Limb* v) noexcept {
        // Normalised so that v's top bit is set; x < n keeps x 2^s in k limbs.
        unsigned s = 0;
        for (Limb top = n[k - 1]; (top >> (BITS - 1)) == 0; top = static_cast<Limb>(top << 1)) {
            ++s;
        }
        auto shifted = [s](Limb hi, Limb lo) {
            return s == 0 ? hi : static_cast<Limb>((hi << s) | (lo >> (BITS - s)));
        };
        for (uint32_t i = 0; i < k; ++i) {
            v[i] = shifted(n[i], i == 0 ? 0 : n[i - 1]);
            w[k + i] = shifted(x[i], i == 0 ? 0 : x[i - 1]);
            w[i] = 0;
        }
        w[2 * k] = 0;
        const Limb top = v[k - 1];
        const Limb next = k >= 2 ? v[k - 2] : 0;
        for (uint32_t j = k; j-- > 0;) {
            const Limb u1 = w[j + k];
            const Limb u2 = w[j + k - 1];
            const Limb u3 = k >= 2 ? w[j + k - 2] : 0;
            Limb qhat;
            Limb rhat;
            bool rhatOverflow = false;
            if (u1 == top) {
                qhat = static_cast<Limb>(~Limb{0});
                rhat = static_cast<Limb>(u2 + top);
                rhatOverflow = rhat < top;
            } else {
                qhat = divide(u1, u2, top, &rhat);
            }
            // With the second limb of v taken in, qhat is at most 1 too large.
            while (!rhatOverflow &&
                   static_cast<Wide>(qhat) * next > ((static_cast<Wide>(rhat) << BITS) | u3)) {
                --qhat;
                rhat = static_cast<Limb>(rhat + top);
                rhatOverflow = rhat < top;
            }
            Limb* const u = w + j;
            Wide product = 0;
            Limb borrow = 0;
            // A negative difference shows as a high half of all ones.
            for (uint32_t i = 0; i < k; ++i) {
                product += static_cast<Wide>(qhat) * v[i];
                const Wide d = static_cast<Wide>(u[i]) - static_cast<Limb>(product) - borrow;
                product >>= BITS;
                u[i] = static_cast<Limb>(d);
                borrow = static_cast<Limb>((d >> BITS) & 1u);
            }
            const Wide d = static_cast<Wide>(u[k]) - static_cast<Limb>(product) - borrow;
            u[k] = static_cast<Limb>(d);
            borrow = static_cast<Limb>((d >> BITS) & 1u);
            if (borrow != 0) {
                Limb carry = 0;
                for (uint32_t i = 0; i < k; ++i) {
                    const Limb t1 = static_cast<Limb>(u[i] + carry);
                    const Limb c1 = t1 < carry ? 1 : 0;
                    const Limb t2 = static_cast<Limb>(t1 + v[i]);
                    carry = static_cast<Limb>(c1 | (t2 < t1 ? 1 : 0));
                    u[i] = t2;
                }
                u[k] = static_cast<Limb>(u[k] + carry);
            }
        }
        for (uint32_t i = 0; i < k; ++i) {
            out[i] =
                s == 0 ? w[i]
                       : static_cast<Limb>((w[i] >> s) | (i + 1 < k ? w[i + 1] << (BITS - s) : 0));
        }
    }

    // base^e mod n for e of one or two words. The plain base (below n) is
    // the last factor of an odd exponent: (base^(e-1) R) base / R is the
    // result itself, so no multiplication by 1 follows.
    static void modExpShort(const BigNum* base, const BigNum* exponent, const BigNum* n,
                            BigNum* out, ModExpShortWork<Limb>* work) noexcept {
        // The exponent record need not be normalised; a value of 0 gives 1.
        uint32_t bits = 0;
        for (uint32_t i = exponent->length; i-- > 0 && bits == 0;) {
            for (uint32_t top = exponent->words[i]; top != 0; top >>= 1) {
                bits = bits == 0 ? 32 * i + 1 : bits + 1;
            }
        }
        if (bits == 0) {
            setOneModN(n, out);
            return;
        }
        const Modulus m = setUp(n, work->modulus, work->product, work->factors);
        const uint32_t k = m.k;
        Limb* const acc = work->accumulator;

        const BigNum* b = base;
        if (base->length >= n->length) {
            bigNumDiv(base, n, &work->quotient, out);
            b = out;
        }
        load(b, work->plain, k);
        shiftedResidue(work->plain, m.n, k, work->base, work->wide, work->normalised);

        auto bitAt = [exponent](uint32_t p) { return (exponent->words[p / 32] >> (p % 32)) & 1u; };
        std::memcpy(acc, work->base, k * sizeof(Limb));
        bool plain = false;
        for (uint32_t p = bits - 1; p-- > 0;) {
            m.square(acc, acc);
            if (bitAt(p) != 0) {
                plain = p == 0;
                m.mul(acc, acc, plain ? work->plain : work->base);
            }
        }
        if (!plain) {
            Limb* const one = work->plain;
            std::memset(one, 0, k * sizeof(Limb));
            one[0] = 1;
            m.mul(acc, acc, one);
        }
        store(acc, k, out);
        secureWipe(work, sizeof *work);
    }

    // ---------------------------------------------------------------------
    // The constant-time engine for secret exponents and secret moduli. No
    // branch and no memory address depends on the exponent, the base, the
    // modulus' value or any intermediate: only on the modulus' length, which
    // the key size makes public anyway.

    static Limb maskOf(uint32_t mask32) noexcept {
        return static_cast<Limb>(0 - static_cast<Limb>(mask32 & 1u));
    }

    // x as `limbs` limbs; the words at and above x->length are masked out
    // rather than skipped, so the normalised length does not show.
    static void loadMasked(const BigNum* x, Limb* out, uint32_t limbs) noexcept {
        for (uint32_t i = 0; i < limbs; ++i) {
            Limb v = 0;
            for (uint32_t h = 0; h < WORDS_PER_LIMB; ++h) {
                const uint32_t index = i * WORDS_PER_LIMB + h;
                const uint32_t word = index < BIGNUM_MAX_WORDS ? x->words[index] : 0;
                v |= static_cast<Limb>(static_cast<Limb>(word & ctLess(index, x->length))
                                       << (32 * h));
            }
            out[i] = v;
        }
    }

    // Arithmetic modulo one odd modulus held in limbs.
    struct Field {
        Limb* mod;
        Limb* rr;  // R^2 mod n
        Limb* t;
        Limb* factors;
        Limb nPrime;
        uint32_t k;
        SquareFn sq;
        MulFn mu;

        void mul(Limb* out, const Limb* a, const Limb* b) const noexcept {
            mu(out, a, b, mod, nPrime, k, t, factors);
        }
        void square(Limb* out, const Limb* a) const noexcept {
            sq(out, a, mod, nPrime, k, t, factors);
        }

        // out = a + b mod n for a, b < n (out may be a or b).
        void add(Limb* out, const Limb* a, const Limb* b) const noexcept {
            Limb carry = 0;
            for (uint32_t j = 0; j < k; ++j) {
                const Limb s = static_cast<Limb>(a[j] + carry);
                const Limb c1 = s < carry ? 1 : 0;
                const Limb r = static_cast<Limb>(s + b[j]);
                carry = static_cast<Limb>(c1 | (r < s ? 1 : 0));
                t[j] = r;
            }
            t[k] = carry;
            reduceOnce(out, t, mod, k);
        }

        // out = a - b mod n for a, b < n: n is added back under a mask.
        void sub(Limb* out, const Limb* a, const Limb* b) const noexcept {
            Limb borrow = 0;
            for (uint32_t j = 0; j < k; ++j) {
                const Limb d = static_cast<Limb>(a[j] - b[j]);
                const Limb b1 = a[j] < b[j] ? 1 : 0;
                out[j] = static_cast<Limb>(d - borrow);
                borrow = static_cast<Limb>(b1 | (d < borrow ? 1 : 0));
            }
            const Limb mask = static_cast<Limb>(0 - borrow);
            Limb carry = 0;
            for (uint32_t j = 0; j < k; ++j) {
                const Limb addend = static_cast<Limb>(mod[j] & mask);
                const Limb s = static_cast<Limb>(out[j] + carry);
                const Limb c1 = s < carry ? 1 : 0;
                const Limb r = static_cast<Limb>(s + addend);
                carry = static_cast<Limb>(c1 | (r < s ? 1 : 0));
                out[j] = r;
            }
        }
    };

    // Loads n and computes R^2 mod n without a division: 2^(b-1), b the bit
    // length of n, is below n; doubling it with a masked subtraction up to
    // 2^(kB + s), where kB = s 2^j with s odd, gives 2^s in Montgomery form,
    // and j Montgomery squarings then give 2^kB = R in Montgomery form,
    // which is R^2 mod n. The number of steps depends on b only.
    static void setField(Field* f, const BigNum* n, Limb* mod, Limb* rr, Limb* t, Limb* factors,
                         bool makeRr = true) noexcept {
        const uint32_t k = (n->length + WORDS_PER_LIMB - 1) / WORDS_PER_LIMB;
        load(n, mod, k);
        f->mod = mod;
        f->rr = rr;
        f->t = t;
        f->factors = factors;
        f->k = k;
        f->nPrime = inverse(mod[0]);
        chooseKernels(k, &f->sq, &f->mu);
        if (!makeRr) {
            return;
        }
        uint32_t top = n->words[n->length - 1];
        uint32_t bits = 32 * (n->length - 1);
        while (top != 0) {
            ++bits;
            top >>= 1;
        }
        const uint32_t kb = k * BITS;
        uint32_t s = kb;
        uint32_t j = 0;
        while ((s & 1u) == 0) {
            s >>= 1;
            ++j;
        }
        std::memset(rr, 0, k * sizeof(Limb));
        rr[(bits - 1) / BITS] = static_cast<Limb>(Limb{1} << ((bits - 1) % BITS));
        for (uint32_t step = bits - 1; step < kb + s; ++step) {
            Limb carry = 0;
            for (uint32_t i = 0; i < k; ++i) {
                const Limb v = rr[i];
                t[i] = static_cast<Limb>((v << 1) | carry);
                carry = static_cast<Limb>(v >> (BITS - 1));
            }
            t[k] = carry;
            reduceOnce(rr, t, mod, k);
        }
        for (uint32_t i = 0; i < j; ++i) {
            f->square(rr, rr);
        }
    }

    // out = x R mod n for x of `words` 32-bit words (masked above its
    // length), taken R = 2^kB at a time from the top: acc = acc R + chunk R,
    // each term one Montgomery product with R^2. No division, no branch on
    // the value. chunk is scratch of k limbs.
    static void toMontgomery(const Field& f, const BigNum* x, uint32_t words, Limb* out,
                             Limb* chunk) noexcept {
        const uint32_t chunkWords = f.k * WORDS_PER_LIMB;
        const uint32_t chunks = words == 0 ? 1 : (words + chunkWords - 1) / chunkWords;
        for (uint32_t c = chunks; c-- > 0;) {
            for (uint32_t i = 0; i < f.k; ++i) {
                Limb v = 0;
                for (uint32_t h = 0; h < WORDS_PER_LIMB; ++h) {
                    const uint32_t index = c * chunkWords + i * WORDS_PER_LIMB + h;
                    const uint32_t word = index < BIGNUM_MAX_WORDS ? x->words[index] : 0;
                    v |= static_cast<Limb>(static_cast<Limb>(word & ctLess(index, x->length))
                                           << (32 * h));
                }
                chunk[i] = v;
            }
            f.mul(chunk, chunk, f.rr);
            if (c + 1 == chunks) {
                std::memcpy(out, chunk, f.k * sizeof(Limb));
            } else {
                f.mul(out, out, f.rr);
                f.add(out, out, chunk);
            }
        }
    }

    // acc = base^e in Montgomery form, base given in Montgomery form. The
    // exponent is read in fixed windows of SECRET_WINDOW bits over eLimbs
    // limbs whatever its value: every window costs SECRET_WINDOW squarings
    // and one multiplication, and the table entry is gathered by reading
    // all entries under masks, so neither the bits nor the entry used show
    // in the timing or the addresses touched.
    static void powSecret(const Field& f, const Limb* baseMont, const Limb* e, uint32_t eLimbs,
                          Limb (*table)[ModExpLimbWork<Limb>::MAX_LIMBS], Limb* entry,
                          Limb* acc) noexcept {
        constexpr uint32_t W = SECRET_WINDOW;
        constexpr uint32_t ENTRIES = 1u << W;
        const uint32_t k = f.k;
        // table[0] = R mod n (1 in Montgomery form), table[1] = base.
        std::memset(entry, 0, k * sizeof(Limb));
        entry[0] = 1;
        f.mul(table[0], f.rr, entry);
        std::memcpy(table[1], baseMont, k * sizeof(Limb));
        // Even entries by squaring, which costs less than a product.
        for (uint32_t i = 2; i < ENTRIES; ++i) {
            if ((i & 1u) == 0) {
                f.square(table[i], table[i / 2]);
            } else {
                f.mul(table[i], table[i - 1], baseMont);
            }
        }
        auto windowAt = [&](uint32_t position) {
            // Bits position .. position + W - 1; position and the limbs read
            // are public.
            const uint32_t index = position / BITS;
            const uint32_t shift = position % BITS;
            Limb v = static_cast<Limb>(e[index] >> shift);
            if (shift + W > BITS && index + 1 < eLimbs) {
                v = static_cast<Limb>(v | static_cast<Limb>(e[index + 1] << (BITS - shift)));
            }
            return static_cast<uint32_t>(v & static_cast<Limb>(ENTRIES - 1));
        };
        auto gather = [&](uint32_t value, Limb* __restrict to) {
            Limb masks[ENTRIES];
            for (uint32_t i = 0; i < ENTRIES; ++i) {
                masks[i] = maskOf(ctEqual(i, value));
            }
            // Limb by limb, so the sum over the entries stays in a register.
            for (uint32_t j = 0; j < k; ++j) {
                Limb v = 0;
#pragma GCC unroll 32
                for (uint32_t i = 0; i < ENTRIES; ++i) {
                    v = static_cast<Limb>(v | (table[i][j] & masks[i]));
                }
                to[j] = v;
            }
        };
        const uint32_t bits = eLimbs * BITS;
        uint32_t position = bits - (bits % W == 0 ? W : bits % W);
        gather(windowAt(position), acc);
        while (position != 0) {
            position -= W;
            for (uint32_t s = 0; s < W; ++s) {
                f.square(acc, acc);
            }
            gather(windowAt(position), entry);
            f.mul(acc, acc, entry);
        }
    }

    // out = base^e mod n, all of them secret but n's length.
    static void modExpSecret(const BigNum* base, const BigNum* exponent, const BigNum* n,
                             BigNum* out, ModExpSecretWork<Limb>* work) noexcept {
        Field f;
        setField(&f, n, work->modulusP, work->rrP, work->product, work->factors);
        const uint32_t eLimbs = f.k;
        loadMasked(exponent, work->exponent, eLimbs);
        toMontgomery(f, base, base->length, work->base, work->entry);
        powSecret(f, work->base, work->exponent, eLimbs, work->table, work->entry,
                  work->accumulator);
        std::memset(work->entry, 0, f.k * sizeof(Limb));
        work->entry[0] = 1;
        f.mul(work->accumulator, work->accumulator, work->entry);
        store(work->accumulator, f.k, out);
        secureWipe(work, sizeof *work);
    }

    // Storage of the modular multiplication below.
    struct MulWork {
        Limb mod[ModExpLimbWork<Limb>::MAX_LIMBS];
        Limb rr[ModExpLimbWork<Limb>::MAX_LIMBS];
        Limb a[ModExpLimbWork<Limb>::MAX_LIMBS];
        Limb b[ModExpLimbWork<Limb>::MAX_LIMBS];
        Limb t[ModExpLimbWork<Limb>::MAX_LIMBS + 2];
        Limb factors[ModExpLimbWork<Limb>::MAX_LIMBS];
    };

    // out = R^2 mod n.
    static void radixSquared(const BigNum* n, BigNum* out) noexcept {
        MulWork w;
        Field f;
        setField(&f, n, w.mod, w.rr, w.t, w.factors);
        store(w.rr, f.k, out);
        secureWipe(&w, sizeof w);
    }

    // out = a b / R mod n for a, b < n.
    static void montMul(const BigNum* a, const BigNum* b, const BigNum* n, BigNum* out) noexcept {
        MulWork w;
        Field f;
        setField(&f, n, w.mod, w.rr, w.t, w.factors, false);
        loadMasked(a, w.a, f.k);
        loadMasked(b, w.b, f.k);
        f.mul(w.a, w.a, w.b);
        store(w.a, f.k, out);
        secureWipe(&w, sizeof w);
    }

    // m1 = c^dP mod p in Montgomery form and m2 = c^dQ mod q as modExpCrt
    // wants them, by the IFMA engine when p and q have the same length and
    // the processor has it; false, with nothing done, otherwise. c mod p
    // and c mod q are c R / R, without a division.
    static bool pairIfma(const Field& fp, const Field& fq, const BigNum* c, uint32_t cWords,
                         const BigNum* dP, const BigNum* dQ,
                         ModExpSecretWork<Limb>* work) noexcept {
        if constexpr (sizeof(Limb) != sizeof(uint64_t)) {
            return false;
        } else {
            if (fp.k != fq.k || !bigNumIfmaServes(fp.k)) {
                return false;
            }
            Limb* const one = work->entry;
            std::memset(one, 0, fp.k * sizeof(Limb));
            one[0] = 1;
            Limb* const cP = work->table[0];
            Limb* const cQ = work->table[1];
            Limb* const eP = work->table[2];
            Limb* const eQ = work->table[3];
            toMontgomery(fp, c, cWords, cP, work->base);
            fp.mul(cP, cP, one);
            toMontgomery(fq, c, cWords, cQ, work->base);
            fq.mul(cQ, cQ, one);
            loadMasked(dP, eP, fp.k);
            loadMasked(dQ, eQ, fq.k);
            bigNumModExpPairIfma(cP, eP, fp.mod, fp.rr, cQ, eQ, fq.mod, fq.rr, fp.k, work->m1,
                                 work->m2);
            fp.mul(work->m1, work->m1, fp.rr);
            return true;
        }
    }

    // Garner's recombination, every step under masks: m1 = c^dP mod p and
    // m2 = c^dQ mod q by the engine above, h = (m1 - m2) qInv mod p with
    // the difference corrected by a masked addition of p, and
    // out = m2 + h q by a schoolbook product of fixed length.
    static void modExpCrt(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                          const BigNum* q, const BigNum* qInv, BigNum* out,
                          ModExpSecretWork<Limb>* work, const BigNum* rrP = nullptr,
                          const BigNum* rrQ = nullptr) noexcept {
        Field fq;
        setField(&fq, q, work->modulusQ, work->rrQ, work->product, work->factors, rrQ == nullptr);
        if (rrQ != nullptr) {
            loadMasked(rrQ, work->rrQ, fq.k);
        }
        Field fp;
        setField(&fp, p, work->modulusP, work->rrP, work->product, work->factors, rrP == nullptr);
        if (rrP != nullptr) {
            loadMasked(rrP, work->rrP, fp.k);
        }
        uint32_t cWords = (fp.k + fq.k) * WORDS_PER_LIMB;
        if (cWords > BIGNUM_MAX_WORDS) {
            cWords = BIGNUM_MAX_WORDS;
        }

        if (!pairIfma(fp, fq, c, cWords, dP, dQ, work)) {
            // m2, out of Montgomery form (it is added at the end as it is).
            loadMasked(dQ, work->exponent, fq.k);
            toMontgomery(fq, c, cWords, work->base, work->entry);
            powSecret(fq, work->base, work->exponent, fq.k, work->table, work->entry, work->m2);
            std::memset(work->entry, 0, fq.k * sizeof(Limb));
            work->entry[0] = 1;
            fq.mul(work->m2, work->m2, work->entry);

            // m1 stays in Montgomery form mod p.
            loadMasked(dP, work->exponent, fp.k);
            toMontgomery(fp, c, cWords, work->base, work->entry);
            powSecret(fp, work->base, work->exponent, fp.k, work->table, work->entry, work->m1);
        }

        // m2 mod p in Montgomery form, then h = (m1 - m2) qInv mod p: the
        // Montgomery product of (m1 - m2) R and qInv drops the R.
        BigNum* const m2Value = &work->value;
        // Copied word by word at its full length: normalising would branch
        // on its top words.
        for (uint32_t i = 0; i < fq.k; ++i) {
            for (uint32_t h = 0; h < WORDS_PER_LIMB; ++h) {
                m2Value->words[i * WORDS_PER_LIMB + h] =
                    static_cast<uint32_t>(work->m2[i] >> (32 * h));
            }
        }
        m2Value->length = fq.k * WORDS_PER_LIMB;
        toMontgomery(fp, m2Value, fq.k * WORDS_PER_LIMB, work->base, work->entry);
        fp.sub(work->m1, work->m1, work->base);
        loadMasked(qInv, work->entry, fp.k);
        fp.mul(work->m1, work->m1, work->entry);

        // out = m2 + h q over kp + kq limbs.
        Limb* const wide = work->wide;
        const uint32_t total = fp.k + fq.k;
        std::memset(wide, 0, (total + 1) * sizeof(Limb));
        std::memcpy(wide, work->m2, fq.k * sizeof(Limb));
        for (uint32_t i = 0; i < fp.k; ++i) {
            Wide carry = 0;
            for (uint32_t j = 0; j < fq.k; ++j) {
                carry += static_cast<Wide>(work->m1[i]) * fq.mod[j] + wide[i + j];
                wide[i + j] = static_cast<Limb>(carry);
                carry >>= BITS;
            }
            for (uint32_t j = i + fq.k; j <= total; ++j) {
                carry += wide[j];
                wide[j] = static_cast<Limb>(carry);
                carry >>= BITS;
            }
        }
        store(wide, total, out);
        secureWipe(work, sizeof *work);
    }
};

}  // namespace

uint32_t bigNumWindowWidth(uint32_t exponentWords) noexcept {
    if (exponentWords <= 2) {
        return 1;
    }
    if (exponentWords <= 7) {
        return 4;
    }
    if (exponentWords <= 23) {
        return 5;
    }
    return 6;
}

uint32_t bigNumMontInverse(uint32_t n0) noexcept {
    // Invariant: n0 * inv = 1 mod 2^k. Setting bit k of inv adds n0 * 2^k,
    // which flips bit k of the product (n0 odd) and leaves the bits below.
    uint32_t inv = 1;
    for (uint32_t k = 1; k < 32; ++k) {
        if (((n0 * inv) >> k) & 1u) {
            inv += 1u << k;
        }
    }
    return 0u - inv;
}

void bigNumMontReduce(BigNum* t, const BigNum* n, BigNum* out, uint32_t nPrime) noexcept {
    const uint32_t len = n->length;
    uint32_t* __restrict tw = t->words;
    const uint32_t* __restrict nw = n->words;
    if (t->length <= 2 * len) {
        std::memset(tw + t->length, 0, (2 * len + 1 - t->length) * sizeof(uint32_t));
    }
    t->length = 2 * len + 1;

    for (uint32_t i = 0; i < len; ++i) {
        const uint32_t m = tw[i] * nPrime;
        if (m == 0) {
            continue;
        }
        // m * n[j] + t + carry <= (2^32-1)^2 + 2(2^32-1): fits 64 bits.
        uint32_t* __restrict row = tw + i;
        uint64_t carry = 0;
        for (uint32_t j = 0; j < len; ++j) {
            carry += static_cast<uint64_t>(m) * nw[j] + row[j];
            row[j] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        for (uint32_t k = i + len; carry != 0 && k <= 2 * len; ++k) {
            carry += tw[k];
            tw[k] = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
    }

    // T / R < 2N for T < N R, so one conditional subtraction gives the
    // residue. T is free again and takes the difference.
    std::memcpy(out->words, tw + len, (len + 1) * sizeof(uint32_t));
    out->length = len + 1;
    bigNumNormalise(out);
    if (bigNumSub(out, n, t) == 0) {
        copyValue(out, t);
    }
}

uint32_t bigNumNextWindow(const BigNum* exponent, int32_t* position, uint32_t w, uint32_t* value,
                          uint32_t* zeroRun) noexcept {
    int32_t pos = *position;
    if (pos < 0) {
        return 0;
    }
    const uint32_t* words = exponent->words;
    auto bitAt = [words](int32_t p) {
        const uint32_t index = static_cast<uint32_t>(p);
        return (words[index >> 5] >> (index & 31u)) & 1u;
    };

    if (bitAt(pos) == 0) {
        uint32_t count = 0;
        while (pos >= 0 && bitAt(pos) == 0) {
            ++count;
            --pos;
        }
        *position = pos;
        *value = 0;
        *zeroRun = 1;
        return count;
    }

    uint32_t taken = w;
    if (static_cast<uint32_t>(pos) + 1 < w) {
        taken = static_cast<uint32_t>(pos) + 1;
    }
    uint32_t number = 0;
    for (uint32_t k = 0; k < taken; ++k) {
        number = (number << 1) | bitAt(pos - static_cast<int32_t>(k));
    }
    pos -= static_cast<int32_t>(taken);
    // Trailing zeros of the window are handed back to the scan; the top bit
    // is 1, so this stops.
    while ((number & 1u) == 0) {
        number >>= 1;
        --taken;
        ++pos;
    }
    *position = pos;
    *value = number;
    *zeroRun = 0;
    return taken;
}

void bigNumModExpPlain(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                       ModExpPlainWork* work) noexcept {
    const uint32_t len = n->length;
    const uint32_t w = bigNumWindowWidth(exponent->length);
    const uint32_t entries = 1u << (w - 1);
    const uint32_t nPrime = bigNumMontInverse(n->words[0]);
    BigNum* const table = work->table;
    BigNum* const acc = &work->accumulator;
    BigNum* const scratch = &work->scratch;

    // base * R mod n: L zero words under the base, then one division. A
    // base too long for that (callers never pass one) is reduced first.
    const BigNum* b = base;
    if (base->length + len > BIGNUM_MAX_WORDS) {
        bigNumDiv(base, n, scratch, acc);
        b = acc;
    }
    std::memset(out->words, 0, len * sizeof(uint32_t));
    std::memcpy(out->words + len, b->words, b->length * sizeof(uint32_t));
    out->length = b->length + len;
    bigNumDiv(out, n, scratch, &table[0]);

    if (w > 1) {
        bigNumSquare(&table[0], scratch);
        bigNumMontReduce(scratch, n, out, nPrime);
        for (uint32_t e = 1; e < entries; ++e) {
            bigNumMul(&table[e - 1], out, scratch);
            bigNumMontReduce(scratch, n, &table[e], nPrime);
        }
    }

    const bool started = walkWindows(
        exponent, w, [&](uint32_t entry) { copyValue(acc, &table[entry]); },
        [&] {
            bigNumSquare(acc, scratch);
            bigNumMontReduce(scratch, n, acc, nPrime);
        },
        [&](uint32_t entry) {
            bigNumMul(acc, &table[entry], scratch);
            bigNumMontReduce(scratch, n, acc, nPrime);
        });
    if (!started) {
        setOneModN(n, out);
        secureWipe(work, sizeof *work);
        return;
    }
    secureWipe(table, sizeof work->table);
    bigNumMontReduce(acc, n, out, nPrime);
    secureWipe(work, sizeof *work);
}

void bigNumModExpInterleaved32(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork32* work) noexcept {
    Mont<uint32_t>::modExp(base, exponent, n, out, work);
}

void bigNumModExpShort32(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                         ModExpShortWork<uint32_t>* work) noexcept {
    Mont<uint32_t>::modExpShort(base, exponent, n, out, work);
}

#if defined(__SIZEOF_INT128__)
void bigNumModExpInterleaved64(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork64* work) noexcept {
    Mont<uint64_t>::modExp(base, exponent, n, out, work);
}

void bigNumModExpShort64(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                         ModExpShortWork<uint64_t>* work) noexcept {
    Mont<uint64_t>::modExpShort(base, exponent, n, out, work);
}

MontKernels64 bigNumMontKernels64(uint32_t k, bool fast) noexcept {
    using M = Mont<uint64_t>;
    MontKernels64 kernels;
    M::portableKernels(k, &kernels.square, &kernels.mul);
    if (fast) {
        M::preferFast(k, &kernels.square, &kernels.mul);
    }
    return kernels;
}
#endif

void bigNumModExp(const BigNum* base, const BigNum* exponent, const BigNum* n,
                  BigNum* out) noexcept {
    if (exponent->length == 0) {
        setOneModN(n, out);
        return;
    }
    // Public exponents such as 65537 need no table.
    if (exponent->length <= 2) {
        ModExpShortWork<DefaultLimb> work;
        Mont<DefaultLimb>::modExpShort(base, exponent, n, out, &work);
        return;
    }
    ModExpLimbWork<DefaultLimb> work;
    Mont<DefaultLimb>::modExp(base, exponent, n, out, &work);
}

void bigNumModExpSecret32(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                          ModExpSecretWork32* work) noexcept {
    Mont<uint32_t>::modExpSecret(base, exponent, n, out, work);
}

void bigNumModExpCrt32(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                       const BigNum* q, const BigNum* qInv, BigNum* out,
                       ModExpSecretWork32* work) noexcept {
    Mont<uint32_t>::modExpCrt(c, dP, dQ, p, q, qInv, out, work);
}

#if defined(__SIZEOF_INT128__)
void bigNumModExpSecret64(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                          ModExpSecretWork64* work) noexcept {
    Mont<uint64_t>::modExpSecret(base, exponent, n, out, work);
}

void bigNumModExpCrt64(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                       const BigNum* q, const BigNum* qInv, BigNum* out,
                       ModExpSecretWork64* work) noexcept {
    Mont<uint64_t>::modExpCrt(c, dP, dQ, p, q, qInv, out, work);
}
#endif

void bigNumModExpSecret(const BigNum* base, const BigNum* exponent, const BigNum* n,
                        BigNum* out) noexcept {
    ModExpSecretWork<DefaultLimb> work;
    Mont<DefaultLimb>::modExpSecret(base, exponent, n, out, &work);
}

void bigNumRadixSquared(const BigNum* n, BigNum* out) noexcept {
    Mont<DefaultLimb>::radixSquared(n, out);
}

void bigNumMontMulSecret(const BigNum* a, const BigNum* b, const BigNum* n, BigNum* out) noexcept {
    Mont<DefaultLimb>::montMul(a, b, n, out);
}

void bigNumModExpCrtWithRadix(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                              const BigNum* q, const BigNum* qInv, const BigNum* rrP,
                              const BigNum* rrQ, BigNum* out) noexcept {
    ModExpSecretWork<DefaultLimb> work;
    Mont<DefaultLimb>::modExpCrt(c, dP, dQ, p, q, qInv, out, &work, rrP, rrQ);
}

void bigNumModExpCrt(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                     const BigNum* q, const BigNum* qInv, BigNum* out) noexcept {
    ModExpSecretWork<DefaultLimb> work;
    Mont<DefaultLimb>::modExpCrt(c, dP, dQ, p, q, qInv, out, &work);
}

}  // namespace vc
