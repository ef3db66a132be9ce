// The carry-chain Montgomery kernels against the portable ones and OpenSSL
// on random operands of every limb count up to 64, each count through its
// own kernel and through the loop kernel, with the output over an operand
// as the engines call them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include "bignum/bignum_support.h"
#include "support/openssl_bignum.h"

#if defined(__SIZEOF_INT128__)

namespace {

using namespace vctest;

struct Limbs {
    uint64_t v[64] = {};
};

Limbs limbsOf(const BigNum& x) {
    Limbs l;
    for (uint32_t i = 0; i < x.length; ++i) {
        l.v[i / 2] |= uint64_t{x.words[i]} << (32 * (i % 2));
    }
    return l;
}

BigNum valueOf(const Limbs& l, uint32_t k) {
    BigNum x;
    for (uint32_t i = 0; i < 2 * k; ++i) {
        x.words[i] = static_cast<uint32_t>(l.v[i / 2] >> (32 * (i % 2)));
    }
    x.length = 2 * k;
    while (x.length > 0 && x.words[x.length - 1] == 0) {
        --x.length;
    }
    return x;
}

// a b / 2^(limbBits k) mod n by OpenSSL.
BigNum opensslMontProduct(const BigNum& a, const BigNum& b, const BigNum& n, uint32_t k,
                          uint32_t limbBits = 64) {
    BnCtx ctx(BN_CTX_new());
    Bn r(BN_new());
    BN_set_bit(r.get(), static_cast<int>(limbBits * k));
    Bn rInverse(BN_mod_inverse(nullptr, r.get(), toBn(n).get(), ctx.get()));
    Bn out(BN_new());
    BN_mod_mul(out.get(), toBn(a).get(), toBn(b).get(), toBn(n).get(), ctx.get());
    BN_mod_mul(out.get(), out.get(), rInverse.get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

BigNum reduced(std::mt19937& rng, const BigNum& n, uint32_t words) {
    BnCtx ctx(BN_CTX_new());
    Bn out(BN_new());
    BN_mod(out.get(), toBn(randomNumber(rng, words)).get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

TEST(MontKernels, CarryChainKernelsAgreeWithPortableAndOpenSsl) {
#if VC_MONT_ADX
    if (!vc::montAdxAvailable()) {
        GTEST_SKIP() << "no BMI2/ADX on this processor";
    }
    std::mt19937 rng(20261206);
    for (uint32_t k = 1; k <= 64; ++k) {
        const vc::MontKernels64 portable = vc::bigNumMontKernels64(k, false);
        const vc::MontKernels64 kernels[] = {vc::montAdxKernels(k), vc::montAdxKernels(0)};
        for (int trial = 0; trial < 12; ++trial) {
            // Full-length moduli and ones a word short of the limbs.
            const BigNum n = randomOddModulus(rng, 2 * k - (trial % 3 == 2 ? 1 : 0));
            const BigNum a = trial == 0 ? reduced(rng, n, n.length) : reduced(rng, n, 2 * k);
            const BigNum b = trial == 1 ? a : reduced(rng, n, 2 * k);
            const BigNum wantMul = opensslMontProduct(a, b, n, k);
            const BigNum wantSquare = opensslMontProduct(a, a, n, k);
            const Limbs ln = limbsOf(n);
            const uint64_t nPrime = 0 - [&] {
                uint64_t inv = ln.v[0];  // Newton's iteration from 3 correct bits
                for (int i = 0; i < 5; ++i) {
                    inv *= 2 - ln.v[0] * inv;
                }
                return inv;
            }();
            uint64_t t[66];
            uint64_t m[64];
            Limbs out = limbsOf(a);
            portable.mul(out.v, out.v, limbsOf(b).v, ln.v, nPrime, k, t, m);
            ASSERT_TRUE(sameValue(valueOf(out, k), wantMul)) << "portable, k = " << k;
            for (const vc::MontKernels64& kernel : kernels) {
                out = limbsOf(a);
                const Limbs lb = limbsOf(b);
                kernel.mul(out.v, out.v, lb.v, ln.v, nPrime, k, t, m);
                ASSERT_TRUE(sameValue(valueOf(out, k), wantMul)) << "product, k = " << k;
                out = limbsOf(b);
                kernel.mul(out.v, limbsOf(a).v, out.v, ln.v, nPrime, k, t, m);
                ASSERT_TRUE(sameValue(valueOf(out, k), wantMul)) << "product into b, k = " << k;
                out = limbsOf(a);
                kernel.square(out.v, out.v, ln.v, nPrime, k, t, m);
                ASSERT_TRUE(sameValue(valueOf(out, k), wantSquare)) << "square, k = " << k;
            }
        }
    }
#else
    GTEST_SKIP() << "no carry-chain kernels in this build";
#endif
}

// The vector kernels on 32-bit limbs, each width, against OpenSSL for every
// limb count they serve: random operands, and n = 2^(32 k) - 1 with
// a = b = n - 1, which takes every lane to its bound. The output goes over
// an operand as the engines call them.
TEST(MontKernels, VectorKernels32AgreeWithOpenSsl) {
    std::mt19937 rng(3232);
    int served = 0;
    struct AllowAllAgain {
        ~AllowAllAgain() { vc::bigNumAllowKernels(vc::BIGNUM_KERNELS_ALL); }
    } allowAllAgain;
    for (uint32_t mask : {vc::BIGNUM_KERNEL_VEC32_WIDE, vc::BIGNUM_KERNEL_VEC32}) {
        vc::bigNumAllowKernels(mask);
        for (uint32_t k = 1; k <= 128; ++k) {
            vc::MontKernels32 kernel;
            if (!vc::montVec32Kernels(k, &kernel)) {
                continue;
            }
            ++served;
            for (int trial = 0; trial < 6; ++trial) {
                BigNum n = randomOddModulus(rng, k - (trial % 3 == 2 ? 1 : 0));
                if (trial == 0) {
                    std::fill(n.words, n.words + k, 0xFFFFFFFFu);
                    n.length = k;
                }
                BigNum a = reduced(rng, n, k);
                if (trial == 0) {
                    a = n;
                    a.words[0] -= 1;
                }
                BigNum b = trial < 2 ? a : reduced(rng, n, k);
                // The kernels read k limbs of each: zeros above the value.
                for (BigNum* x : {&n, &a, &b}) {
                    std::fill(x->words + x->length, x->words + k, 0u);
                }
                uint32_t t[130];
                uint32_t m[128];
                BigNum out = a;
                const uint32_t nPrime = vc::bigNumMontInverse(n.words[0]);
                kernel.mul(out.words, out.words, b.words, n.words, nPrime, k, t, m);
                out.length = k;
                vc::bigNumNormalise(&out);
                ASSERT_TRUE(sameValue(out, opensslMontProduct(a, b, n, k, 32))) << k << " limbs";
                out = a;
                kernel.square(out.words, out.words, n.words, nPrime, k, t, m);
                out.length = k;
                vc::bigNumNormalise(&out);
                ASSERT_TRUE(sameValue(out, opensslMontProduct(a, a, n, k, 32))) << k << " limbs";
            }
        }
    }
    if (served == 0) {
        GTEST_SKIP() << "no vector kernels for 32-bit limbs on this processor";
    }
}

// Runs the short-exponent engine on dirty storage: the result must be
// OpenSSL's and the storage all zeros afterwards.
template <typename Limb>
::testing::AssertionResult shortEngineAgrees(void (*engine)(const BigNum*, const BigNum*,
                                                            const BigNum*, BigNum*,
                                                            vc::ModExpShortWork<Limb>*) noexcept,
                                             const BigNum& base, const BigNum& e, const BigNum& n) {
    auto work = std::make_unique<vc::ModExpShortWork<Limb>>();
    std::memset(work.get(), 0x5A, sizeof *work);
    BigNum out;
    engine(&base, &e, &n, &out, work.get());
    const auto* bytes = reinterpret_cast<const uint8_t*>(work.get());
    if (!std::all_of(bytes, bytes + sizeof *work, [](uint8_t b) { return b == 0; })) {
        return ::testing::AssertionFailure() << "work storage not wiped";
    }
    BnCtx ctx(BN_CTX_new());
    Bn want(BN_new());
    BN_mod_exp(want.get(), toBn(base).get(), toBn(e).get(), toBn(n).get(), ctx.get());
    return sameValue(out, fromBn(want.get()));
}

// Public exponents on every modulus length, with bases below n (the edge
// values among them), equal to n and longer than n.
TEST(ShortExponent, AgreesWithOpenSslOnEveryModulusLength) {
    std::mt19937 rng(65537);
    const BigNum exponents[] = {fromWords({1}),
                                fromWords({2}),
                                fromWords({3}),
                                fromWords({65537}),
                                fromWords({0xFFFFFFFF}),
                                fromWords({1, 1}),
                                fromWords({0x80000001, 0x80000000})};
    for (uint32_t len = 1; len <= 128; ++len) {
        const BigNum n = randomOddModulus(rng, len);
        BigNum nMinus1 = n;
        nMinus1.words[0] -= 1;
        const BigNum bases[] = {reduced(rng, n, len),
                                randomNumber(rng, std::min(2 * len, 128u)),
                                fromWords({}),
                                fromWords({1}),
                                nMinus1,
                                n};
        for (const BigNum& e : exponents) {
            for (const BigNum& base : bases) {
                SCOPED_TRACE(testing::Message() << "modulus " << len << " words, exponent "
                                                << textOf(e) << ", base " << textOf(base));
                ASSERT_TRUE(shortEngineAgrees<uint64_t>(vc::bigNumModExpShort64, base, e, n));
                ASSERT_TRUE(shortEngineAgrees<uint32_t>(vc::bigNumModExpShort32, base, e, n));
            }
        }
    }
}

}  // namespace

#endif
