// The exponentiation engines and the processor kernels behind them against
// OpenSSL: one harness runs every Montgomery product kernel on every limb
// count it serves; the constant-time engines run the sizes of
// secret_modexp.vec and the edge operands once per choice of kernels; the
// short-exponent engines run every modulus length and the AVX-512 IFMA pair
// engine every size it serves, in both register widths. Every engine the
// processor has runs the private and public operations of the test keys,
// and the choice among them is checked. Each engine's work storage starts
// dirty and must be zero afterwards.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "bignum/bignum_support.h"
#include "bignum/mont_kernels.h"
#include "support/openssl_bignum.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// Random operands below a modulus of k limbs (a word short of them every
// third trial), a = b, and n = 2^(limb bits k) - 1 with a = b = n - 1, which
// takes every lane and carry to its bound. The output goes over either
// operand, as the engines call the kernels.
template <typename Limb, typename Kernels>
void checkKernels(const std::vector<Kernels>& kernels, uint32_t k, int trials, std::mt19937& rng) {
    constexpr uint32_t per = sizeof(Limb) / 4;
    for (int trial = 0; trial < trials; ++trial) {
        const BigNum n = trial == 0 ? wordsOf("FFFFFFFF*" + std::to_string(per * k))
                                    : randomOddModulus(rng, per * k - (trial % 3 == 2 ? 1 : 0));
        const BigNum a = trial == 0 ? minusOne(n) : reducedMod(rng, n, per * k);
        const BigNum b = trial < 2 ? a : reducedMod(rng, n, per * k);
        SCOPED_TRACE(testing::Message() << k << " limbs, trial " << trial);
        const std::vector<Limb> ln = limbsOf<Limb>(n, k), la = limbsOf<Limb>(a, k),
                                lb = limbsOf<Limb>(b, k);
        Limb inverse = ln[0];  // Newton's iteration from 3 correct bits
        for (int i = 0; i < 5; ++i) {
            inverse *= Limb{2} - ln[0] * inverse;
        }
        const Limb nPrime = Limb{0} - inverse;
        const BigNum product = opensslMontProduct(a, b, n, 32 * per * k);
        const BigNum square = opensslMontProduct(a, a, n, 32 * per * k);
        for (size_t i = 0; i < kernels.size(); ++i) {
            std::vector<Limb> t(k + 2), m(k), out = la;
            kernels[i].mul(out.data(), out.data(), lb.data(), ln.data(), nPrime, k, t.data(),
                           m.data());
            ASSERT_TRUE(sameValue(valueOf(out), product)) << "product, kernel " << i;
            out = lb;
            kernels[i].mul(out.data(), la.data(), out.data(), ln.data(), nPrime, k, t.data(),
                           m.data());
            ASSERT_TRUE(sameValue(valueOf(out), product)) << "product into b, kernel " << i;
            out = la;
            kernels[i].square(out.data(), out.data(), ln.data(), nPrime, k, t.data(), m.data());
            ASSERT_TRUE(sameValue(valueOf(out), square)) << "square, kernel " << i;
        }
    }
}

#if VC_MONT_ADX
// The long division's step u -= q v on k limbs against 128-bit arithmetic:
// random limbs, then q and v all ones over u = 0, the largest amount taken.
__extension__ using U128 = unsigned __int128;
void checkSubtractMultiple(uint32_t k, std::mt19937_64& rng) {
    for (int trial = 0; trial < 8; ++trial) {
        const bool extreme = trial == 0;
        std::vector<uint64_t> u(k), v(k);
        for (uint32_t i = 0; i < k; ++i) {
            u[i] = extreme ? 0 : rng();
            v[i] = extreme ? ~uint64_t{0} : rng();
        }
        const uint64_t q = extreme || trial == 1 ? ~uint64_t{0} : rng();
        std::vector<uint64_t> want = u;
        uint64_t carry = 0;
        for (uint32_t i = 0; i < k; ++i) {
            const U128 p = static_cast<U128>(q) * v[i] + carry;
            const uint64_t low = static_cast<uint64_t>(p);
            carry = static_cast<uint64_t>(p >> 64) + (want[i] < low ? 1 : 0);
            want[i] -= low;
        }
        EXPECT_EQ(vc::montSubMulAdx(u.data(), v.data(), q, k), carry) << k << " limbs";
        EXPECT_EQ(u, want) << k << " limbs";
    }
}
#endif

enum KernelFamily { LIMBS_64, VECTOR_32_WIDE, VECTOR_32 };

class MontKernels : public testing::TestWithParam<KernelFamily> {};

INSTANTIATE_TEST_SUITE_P(Families, MontKernels,
                         testing::Values(LIMBS_64, VECTOR_32_WIDE, VECTOR_32));

// On 64-bit limbs, for every count up to 64, the portable kernels and,
// where the processor has them, the carry-chain ones and their loop, all on
// the same operands, and the carry-chain division step; on 32-bit limbs the vector kernels, each
// width, for every count they serve.
TEST_P(MontKernels, AgreeWithOpenSslOnEveryLimbCountServed) {
    std::mt19937 rng(20261206 + GetParam());
    int served = 0;
    for (uint32_t k = 1; k <= 128; ++k) {
        if (GetParam() != LIMBS_64) {
            const KernelChoice choice(GetParam() == VECTOR_32_WIDE ? vc::BIGNUM_KERNEL_VEC32_WIDE
                                                                   : vc::BIGNUM_KERNEL_VEC32);
            vc::MontKernels32 kernels;
            if (vc::montVec32Kernels(k, &kernels)) {
                ++served;
                checkKernels<uint32_t>(std::vector{kernels}, k, 6, rng);
            }
        }
#if VC_MONT_ADX
        if (GetParam() == LIMBS_64 && k <= 64) {
            ++served;
            std::vector kernels = {vc::bigNumMontKernels64(k, false)};
            if (vc::montAdxAvailable()) {
                kernels.push_back(vc::montAdxKernels(k));
                kernels.push_back(vc::montAdxKernels(0));
                std::mt19937_64 limbs(k);
                checkSubtractMultiple(k, limbs);
            }
            checkKernels<uint64_t>(kernels, k, 12, rng);
        }
#endif
    }
    if (served == 0) {
        GTEST_SKIP() << "no such kernels in this build or on this processor";
    }
}

// ---- Engines ----

// The CRT forms on a key: the entry point with and without the radix
// squares given, the constant-time engine on d, and each limb width.
void checkCrt(const vc::RsaPrivateKey& key, const BigNum& c) {
    SCOPED_TRACE("c = " + textOf(c));
    const BigNum want = opensslModExp(c, key.d, key.n);
    BigNum out;
    vc::bigNumModExpCrt(&c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpCrt";
    BigNum rrP, rrQ;
    vc::bigNumRadixSquared(&key.p, &rrP);
    vc::bigNumRadixSquared(&key.q, &rrQ);
    vc::bigNumModExpCrtWithRadix(&c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &rrP, &rrQ, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpCrtWithRadix";
    vc::bigNumModExpSecret(&c, &key.d, &key.n, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpSecret with d";
    EXPECT_TRUE(onDirtyWork<vc::ModExpSecretWork32>("32-bit limbs", want, vc::bigNumModExpCrt32, &c,
                                                    &key.dP, &key.dQ, &key.p, &key.q, &key.qInv));
#if defined(__SIZEOF_INT128__)
    EXPECT_TRUE(onDirtyWork<vc::ModExpSecretWork64>("64-bit limbs", want, vc::bigNumModExpCrt64, &c,
                                                    &key.dP, &key.dQ, &key.p, &key.q, &key.qInv));
#endif
}

// Once with every kernel this processor has, once with the carry-chain
// products and the AVX2 products on 32-bit limbs only, and once on the
// portable kernels alone, so each path is checked wherever the tests run.
class SecretModExpKernels : public testing::TestWithParam<uint32_t> {};

constexpr uint32_t SECRET_TABLE = CONSTANT_TIME | INTERLEAVED_32;

INSTANTIATE_TEST_SUITE_P(Kernels, SecretModExpKernels,
                         testing::Values(vc::BIGNUM_KERNELS_ALL,
                                         vc::BIGNUM_KERNEL_ADX | vc::BIGNUM_KERNEL_VEC32, 0u));

// The modulus rows of secret_modexp.vec: bases below n of any length and
// exponents below 2^(32 words) with their top word in use, through every
// constant-time engine and the interleaved one on 32-bit limbs. The key
// rows: the CRT forms on random inputs below n, and with every kernel also
// on 0, 1, 2 and n - 1. Then bases 0, 1, n - 1 with exponents 0, 1 and all
// ones.
TEST_P(SecretModExpKernels, AgreeWithOpenSsl) {
    const KernelChoice choice(GetParam());
    std::mt19937 rng(20261206);
    for (const auto& row : readVec("secret_modexp.vec", "", 15)) {
        const auto size = static_cast<uint32_t>(std::stoul(row.fields[1]));
        const vc::RsaPrivateKey* key = row.fields[0] == "key" ? &testKey(int(size)).key : nullptr;
        if (key != nullptr && GetParam() == vc::BIGNUM_KERNELS_ALL) {
            for (const BigNum& c :
                 {fromWords({}), fromWords({1}), fromWords({2}), minusOne(key->n)}) {
                checkCrt(*key, c);
            }
        }
        for (int i = 0; i < std::stoi(row.fields[2]); ++i) {
            SCOPED_TRACE(row.text + ", case " + std::to_string(i));
            if (key != nullptr) {
                checkCrt(*key, reducedMod(rng, key->n, key->n.length));
                continue;
            }
            const BigNum n = randomOddModulus(rng, size);
            const BigNum base = reducedMod(rng, n, 1 + rng() % size);
            const BigNum exponent = randomNumber(rng, size);
            EXPECT_TRUE(
                allEngines(base, exponent, n, opensslModExp(base, exponent, n), SECRET_TABLE));
        }
    }
    for (uint32_t words : {1u, 2u, 3u, 16u, 17u}) {
        const BigNum n = randomOddModulus(rng, words);
        for (const BigNum& base : {fromWords({}), fromWords({1}), minusOne(n)}) {
            for (const BigNum& e :
                 {fromWords({}), fromWords({1}), wordsOf("FFFFFFFF*" + std::to_string(words))}) {
                EXPECT_TRUE(allEngines(base, e, n, opensslModExp(base, e, n), SECRET_TABLE))
                    << words;
            }
        }
    }
}

// Public exponents on every modulus length, with bases below n (the edge
// values among them), equal to n and longer than n.
TEST(ShortExponent, AgreesWithOpenSslOnEveryModulusLength) {
    std::mt19937 rng(65537);
    for (uint32_t len = 1; len <= 128; ++len) {
        const BigNum n = randomOddModulus(rng, len);
        const BigNum bases[] = {reducedMod(rng, n, len),
                                randomNumber(rng, std::min(2 * len, 128u)),
                                fromWords({}),
                                fromWords({1}),
                                minusOne(n),
                                n};
        for (const char* exponent :
             {"1", "2", "3", "10001", "FFFFFFFF", "1:1", "80000000:80000001"}) {
            const BigNum e = wordsOf(exponent);
            for (const BigNum& base : bases) {
                ASSERT_TRUE(allEngines(base, e, n, opensslModExp(base, e, n), SHORT_EXPONENT))
                    << "modulus " << len << " words, exponent " << textOf(e) << ", base "
                    << textOf(base);
            }
        }
    }
}

// ---- The AVX-512 IFMA pair engine ----

struct Half {
    BigNum base, exponent, mod;
};

// An odd modulus of 64 k - clear bits.
BigNum modulusOf(std::mt19937& rng, uint32_t k, uint32_t clear) {
    BigNum n = randomOddModulus(rng, 2 * k);
    n.words[2 * k - 1] = (n.words[2 * k - 1] >> clear) | (0x80000000u >> clear);
    return n;
}

// Both halves through the pair, each against OpenSSL and the portable
// constant-time engine.
void checkPair(const Half& p, const Half& q, uint32_t k, uint32_t engine) {
    BigNum rrP, rrQ;
    vc::bigNumRadixSquared(&p.mod, &rrP);
    vc::bigNumRadixSquared(&q.mod, &rrQ);
    std::vector<uint64_t> outs[2] = {std::vector<uint64_t>(k, 0x5A5A),
                                     std::vector<uint64_t>(k, 0xA5A5)};
    const auto l = [k](const BigNum& x) { return limbsOf<uint64_t>(x, k); };
    ASSERT_TRUE(vc::bigNumModExpPairIfma(l(p.base).data(), l(p.exponent).data(), l(p.mod).data(),
                                         l(rrP).data(), l(q.base).data(), l(q.exponent).data(),
                                         l(q.mod).data(), l(rrQ).data(), k, outs[0].data(),
                                         outs[1].data(), engine));
    for (int h = 0; h < 2; ++h) {
        const Half& x = h == 0 ? p : q;
        SCOPED_TRACE("half " + std::to_string(h) + ", modulus " + textOf(x.mod) + ", base " +
                     textOf(x.base) + ", exponent " + textOf(x.exponent));
        EXPECT_TRUE(sameValue(valueOf(outs[h]), opensslModExp(x.base, x.exponent, x.mod)));
        BigNum portable;
        vc::bigNumModExpSecret(&x.base, &x.exponent, &x.mod, &portable);
        EXPECT_TRUE(sameValue(valueOf(outs[h]), portable));
    }
}

// Limbs and register width (BIGNUM_ENGINE_IFMA or BIGNUM_ENGINE_IFMA256).
class IfmaPair : public testing::TestWithParam<std::tuple<uint32_t, uint32_t>> {
    void SetUp() override {
        if (!vc::bigNumIfmaServes(std::get<0>(GetParam()), std::get<1>(GetParam()))) {
            GTEST_SKIP() << "no AVX-512 IFMA on this processor";
        }
    }
};

INSTANTIATE_TEST_SUITE_P(LimbsAndWidth, IfmaPair,
                         testing::Combine(testing::Values(8u, 16u, 24u, 32u),
                                          testing::Values(vc::BIGNUM_ENGINE_IFMA,
                                                          vc::BIGNUM_ENGINE_IFMA256)));

// Bases 0, 1, m - 1 and all ones (at or above m, which the engine
// reduces) with exponents 0, 1 and all ones, each against a random other
// half, on a random modulus and on the one of all ones, whose products are
// full of digits 2^52 - 1 that a carry has to pass; then moduli with the
// top bit set and with up to 5 top bits clear, p and q of different
// lengths, bases below their moduli or of the full width, exponents of any
// length.
TEST_P(IfmaPair, AgreesWithOpenSslAndThePortableEngine) {
    const auto [k, engine] = GetParam();
    std::mt19937 rng(k * 7919);
    const BigNum ones = wordsOf("FFFFFFFF*" + std::to_string(2 * k));
    const Half other{fromWords({3}), randomNumber(rng, 2 * k), modulusOf(rng, k, 1)};
    for (const BigNum& n : {modulusOf(rng, k, 0), ones}) {
        for (const BigNum& base : {fromWords({}), fromWords({1}), minusOne(n), ones}) {
            for (const BigNum& exponent : {fromWords({}), fromWords({1}), ones}) {
                checkPair({base, exponent, n}, other, k, engine);
                checkPair(other, {base, exponent, n}, k, engine);
            }
        }
    }
    for (int i = 0; i < 96 / static_cast<int>(k) + 4; ++i) {
        Half h[2];
        for (Half& x : h) {
            x.mod = modulusOf(rng, k, rng() % 3 == 0 ? 0 : rng() % 6);
            x.base = rng() % 2 == 0 ? reducedMod(rng, x.mod, 1 + rng() % (2 * k))
                                    : randomNumber(rng, 2 * k);
            x.exponent = randomNumber(rng, 1 + rng() % (2 * k));
        }
        checkPair(h[0], h[1], k, engine);
    }
}

// ---- Every engine, and the choice among them ----

// The mask bit of each engine; the portable one has none.
constexpr uint32_t ENGINE_BIT[vc::BIGNUM_ENGINE_COUNT] = {0,
                                                          vc::BIGNUM_KERNEL_ADX,
                                                          vc::BIGNUM_KERNEL_VEC32,
                                                          vc::BIGNUM_KERNEL_VEC32_WIDE,
                                                          vc::BIGNUM_KERNEL_IFMA,
                                                          vc::BIGNUM_KERNEL_IFMA256};

// Every engine this processor has, whichever the choice would be here: on
// the test keys' CRT members (with and without the radix squares given)
// and on public exponents modulo their n, with the inputs 0, 1, n - 1 and
// a random one; then public exponents modulo random moduli of the lengths
// around those the IFMA engines serve, with up to 5 top bits clear.
TEST(Engines, EveryUsableEngineAgreesWithOpenSsl) {
    std::mt19937 rng(2024);
    const char* const exponents[] = {"2", "3", "10001", "FFFFFFFF", "80000000:80000001"};
    int run = 0;
    for (const int bits : {512, 1016, 1023, 1024, 2048, 4096}) {
        const vc::RsaPrivateKey& key = testKey(bits).key;
        BigNum rrP, rrQ;
        vc::bigNumRadixSquared(&key.p, &rrP);
        vc::bigNumRadixSquared(&key.q, &rrQ);
        for (const BigNum& c : {fromWords({}), fromWords({1}), minusOne(key.n),
                                reducedMod(rng, key.n, key.n.length)}) {
            const BigNum want = opensslModExp(c, key.d, key.n);
            for (uint32_t e = 0; e < vc::BIGNUM_ENGINE_COUNT; ++e) {
                SCOPED_TRACE(testing::Message() << bits << " bits, " << vc::bigNumEngineName(e)
                                                << ", c = " << textOf(c));
                BigNum out;
                if (vc::bigNumEngineUsable(e, key.p.length)) {
                    ++run;
                    vc::bigNumModExpCrtOn(e, &c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv,
                                          nullptr, nullptr, &out);
                    EXPECT_TRUE(sameValue(out, want));
                    vc::bigNumModExpCrtOn(e, &c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &rrP,
                                          &rrQ, &out);
                    EXPECT_TRUE(sameValue(out, want)) << "radix squares given";
                }
                if (vc::bigNumEngineUsable(e, key.n.length, true)) {
                    for (const char* exponent : exponents) {
                        const BigNum x = wordsOf(exponent);
                        vc::bigNumModExpShortOn(e, &c, &x, &key.n, &out);
                        EXPECT_TRUE(sameValue(out, opensslModExp(c, x, key.n))) << exponent;
                    }
                }
            }
        }
    }
    for (uint32_t words : {15u, 16u, 17u, 31u, 32u, 47u, 48u, 63u, 64u}) {
        for (int trial = 0; trial < 4; ++trial) {
            const uint32_t clear = trial == 0 ? 0 : 2 * trial - 1;  // top bits clear
            BigNum n = randomOddModulus(rng, words);
            n.words[words - 1] = (n.words[words - 1] >> clear) | (0x80000000u >> clear);
            const BigNum base = trial == 0 ? minusOne(n) : reducedMod(rng, n, words);
            for (uint32_t e = 0; e < vc::BIGNUM_ENGINE_COUNT; ++e) {
                if (!vc::bigNumEngineUsable(e, words, true)) {
                    continue;
                }
                ++run;
                for (const char* exponent : exponents) {
                    const BigNum x = wordsOf(exponent);
                    BigNum out;
                    vc::bigNumModExpShortOn(e, &base, &x, &n, &out);
                    EXPECT_TRUE(sameValue(out, opensslModExp(base, x, n)))
                        << vc::bigNumEngineName(e) << ", modulus " << textOf(n) << ", exponent "
                        << exponent;
                }
            }
        }
    }
    EXPECT_GT(run, 0);
}

// The choice: an engine that is usable, timed and not slower than any
// other timed one (the portable one always timed, others only if usable),
// the same on every later call; under a narrowed mask
// only the portable engine or an allowed one, and with every processor
// kernel masked off the portable one. Nothing about how fast each is.
TEST(Engines, ChoiceIsUsableFastestMeasuredAndStable) {
    for (const bool publicOp : {false, true}) {
        const auto choose = [publicOp](uint32_t words, vc::BigNumEngineTimes* times = nullptr) {
            return publicOp ? vc::bigNumPublicEngine(words, times)
                            : vc::bigNumPrivateEngine(words, times);
        };
        for (const uint32_t words : {8u, 16u, 31u, 32u}) {
            SCOPED_TRACE(testing::Message() << words << " words" << (publicOp ? ", public" : ""));
            vc::BigNumEngineTimes times{};
            const uint32_t chosen = choose(words, &times);
            EXPECT_EQ(times.chosen, chosen);
            EXPECT_TRUE(vc::bigNumEngineUsable(chosen, words, publicOp));
            EXPECT_NE(times.nanoseconds[vc::BIGNUM_ENGINE_PORTABLE], 0u);
            for (uint32_t e = 0; e < vc::BIGNUM_ENGINE_COUNT; ++e) {
                if (times.nanoseconds[e] != 0) {
                    EXPECT_TRUE(vc::bigNumEngineUsable(e, words, publicOp))
                        << vc::bigNumEngineName(e);
                    EXPECT_LE(times.nanoseconds[chosen], times.nanoseconds[e]);
                }
            }
            for (int again = 0; again < 3; ++again) {
                EXPECT_EQ(choose(words), chosen);
            }
            for (const uint32_t mask : {0u, vc::BIGNUM_KERNEL_ADX, vc::BIGNUM_KERNEL_IFMA256,
                                        vc::BIGNUM_KERNEL_VEC32 | vc::BIGNUM_KERNEL_IFMA}) {
                const KernelChoice narrowed(mask);
                const uint32_t masked = choose(words);
                EXPECT_TRUE(masked == vc::BIGNUM_ENGINE_PORTABLE ||
                            (ENGINE_BIT[masked] & mask) != 0)
                    << "mask " << mask << " chose " << vc::bigNumEngineName(masked);
                EXPECT_TRUE(vc::bigNumEngineUsable(masked, words, publicOp));
                if (mask == 0) {
                    EXPECT_EQ(masked, vc::BIGNUM_ENGINE_PORTABLE);
                }
            }
            EXPECT_EQ(choose(words), chosen) << "after the mask was narrowed and restored";
        }
    }
}

}  // namespace
