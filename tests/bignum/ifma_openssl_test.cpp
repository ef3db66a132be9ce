// The AVX-512 IFMA pair engine against OpenSSL and the portable 64-bit
// secret engine, on random operands of every size it serves and at the
// edges; skipped on processors without IFMA.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bignum/bignum_support.h"
#include "support/openssl_bignum.h"

namespace {

using namespace vctest;
using Limbs = std::vector<uint64_t>;

Limbs limbsOf(const BigNum& x, uint32_t k) {
    Limbs out(k, 0);
    for (uint32_t i = 0; i < x.length && i < 2 * k; ++i) {
        out[i / 2] |= uint64_t{x.words[i]} << (32 * (i % 2));
    }
    return out;
}

BigNum valueOf(const Limbs& x) {
    BigNum out = fromWords({});
    for (uint32_t i = 0; i < x.size(); ++i) {
        out.words[2 * i] = static_cast<uint32_t>(x[i]);
        out.words[2 * i + 1] = static_cast<uint32_t>(x[i] >> 32);
    }
    out.length = static_cast<uint32_t>(2 * x.size());
    vc::bigNumNormalise(&out);
    return out;
}

// An odd modulus of 64 k - clear bits.
BigNum modulusOf(std::mt19937& rng, uint32_t k, uint32_t clear) {
    BigNum n = randomOddModulus(rng, 2 * k);
    n.words[2 * k - 1] = (n.words[2 * k - 1] >> clear) | (0x80000000u >> clear);
    return n;
}

BigNum opensslModExp(const BigNum& base, const BigNum& exponent, const BigNum& n) {
    Bn out(BN_new());
    BnCtx ctx(BN_CTX_new());
    BN_mod_exp(out.get(), toBn(base).get(), toBn(exponent).get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

struct Half {
    BigNum base, exponent, mod;
};

// Both halves through the pair, each checked against OpenSSL and the
// portable engine.
void checkPair(const Half& p, const Half& q, uint32_t k) {
    BigNum rrP;
    BigNum rrQ;
    vc::bigNumRadixSquared(&p.mod, &rrP);
    vc::bigNumRadixSquared(&q.mod, &rrQ);
    Limbs outP(k, 0x5A5A);
    Limbs outQ(k, 0xA5A5);
    ASSERT_TRUE(vc::bigNumModExpPairIfma(
        limbsOf(p.base, k).data(), limbsOf(p.exponent, k).data(), limbsOf(p.mod, k).data(),
        limbsOf(rrP, k).data(), limbsOf(q.base, k).data(), limbsOf(q.exponent, k).data(),
        limbsOf(q.mod, k).data(), limbsOf(rrQ, k).data(), k, outP.data(), outQ.data()));
    const Half* halves[] = {&p, &q};
    const Limbs* outs[] = {&outP, &outQ};
    for (int h = 0; h < 2; ++h) {
        const Half& x = *halves[h];
        SCOPED_TRACE("half " + std::to_string(h) + ", modulus " + textOf(x.mod) + ", base " +
                     textOf(x.base) + ", exponent " + textOf(x.exponent));
        const BigNum got = valueOf(*outs[h]);
        EXPECT_TRUE(sameValue(got, opensslModExp(x.base, x.exponent, x.mod)));
        BigNum portable;
        vc::bigNumModExpSecret(&x.base, &x.exponent, &x.mod, &portable);
        EXPECT_TRUE(sameValue(got, portable));
    }
}

class IfmaPair : public ::testing::TestWithParam<uint32_t> {
    void SetUp() override {
        if (!vc::bigNumIfmaServes(GetParam())) {
            GTEST_SKIP() << "no AVX-512 IFMA on this processor";
        }
    }
};

// Moduli with the top bit set and with up to 5 top bits clear, p and q of
// different lengths, bases below their moduli, exponents of any length.
TEST_P(IfmaPair, AgreesWithOpenSslAndThePortableEngine) {
    const uint32_t k = GetParam();
    std::mt19937 rng(k * 7919);
    for (int i = 0; i < 96 / static_cast<int>(k) + 4; ++i) {
        Half h[2];
        for (Half& x : h) {
            x.mod = modulusOf(rng, k, rng() % 3 == 0 ? 0 : rng() % 6);
            Bn reduced(BN_new());
            BnCtx ctx(BN_CTX_new());
            BN_nnmod(reduced.get(), toBn(randomNumber(rng, 1 + rng() % (2 * k))).get(),
                     toBn(x.mod).get(), ctx.get());
            x.base = fromBn(reduced.get());
            x.exponent = randomNumber(rng, 1 + rng() % (2 * k));
        }
        checkPair(h[0], h[1], k);
    }
}

// Bases 0, 1 and m - 1 with exponents 0, 1 and all ones, each against a
// random other half.
TEST_P(IfmaPair, EdgeValues) {
    const uint32_t k = GetParam();
    std::mt19937 rng(k);
    const BigNum n = modulusOf(rng, k, 0);
    BigNum nMinusOne = n;
    nMinusOne.words[0] -= 1;
    BigNum ones = fromWords({});
    ones.length = 2 * k;
    std::fill(ones.words, ones.words + 2 * k, 0xFFFFFFFFu);
    const Half other{fromWords({3}), randomNumber(rng, 2 * k), modulusOf(rng, k, 1)};
    for (const BigNum& base : {fromWords({}), fromWords({1}), nMinusOne}) {
        for (const BigNum& exponent : {fromWords({}), fromWords({1}), ones}) {
            checkPair({base, exponent, n}, other, k);
            checkPair(other, {base, exponent, n}, k);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Limbs, IfmaPair, ::testing::Values(8u, 16u, 24u, 32u));

// The CRT exponentiation, which takes the pair where it serves, on the
// committed keys with random and edge inputs.
TEST(IfmaCrt, AgreesWithOpenSslOnTheTestKeys) {
    if (!vc::bigNumIfmaAvailable()) {
        GTEST_SKIP() << "no AVX-512 IFMA on this processor";
    }
    for (int bits : {1016, 1023, 1024, 2048, 4096}) {
        const vc::RsaPrivateKey& key = testKey(bits).key;
        BigNum nMinusOne = key.n;
        nMinusOne.words[0] -= 1;
        std::vector<BigNum> inputs = {fromWords({}), fromWords({1}), nMinusOne};
        for (int i = 0; i < 6; ++i) {
            Bn c(BN_new());
            BN_rand_range(c.get(), toBn(key.n).get());
            inputs.push_back(fromBn(c.get()));
        }
        for (const BigNum& c : inputs) {
            BigNum out;
            vc::bigNumModExpCrt(&c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &out);
            EXPECT_TRUE(sameValue(out, opensslModExp(c, key.d, key.n)))
                << bits << " bits, c = " << textOf(c);
        }
    }
}

}  // namespace
