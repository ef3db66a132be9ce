// The constant-time engine for secret exponents, both limb widths, against
// the variable-time engine and OpenSSL on random operands of 512 to 4096
// bits (sizes in data/secret_modexp.vec), and its CRT form on the committed
// keys. Each engine's work storage starts dirty and must be zero afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "bignum/bignum_support.h"
#include "support/openssl_bignum.h"

namespace {

using namespace vctest;

// Runs function(args..., &out, work) on dirty storage: the result must be
// want and the storage all zeros afterwards.
template <typename Work, typename Function, typename... Args>
void checkEngine(const char* name, const BigNum& want, Function function, Args... args) {
    auto work = std::make_unique<Work>();
    std::memset(work.get(), 0x77, sizeof(Work));
    BigNum out;
    function(args..., &out, work.get());
    EXPECT_TRUE(sameValue(out, want)) << name;
    const auto* bytes = reinterpret_cast<const uint8_t*>(work.get());
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(Work), [](uint8_t b) { return b == 0; })) << name;
}

BigNum opensslModExp(const BigNum& base, const BigNum& exponent, const BigNum& n) {
    Bn out(BN_new());
    BnCtx ctx(BN_CTX_new());
    BN_mod_exp(out.get(), toBn(base).get(), toBn(exponent).get(), toBn(n).get(), ctx.get());
    return fromBn(out.get());
}

// Every secret engine and the variable-time one agree with OpenSSL.
void checkSecret(const BigNum& base, const BigNum& exponent, const BigNum& n) {
    const BigNum want = opensslModExp(base, exponent, n);
    BigNum out;
    vc::bigNumModExp(&base, &exponent, &n, &out);
    EXPECT_TRUE(sameValue(out, want)) << "variable-time engine";
    vc::bigNumModExpSecret(&base, &exponent, &n, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpSecret";
    checkEngine<vc::ModExpSecretWork32>("32-bit limbs", want, vc::bigNumModExpSecret32, &base,
                                        &exponent, &n);
    checkEngine<vc::ModExpWork32>("32-bit limbs, variable time", want,
                                  vc::bigNumModExpInterleaved32, &base, &exponent, &n);
#if defined(__SIZEOF_INT128__)
    checkEngine<vc::ModExpSecretWork64>("64-bit limbs", want, vc::bigNumModExpSecret64, &base,
                                        &exponent, &n);
#endif
}

void checkCrt(const vc::RsaPrivateKey& key, const BigNum& c) {
    const BigNum want = opensslModExp(c, key.d, key.n);
    BigNum out;
    vc::bigNumModExpCrt(&c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpCrt, c = " << textOf(c);
    BigNum rrP;
    BigNum rrQ;
    vc::bigNumRadixSquared(&key.p, &rrP);
    vc::bigNumRadixSquared(&key.q, &rrQ);
    vc::bigNumModExpCrtWithRadix(&c, &key.dP, &key.dQ, &key.p, &key.q, &key.qInv, &rrP, &rrQ, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpCrtWithRadix";
    vc::bigNumModExpSecret(&c, &key.d, &key.n, &out);
    EXPECT_TRUE(sameValue(out, want)) << "bigNumModExpSecret with d";
    checkEngine<vc::ModExpSecretWork32>("32-bit limbs", want, vc::bigNumModExpCrt32, &c, &key.dP,
                                        &key.dQ, &key.p, &key.q, &key.qInv);
#if defined(__SIZEOF_INT128__)
    checkEngine<vc::ModExpSecretWork64>("64-bit limbs", want, vc::bigNumModExpCrt64, &c, &key.dP,
                                        &key.dQ, &key.p, &key.q, &key.qInv);
#endif
}

// Leaves every processor kernel allowed again, whatever a test narrowed.
struct KernelChoice {
    explicit KernelChoice(uint32_t mask) { vc::bigNumAllowKernels(mask); }
    ~KernelChoice() { vc::bigNumAllowKernels(vc::BIGNUM_KERNELS_ALL); }
    KernelChoice(const KernelChoice&) = delete;
    KernelChoice& operator=(const KernelChoice&) = delete;
};

// The table runs once with every kernel this processor has, once with the
// carry-chain products and the AVX2 products on 32-bit limbs only, and once
// on the portable kernels alone, so each path is checked wherever the tests
// run.
class SecretModExpKernels : public testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(Kernels, SecretModExpKernels,
                         testing::Values(vc::BIGNUM_KERNELS_ALL,
                                         vc::BIGNUM_KERNEL_ADX | vc::BIGNUM_KERNEL_VEC32, 0u));

TEST_P(SecretModExpKernels, AgreeWithOpenSslAndTheVariableTimeEngine) {
    const KernelChoice choice(GetParam());
    std::ifstream table(std::string(VC_TEST_DATA_DIR) + "/secret_modexp.vec");
    ASSERT_TRUE(table) << "secret_modexp.vec";
    std::mt19937 rng(20261206);
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::string kind;
        uint32_t size = 0;
        int count = 0;
        ASSERT_TRUE(fields >> kind >> size >> count) << line;
        ++rows;
        for (int i = 0; i < count; ++i) {
            SCOPED_TRACE(line + ", case " + std::to_string(i));
            if (kind == "modulus") {
                const BigNum n = randomOddModulus(rng, size);
                // A base of any length up to the modulus', and the exponent
                // below 2^(32 size) with its top word in use.
                const BigNum base = randomNumber(rng, 1 + rng() % size);
                const BigNum exponent = randomNumber(rng, size);
                Bn reduced(BN_new());
                BnCtx ctx(BN_CTX_new());
                BN_nnmod(reduced.get(), toBn(base).get(), toBn(n).get(), ctx.get());
                checkSecret(fromBn(reduced.get()), exponent, n);
            } else {
                ASSERT_EQ(kind, "key") << line;
                const TestKey& key = testKey(static_cast<int>(size));
                Bn c(BN_new());
                BN_rand_range(c.get(), toBn(key.key.n).get());
                checkCrt(key.key, fromBn(c.get()));
            }
        }
    }
    EXPECT_EQ(rows, 15);
}

// Bases at the edges: 0, 1, n - 1, and exponents 0, 1 and all ones.
TEST(SecretModExp, EdgeValues) {
    std::mt19937 rng(7);
    for (uint32_t words : {1u, 2u, 3u, 16u, 17u}) {
        const BigNum n = randomOddModulus(rng, words);
        BigNum nMinusOne = n;
        nMinusOne.words[0] -= 1;
        vc::bigNumNormalise(&nMinusOne);
        BigNum ones = fromWords({});
        for (uint32_t i = 0; i < words; ++i) {
            ones.words[i] = 0xFFFFFFFFu;
        }
        ones.length = words;
        for (const BigNum& base : {fromWords({}), fromWords({1}), nMinusOne}) {
            for (const BigNum& exponent : {fromWords({}), fromWords({1}), ones}) {
                SCOPED_TRACE("words " + std::to_string(words));
                checkSecret(base, exponent, n);
            }
        }
    }
}

}  // namespace
