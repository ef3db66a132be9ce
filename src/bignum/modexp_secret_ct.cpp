// The constant-time engine, for secret exponents and secret moduli: RSA
// private operations (directly or through the CRT members), the blinding
// pair and the Montgomery products the blinding takes. No branch and no
// memory address depends on the exponent, the base, the modulus' value or
// any intermediate: only on the modulus' length, which the key size makes
// public anyway. Never allocates; every table, accumulator and intermediate
// is wiped before a call returns.
#include <chrono>
#include <cstring>

#include "bignum/modexp_engine.h"
#include "support/constant_time.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

// The constant-time engine on the shared Montgomery arithmetic, whose
// products and final subtraction already take the same path for any value.
template <typename Limb>
struct SecretEngine : Mont<Limb> {
    using M = Mont<Limb>;
    using M::addLimbs;
    using M::BITS;
    using M::chooseKernels;
    using M::inverse;
    using M::load;
    using M::reduceOnce;
    using M::store;
    using M::subLimbs;
    using M::WORDS_PER_LIMB;
    using typename M::MulFn;
    using typename M::SquareFn;
    using typename M::Wide;

    static Limb maskOf(uint32_t mask32) noexcept {
        return static_cast<Limb>(0 - static_cast<Limb>(mask32 & 1u));
    }

    // x as `limbs` limbs from limb `first` on; the words at and above
    // x->length are masked out rather than skipped, so the normalised
    // length does not show.
    static void loadMasked(const BigNum* x, Limb* out, uint32_t limbs,
                           uint32_t first = 0) noexcept {
        for (uint32_t i = 0; i < limbs; ++i) {
            Limb v = 0;
            for (uint32_t h = 0; h < WORDS_PER_LIMB; ++h) {
                const uint32_t index = (first + i) * WORDS_PER_LIMB + h;
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
            t[k] = addLimbs(t, a, b, k);
            reduceOnce(out, t, mod, k);
        }

        // out = a - b mod n for a, b < n: n is added back under a mask.
        void sub(Limb* out, const Limb* a, const Limb* b) const noexcept {
            const Limb borrow = subLimbs(out, a, b, k);
            addLimbs(out, out, mod, k, static_cast<Limb>(0 - borrow));
        }
    };

    // Loads n and computes R^2 mod n without a division: 2^(b-1), b the bit
    // length of n, is below n; doubling it with a masked subtraction up to
    // 2^(kB + s), where kB = s 2^j with s odd, gives 2^s in Montgomery form,
    // and j Montgomery squarings then give 2^kB = R in Montgomery form,
    // which is R^2 mod n. The number of steps depends on b only. The
    // products are the engine's (BigNumEngine), or with BIGNUM_ENGINE_COUNT
    // this processor's preferred ones.
    static void setField(Field* f, const BigNum* n, Limb* mod, Limb* rr, Limb* t, Limb* factors,
                         bool makeRr = true, uint32_t engine = BIGNUM_ENGINE_COUNT) noexcept {
        const uint32_t k = (n->length + WORDS_PER_LIMB - 1) / WORDS_PER_LIMB;
        load(n, mod, k);
        f->mod = mod;
        f->rr = rr;
        f->t = t;
        f->factors = factors;
        f->k = k;
        f->nPrime = inverse(mod[0]);
        M::engineKernels(engine, k, &f->sq, &f->mu);
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
            loadMasked(x, chunk, f.k, c * f.k);
            f.mul(chunk, chunk, f.rr);
            if (c + 1 == chunks) {
                std::memcpy(out, chunk, f.k * sizeof(Limb));
            } else {
                f.mul(out, out, f.rr);
                f.add(out, out, chunk);
            }
        }
    }

    // A value congruent to x mod n and below R = 2^kB, for x below R^2, as
    // the IFMA engines take their bases: x = hi R + lo, hi R mod n is one
    // Montgomery product with R^2, and lo joins it with one masked
    // subtraction, since hi R mod n + lo < n + R. Converting into and out
    // of Montgomery form would take four products. chunk is scratch.
    static void foldBelowRadix(const Field& f, const BigNum* x, Limb* out, Limb* chunk) noexcept {
        loadMasked(x, chunk, f.k, f.k);
        f.mul(out, chunk, f.rr);
        loadMasked(x, chunk, f.k);
        f.t[f.k] = addLimbs(f.t, out, chunk, f.k);
        reduceOnce(out, f.t, f.mod, f.k);
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

    // The bits of the radix the blinding products use for n: the engine's
    // R, or where the 256-bit IFMA engine serves n's length its own,
    // longer by bigNumIfmaExtraBits, whose product is about three times
    // faster (a 2048-bit one: 0.3 against 1.1 us on Zen 4).
    static uint32_t blindingRadix(const BigNum* n) noexcept {
        const uint32_t k = (n->length + WORDS_PER_LIMB - 1) / WORDS_PER_LIMB;
        uint32_t bits = k * BITS;
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            if (bigNumIfmaServes(k, BIGNUM_ENGINE_IFMA256)) {
                bits += bigNumIfmaExtraBits(k);
            }
        }
        return bits;
    }

    // R^2 mod n for a radix of k BITS + extra bits: the engine's R^2,
    // doubled 2 extra times by masked modular additions.
    static void blindingRadixSquared(const BigNum* n, uint32_t radix, BigNum* out) noexcept {
        MulWork w;
        Field f;
        setField(&f, n, w.mod, w.rr, w.t, w.factors);
        for (uint32_t i = f.k * BITS; i < radix; ++i) {
            f.add(w.rr, w.rr, w.rr);
            f.add(w.rr, w.rr, w.rr);
        }
        store(w.rr, f.k, out);
        secureWipe(&w, sizeof w);
    }

    // out = a b / R mod n for a, b < n and R of `radix` bits: the IFMA
    // product where the radix is its own and the engine serves (it may
    // have been masked off since the values were made in its radix), else
    // the engine's product, halved mod n for each bit the radix is
    // longer, a masked addition of n and a shift each.
    static void blindingMul(const BigNum* a, const BigNum* b, const BigNum* n, uint32_t radix,
                            BigNum* out) noexcept {
        const uint32_t k = (n->length + WORDS_PER_LIMB - 1) / WORDS_PER_LIMB;
        if constexpr (sizeof(Limb) == sizeof(uint64_t)) {
            // The IFMA engines serve up to 32 limbs; this record is a
            // fraction of MulWork's, which is wiped after every product.
            constexpr uint32_t IFMA_LIMBS = 32;
            if (radix != k * BITS && k <= IFMA_LIMBS) {
                struct {
                    Limb a[IFMA_LIMBS];
                    Limb b[IFMA_LIMBS];
                    Limb mod[IFMA_LIMBS];
                } v{};
                load(n, v.mod, k);
                loadMasked(a, v.a, k);
                loadMasked(b, v.b, k);
                const bool done = bigNumMontMulIfma(v.a, v.b, v.mod, k, v.a);
                if (done) {
                    store(v.a, k, out);
                }
                secureWipe(&v, sizeof v);
                if (done) {
                    return;
                }
            }
        }
        MulWork w;
        Field f;
        setField(&f, n, w.mod, w.rr, w.t, w.factors, false);
        loadMasked(a, w.a, f.k);
        loadMasked(b, w.b, f.k);
        f.mul(w.a, w.a, w.b);
        for (uint32_t i = f.k * BITS; i < radix; ++i) {
            const Limb carry =
                addLimbs(w.a, w.a, w.mod, f.k, maskOf(static_cast<uint32_t>(w.a[0])));
            for (uint32_t j = 0; j + 1 < f.k; ++j) {
                w.a[j] = static_cast<Limb>((w.a[j] >> 1) | (w.a[j + 1] << (BITS - 1)));
            }
            w.a[f.k - 1] = static_cast<Limb>((w.a[f.k - 1] >> 1) | (carry << (BITS - 1)));
        }
        store(w.a, f.k, out);
        secureWipe(&w, sizeof w);
    }

    // m1 = c^dP mod p in Montgomery form and m2 = c^dQ mod q as modExpCrt
    // wants them, by an IFMA engine (BIGNUM_ENGINE_IFMA in 512-bit
    // registers, BIGNUM_ENGINE_IFMA256 in 256-bit ones) when p and q have
    // the same length and the processor has it; false, with nothing done,
    // otherwise. c, below n, is folded below each prime's radix without a
    // division; the engines reduce their bases themselves.
    static bool pairIfma(const Field& fp, const Field& fq, const BigNum* c, const BigNum* dP,
                         const BigNum* dQ, ModExpSecretWork<Limb>* work, uint32_t engine) noexcept {
        if constexpr (sizeof(Limb) != sizeof(uint64_t)) {
            return false;
        } else {
            if (fp.k != fq.k || (engine != BIGNUM_ENGINE_IFMA && engine != BIGNUM_ENGINE_IFMA256) ||
                !bigNumIfmaServes(fp.k, engine)) {
                return false;
            }
            Limb* const cP = work->table[0];
            Limb* const cQ = work->table[1];
            Limb* const eP = work->table[2];
            Limb* const eQ = work->table[3];
            foldBelowRadix(fp, c, cP, work->base);
            foldBelowRadix(fq, c, cQ, work->base);
            loadMasked(dP, eP, fp.k);
            loadMasked(dQ, eQ, fq.k);
            bigNumModExpPairIfma(cP, eP, fp.mod, fp.rr, cQ, eQ, fq.mod, fq.rr, fp.k, work->m1,
                                 work->m2, engine);
            fp.mul(work->m1, work->m1, fp.rr);
            return true;
        }
    }

    // Garner's recombination, every step under masks: m1 = c^dP mod p and
    // m2 = c^dQ mod q by the engine above, h = (m1 - m2) qInv mod p with
    // the difference corrected by a masked addition of p, and
    // out = m2 + h q by a schoolbook product of fixed length. engine is a
    // BigNumEngine, or BIGNUM_ENGINE_COUNT for this processor's preferred
    // products and the 512-bit IFMA pair where it serves.
    static void modExpCrt(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                          const BigNum* q, const BigNum* qInv, BigNum* out,
                          ModExpSecretWork<Limb>* work, const BigNum* rrP = nullptr,
                          const BigNum* rrQ = nullptr,
                          uint32_t engine = BIGNUM_ENGINE_COUNT) noexcept {
        Field fq;
        setField(&fq, q, work->modulusQ, work->rrQ, work->product, work->factors, rrQ == nullptr,
                 engine);
        if (rrQ != nullptr) {
            loadMasked(rrQ, work->rrQ, fq.k);
        }
        Field fp;
        setField(&fp, p, work->modulusP, work->rrP, work->product, work->factors, rrP == nullptr,
                 engine);
        if (rrP != nullptr) {
            loadMasked(rrP, work->rrP, fp.k);
        }
        uint32_t cWords = (fp.k + fq.k) * WORDS_PER_LIMB;
        if (cWords > BIGNUM_MAX_WORDS) {
            cWords = BIGNUM_MAX_WORDS;
        }

        if (!pairIfma(fp, fq, c, dP, dQ, work,
                      engine == BIGNUM_ENGINE_COUNT ? BIGNUM_ENGINE_IFMA : engine)) {
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

void bigNumModExpSecret32(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                          ModExpSecretWork32* work) noexcept {
    SecretEngine<uint32_t>::modExpSecret(base, exponent, n, out, work);
}

void bigNumModExpCrt32(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                       const BigNum* q, const BigNum* qInv, BigNum* out,
                       ModExpSecretWork32* work) noexcept {
    SecretEngine<uint32_t>::modExpCrt(c, dP, dQ, p, q, qInv, out, work);
}

#if defined(__SIZEOF_INT128__)
void bigNumModExpSecret64(const BigNum* base, const BigNum* exponent, const BigNum* n, BigNum* out,
                          ModExpSecretWork64* work) noexcept {
    SecretEngine<uint64_t>::modExpSecret(base, exponent, n, out, work);
}

void bigNumModExpCrt64(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                       const BigNum* q, const BigNum* qInv, BigNum* out,
                       ModExpSecretWork64* work) noexcept {
    SecretEngine<uint64_t>::modExpCrt(c, dP, dQ, p, q, qInv, out, work);
}
#endif

void bigNumModExpSecret(const BigNum* base, const BigNum* exponent, const BigNum* n,
                        BigNum* out) noexcept {
    ModExpSecretWork<DefaultLimb> work;
    SecretEngine<DefaultLimb>::modExpSecret(base, exponent, n, out, &work);
}

void bigNumRadixSquared(const BigNum* n, BigNum* out) noexcept {
    SecretEngine<DefaultLimb>::radixSquared(n, out);
}

uint32_t bigNumBlindingRadix(const BigNum* n) noexcept {
    return SecretEngine<DefaultLimb>::blindingRadix(n);
}

void bigNumBlindingRadixSquared(const BigNum* n, uint32_t radix, BigNum* out) noexcept {
    SecretEngine<DefaultLimb>::blindingRadixSquared(n, radix, out);
}

void bigNumBlindingMul(const BigNum* a, const BigNum* b, const BigNum* n, uint32_t radix,
                       BigNum* out) noexcept {
    SecretEngine<DefaultLimb>::blindingMul(a, b, n, radix, out);
}

namespace {

// One CRT exponentiation on the engine's limb width, its work storage in
// this frame only.
template <typename Limb>
__attribute__((noinline)) void crtOn(uint32_t engine, const BigNum* c, const BigNum* dP,
                                     const BigNum* dQ, const BigNum* p, const BigNum* q,
                                     const BigNum* qInv, const BigNum* rrP, const BigNum* rrQ,
                                     BigNum* out) noexcept {
    ModExpSecretWork<Limb> work;
    SecretEngine<Limb>::modExpCrt(c, dP, dQ, p, q, qInv, out, &work, rrP, rrQ, engine);
}

}  // namespace

void bigNumModExpCrtOn(uint32_t engine, const BigNum* c, const BigNum* dP, const BigNum* dQ,
                       const BigNum* p, const BigNum* q, const BigNum* qInv, const BigNum* rrP,
                       const BigNum* rrQ, BigNum* out) noexcept {
#if defined(__SIZEOF_INT128__)
    if (engine != BIGNUM_ENGINE_VEC32 && engine != BIGNUM_ENGINE_VEC32_WIDE) {
        crtOn<uint64_t>(engine, c, dP, dQ, p, q, qInv, rrP, rrQ, out);
        return;
    }
    // The given radix squares are for 64-bit limbs: with an odd number of
    // words R is another power of two on 32-bit limbs.
    if (((p->length | q->length) & 1u) != 0) {
        rrP = nullptr;
        rrQ = nullptr;
    }
#endif
    crtOn<uint32_t>(engine, c, dP, dQ, p, q, qInv, rrP, rrQ, out);
}

void bigNumModExpCrtWithRadix(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                              const BigNum* q, const BigNum* qInv, const BigNum* rrP,
                              const BigNum* rrQ, BigNum* out) noexcept {
    bigNumModExpCrtOn(bigNumPrivateEngine(p->length), c, dP, dQ, p, q, qInv, rrP, rrQ, out);
}

void bigNumModExpCrt(const BigNum* c, const BigNum* dP, const BigNum* dQ, const BigNum* p,
                     const BigNum* q, const BigNum* qInv, BigNum* out) noexcept {
    bigNumModExpCrtOn(bigNumPrivateEngine(p->length), c, dP, dQ, p, q, qInv, nullptr, nullptr, out);
}

uint64_t bigNumTimeEngine(uint32_t engine, uint32_t words, bool publicOp) noexcept {
    if (publicOp) {
        return bigNumTimePublic(engine, words);
    }
    // Fixed dummy operands of the length: odd moduli with the top bit set,
    // full-length exponents, a base below p. Nothing of a key is involved.
    struct {
        BigNum p, q, dP, dQ, qInv, c, out;
    } s;
    BigNum* const all[] = {&s.p, &s.q, &s.dP, &s.dQ, &s.qInv, &s.c};
    uint32_t x = 0x9E3779B9u;
    for (BigNum* v : all) {
        for (uint32_t i = 0; i < words; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            v->words[i] = x;
        }
        v->length = words;
    }
    s.p.words[0] |= 1;
    s.q.words[0] |= 1;
    s.p.words[words - 1] |= 0x80000000u;
    s.q.words[words - 1] |= 0x80000000u;
    s.c.words[words - 1] &= 0x7FFFFFFFu;
    s.qInv.words[words - 1] &= 0x7FFFFFFFu;
    for (BigNum* v : all) {
        bigNumNormalise(v);
    }
    const auto start = std::chrono::steady_clock::now();
    bigNumModExpCrtOn(engine, &s.c, &s.dP, &s.dQ, &s.p, &s.q, &s.qInv, nullptr, nullptr, &s.out);
    const auto end = std::chrono::steady_clock::now();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
}

}  // namespace vc
