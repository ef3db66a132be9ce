// The variable-time engines, for public exponents and public moduli only
// (RSA encryption and signature checks): the sliding-window engine, the
// table-free one for exponents of one or two words such as 65537, and
// bigNumModExp, which chooses between them. Their branches and table
// addresses follow the exponent's bits, so a secret exponent goes to the
// constant-time engine (modexp_secret_ct.cpp) instead. Never allocates;
// every table, accumulator and intermediate that depends on the base or the
// exponent is wiped before a call returns.
#include <chrono>
#include <cstring>

#include "bignum/modexp_engine.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

// The two variable-time engines on the shared Montgomery arithmetic.
template <typename Limb>
struct PublicEngine : Mont<Limb> {
    using M = Mont<Limb>;
    using M::addLimbs;
    using M::BITS;
    using M::chooseKernels;
    using M::inverse;
    using M::load;
    using M::store;
    using M::WORDS_PER_LIMB;
    using typename M::MulFn;
    using typename M::SquareFn;
    using typename M::Wide;

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

    // The products are the engine's (BigNumEngine), or with
    // BIGNUM_ENGINE_COUNT this processor's preferred ones.
    static Modulus setUp(const BigNum* n, Limb* mod, Limb* t, Limb* factors,
                         uint32_t engine = BIGNUM_ENGINE_COUNT) noexcept {
        const uint32_t k = (n->length + WORDS_PER_LIMB - 1) / WORDS_PER_LIMB;
        load(n, mod, k);
        Modulus m{mod, k, inverse(mod[0]), nullptr, nullptr, t, factors};
        M::engineKernels(engine, k, &m.sq, &m.mu);
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

    // u -= q v over k limbs; answers what that takes from u[k]. The borrow
    // of each limb joins the high half of its product in one carry limb,
    // which cannot overflow: a high half of all ones comes with a low half
    // of 0, which borrows nothing. One carry chain fits 32-bit x86's
    // registers, where two went through the stack, and on 64-bit limbs it
    // takes 4.2 cycles a limb against 5.3 for two (g++ 12, Zen 4); with
    // mulx, adcx and adox the two chains run in the flags, 2.75 cycles.
    static Limb subtractMultiple(Limb* u, const Limb* v, Limb q, uint32_t k,
                                 [[maybe_unused]] bool adx) noexcept {
#if VC_MONT_ADX
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            if (adx) {
                return montSubMulAdx(u, v, q, k);
            }
        }
#endif
        Limb carry = 0;
        for (uint32_t i = 0; i < k; ++i) {
            const Wide p = static_cast<Wide>(q) * v[i] + carry;
            const Limb low = static_cast<Limb>(p);
            const Limb ui = u[i];
            u[i] = static_cast<Limb>(ui - low);
            carry = static_cast<Limb>(static_cast<Limb>(p >> BITS) + (ui < low ? 1 : 0));
        }
        return carry;
    }

    // out = x R 2^extra mod n for x < n and extra < BITS, by long division
    // of x B^k 2^extra by n on whole limbs (k quotient digits, k + 1 with
    // extra bits, each estimated from the top limbs and at most once too
    // large, as in Knuth's algorithm D). The extra bits let an engine whose
    // radix is not a whole number of limbs (the IFMA engines' 52-bit
    // digits) take its own Montgomery form from the one division. w holds
    // 2k + 1 limbs and v k limbs of scratch. The top limb of n is not zero.
    static void shiftedResidue(const Limb* x, const Limb* n, uint32_t k, Limb* out, Limb* w,
                               Limb* v, unsigned extra = 0) noexcept {
        // Normalised so that v's top bit is set; x < n keeps x 2^s in k limbs.
#if VC_MONT_ADX
        const bool adx = montAdxAvailable();
#else
        const bool adx = false;
#endif
        unsigned s = 0;
        for (Limb top = n[k - 1]; (top >> (BITS - 1)) == 0; top = static_cast<Limb>(top << 1)) {
            ++s;
        }
        auto shifted = [s](Limb hi, Limb lo) {
            return s == 0 ? hi : static_cast<Limb>((hi << s) | (lo >> (BITS - s)));
        };
        for (uint32_t i = 0; i < k; ++i) {
            v[i] = shifted(n[i], i == 0 ? 0 : n[i - 1]);
            w[i] = 0;
        }
        // x 2^(s + extra) in w[k..2k]: x 2^s < v, so it takes k + 1 limbs.
        const unsigned total = s + extra;
        const uint32_t offset = total / BITS;
        const unsigned bit = total % BITS;
        auto limbOf = [x, k](uint32_t i, uint32_t back) -> Limb {
            return i >= back && i - back < k ? x[i - back] : 0;
        };
        for (uint32_t i = 0; i <= k; ++i) {
            const Limb high = limbOf(i, offset);
            const Limb low = limbOf(i, offset + 1);
            w[k + i] = bit == 0 ? high : static_cast<Limb>((high << bit) | (low >> (BITS - bit)));
        }
        const Limb top = v[k - 1];
        const Limb next = k >= 2 ? v[k - 2] : 0;
        // Without extra bits the top limb is 0 and the first digit too.
        for (uint32_t j = extra == 0 ? k : k + 1; j-- > 0;) {
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
            // u -= qhat v, and whether it went below 0.
            Limb* const u = w + j;
            const Limb carry = subtractMultiple(u, v, qhat, k, adx);
            const Limb uk = u[k];
            u[k] = static_cast<Limb>(uk - carry);
            const bool below = uk < carry;
            if (below) {
                u[k] = static_cast<Limb>(u[k] + addLimbs(u, u, v, k));
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
    // result itself, so no multiplication by 1 follows. An IFMA engine
    // takes over once the base is in Montgomery form, where it serves.
    static void modExpShort(const BigNum* base, const BigNum* exponent, const BigNum* n,
                            BigNum* out, ModExpShortWork<Limb>* work,
                            uint32_t engine = BIGNUM_ENGINE_COUNT) noexcept {
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
        const Modulus m = setUp(n, work->modulus, work->product, work->factors, engine);
        const uint32_t k = m.k;
        Limb* const acc = work->accumulator;

        const BigNum* b = base;
        if (base->length >= n->length) {
            bigNumDiv(base, n, &work->quotient, out);
            b = out;
        }
        load(b, work->plain, k);
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            const uint64_t e = exponent->words[0] |
                               (exponent->length > 1 ? uint64_t{exponent->words[1]} << 32 : 0);
            if ((engine == BIGNUM_ENGINE_IFMA || engine == BIGNUM_ENGINE_IFMA256) && bits >= 2 &&
                bigNumIfmaServes(k, engine)) {
                shiftedResidue(work->plain, m.n, k, work->base, work->wide, work->normalised,
                               bigNumIfmaExtraBits(k));
                bigNumModExpPublicIfma(work->base, work->plain, e, m.n, k, acc, engine);
                store(acc, k, out);
                secureWipe(work, sizeof *work);
                return;
            }
        }
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

void bigNumModExpInterleaved32(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork32* work) noexcept {
    PublicEngine<uint32_t>::modExp(base, exponent, n, out, work);
}

void bigNumModExpShort32(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                         ModExpShortWork<uint32_t>* work) noexcept {
    PublicEngine<uint32_t>::modExpShort(base, exponent, n, out, work);
}

#if defined(__SIZEOF_INT128__)
void bigNumModExpInterleaved64(const BigNum* base, const BigNum* exponent, const BigNum* n,
                               BigNum* out, ModExpWork64* work) noexcept {
    PublicEngine<uint64_t>::modExp(base, exponent, n, out, work);
}

void bigNumModExpShort64(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                         ModExpShortWork<uint64_t>* work) noexcept {
    PublicEngine<uint64_t>::modExpShort(base, exponent, n, out, work);
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

void bigNumModExpShortOn(uint32_t engine, const BigNum* base, const BigNum* exponent,
                         const BigNum* n, BigNum* out) noexcept {
    ModExpShortWork<DefaultLimb> work;
    PublicEngine<DefaultLimb>::modExpShort(base, exponent, n, out, &work, engine);
}

uint64_t bigNumTimePublic(uint32_t engine, uint32_t words) noexcept {
    // A fixed dummy modulus (odd, top bit set) and base, exponent 65537.
    struct {
        BigNum n, base, out;
        ModExpShortWork<DefaultLimb> work;
    } s;
    uint32_t x = 0x7F4A7C15u;
    for (uint32_t i = 0; i < words; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s.n.words[i] = x;
        s.base.words[i] = x * 0x9E3779B9u;
    }
    s.n.words[0] |= 1;
    s.n.words[words - 1] |= 0x80000000u;
    s.base.words[words - 1] &= 0x7FFFFFFFu;
    s.n.length = words;
    s.base.length = words;
    bigNumNormalise(&s.base);
    BigNum e;
    e.words[0] = 65537;
    e.length = 1;
    const auto start = std::chrono::steady_clock::now();
    PublicEngine<DefaultLimb>::modExpShort(&s.base, &e, &s.n, &s.out, &s.work, engine);
    const auto end = std::chrono::steady_clock::now();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
}

void bigNumModExp(const BigNum* base, const BigNum* exponent, const BigNum* n,
                  BigNum* out) noexcept {
    if (exponent->length == 0) {
        setOneModN(n, out);
        return;
    }
    // Public exponents such as 65537 need no table.
    if (exponent->length <= 2) {
        ModExpShortWork<DefaultLimb> work;
        PublicEngine<DefaultLimb>::modExpShort(base, exponent, n, out, &work,
                                               bigNumPublicEngine(n->length));
        return;
    }
    ModExpLimbWork<DefaultLimb> work;
    PublicEngine<DefaultLimb>::modExp(base, exponent, n, out, &work);
}

}  // namespace vc
