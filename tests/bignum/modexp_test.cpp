// Montgomery reduction, the window scan, the three exponentiation engines
// and the CRT recombination, against known answers and OpenSSL's BIGNUM.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "bignum/bignum_internal.h"
#include "support/openssl_bignum.h"

namespace {

using namespace vctest;

BigNum referenceModExp(const BigNum& base, const BigNum& exponent, const BigNum& n) {
    BnCtx ctx(BN_CTX_new());
    Bn r(BN_new());
    BN_mod_exp(r.get(), toBn(base).get(), toBn(exponent).get(), toBn(n).get(), ctx.get());
    return fromBn(r.get());
}

bool allZero(const void* object, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(object);
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// The public entry point and every engine, each engine on work storage that
// starts dirty and must be all zeros afterwards.
struct Engines {
    std::unique_ptr<vc::ModExpPlainWork> plain = std::make_unique<vc::ModExpPlainWork>();
    std::unique_ptr<vc::ModExpWork32> limb32 = std::make_unique<vc::ModExpWork32>();
#if defined(__SIZEOF_INT128__)
    std::unique_ptr<vc::ModExpWork64> limb64 = std::make_unique<vc::ModExpWork64>();
#endif

    template <typename Work, typename Engine>
    static ::testing::AssertionResult run(const char* name, Engine engine, Work* work,
                                          const BigNum* args, const BigNum& want) {
        BigNum out;
        std::memset(work, 0xA5, sizeof *work);
        engine(&args[0], &args[1], &args[2], &out, work);
        if (!allZero(work, sizeof *work)) {
            return ::testing::AssertionFailure() << "work storage not wiped [" << name << "]";
        }
        return sameValue(out, want) << " [" << name << "]";
    }

    ::testing::AssertionResult check(const BigNum& base, const BigNum& exponent, const BigNum& n,
                                     const BigNum& want) {
        const BigNum args[] = {base, exponent, n};
        BigNum out;
        vc::bigNumModExp(&base, &exponent, &n, &out);
        ::testing::AssertionResult r = sameValue(out, want) << " [bigNumModExp]";
        if (r) {
            r = run("plain", vc::bigNumModExpPlain, plain.get(), args, want);
        }
        if (r) {
            r = run("32-bit limbs", vc::bigNumModExpInterleaved32, limb32.get(), args, want);
        }
#if defined(__SIZEOF_INT128__)
        if (r) {
            r = run("64-bit limbs", vc::bigNumModExpInterleaved64, limb64.get(), args, want);
        }
#endif
        return r;
    }
};

// T anywhere in [0, N R): the extremes 0 and N R - 1, T = N (R - 1), whose
// reduction is exactly N before the final subtraction (which must then fire
// although the difference is zero), and random products of two residues.
TEST(BigNumMontReduce, DividesByRModN) {
    std::mt19937 rng(12);
    BnCtx ctx(BN_CTX_new());
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t len = 1 + (iter % 3 == 0 ? rng() % 128 : rng() % 12);
        SCOPED_TRACE(testing::Message() << "iteration " << iter << ", length " << len);
        const BigNum n = randomOddModulus(rng, len);
        Bn bn = toBn(n);
        Bn t(BN_new());
        Bn r(BN_new());
        BN_set_bit(r.get(), static_cast<int>(32 * len));
        if (iter % 50 == 0) {
            BN_zero(t.get());
        } else if (iter % 50 <= 2) {
            BN_mul(t.get(), bn.get(), r.get(), ctx.get());
            BN_sub(t.get(), t.get(), iter % 50 == 1 ? BN_value_one() : bn.get());
        } else {
            Bn x = toBn(randomNumber(rng, len));
            Bn y = toBn(randomNumber(rng, len));
            BN_nnmod(x.get(), x.get(), bn.get(), ctx.get());
            BN_nnmod(y.get(), y.get(), r.get(), ctx.get());
            BN_mul(t.get(), x.get(), y.get(), ctx.get());
        }
        BigNum tRecord = fromBn(t.get());
        BigNum out;
        std::memset(&out, 0x11, sizeof out);
        vc::bigNumMontReduce(&tRecord, &n, &out, vc::bigNumMontInverse(n.words[0]));

        Bn rInv(BN_mod_inverse(nullptr, r.get(), bn.get(), ctx.get()));
        Bn want(BN_new());
        BN_mod_mul(want.get(), t.get(), rInv.get(), bn.get(), ctx.get());
        ASSERT_TRUE(sameValue(out, fromBn(want.get())));
    }
}

struct Window {
    uint32_t count;
    uint32_t value;
    uint32_t zeroRun;
    int32_t positionAfter;
    bool operator==(const Window&) const = default;
};

std::vector<Window> scan(const BigNum& e, uint32_t w) {
    std::vector<Window> steps;
    int32_t position = static_cast<int32_t>(32 * e.length) - 1;
    uint32_t value = 99;
    uint32_t zeroRun = 99;
    while (const uint32_t count = vc::bigNumNextWindow(&e, &position, w, &value, &zeroRun)) {
        steps.push_back({count, value, zeroRun, position});
        if (steps.size() > 64 * e.length) {
            break;  // a scan that never ends is reported, not waited for
        }
    }
    // Once exhausted, the scan leaves its outputs alone.
    value = zeroRun = 7;
    EXPECT_EQ(vc::bigNumNextWindow(&e, &position, w, &value, &zeroRun), 0u);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(zeroRun, 7u);
    return steps;
}

TEST(BigNumNextWindow, KnownScans) {
    const struct {
        BigNum exponent;
        uint32_t w;
        std::vector<Window> steps;
    } rows[] = {
        // 1010 0001 on top, w = 4: the window 1010 becomes 101 and its last 0
        // joins the zero run below.
        {fromWords({0xA1000000}), 4, {{3, 5, 0, 28}, {4, 0, 1, 24}, {1, 1, 0, 23}, {24, 0, 1, -1}}},
        // Bits 32 and 30: the window 10100 straddles the word boundary and
        // shrinks to 101.
        {fromWords({0x40000000, 1}), 5, {{31, 0, 1, 32}, {3, 5, 0, 29}, {30, 0, 1, -1}}},
        // Fewer than w bits left at the bottom: all of them are taken.
        {fromWords({3}), 6, {{30, 0, 1, 1}, {2, 3, 0, -1}}},
        // Top bit set: the first window starts at once.
        {fromWords({0x80000001}), 1, {{1, 1, 0, 30}, {30, 0, 1, 0}, {1, 1, 0, -1}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.exponent.words[0] << " w " << row.w);
        EXPECT_TRUE(scan(row.exponent, row.w) == row.steps);
    }
}

TEST(BigNumModExp, KnownAnswers) {
    Engines engines;
    const BigNum rows[][4] = {
        {fromWords({4}), fromWords({13}), fromWords({497}), fromWords({445})},
        {fromWords({12345}), fromWords({7, 1}), fromWords({1}), fromWords({})},
        // Exponent records of zero words that were never normalised find no
        // first window: 1 mod N, without reading past the table.
        {fromWords({5}), fromWords({0, 0}), fromWords({7}), fromWords({1})},
        {fromWords({5}), fromWords({0, 0, 0, 0, 0}), fromWords({7}), fromWords({1})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0].words[0]);
        EXPECT_TRUE(engines.check(row[0], row[1], row[2], row[3]));
    }
    // A zero exponent (which callers never pass) gives 1 mod N.
    const BigNum zero = fromWords({});
    const BigNum seven = fromWords({7});
    const BigNum one = fromWords({1});
    BigNum out;
    vc::bigNumModExp(&seven, &zero, &seven, &out);
    EXPECT_TRUE(sameValue(out, one));
    vc::bigNumModExp(&seven, &zero, &one, &out);
    EXPECT_TRUE(sameValue(out, zero));
}

// Bases of zero, equal to N, shorter and longer than N (up to the 256-word
// capacity with a 128-word modulus, where the base is reduced first), with
// exponent 1 and with longer exponents.
TEST(BigNumModExp, BaseEdgeCases) {
    Engines engines;
    std::mt19937 rng(21);
    const struct {
        uint32_t nLength, baseLength, exponentLength;
    } rows[] = {{5, 3, 1},     {5, 5, 1},     {5, 9, 1},     {5, 120, 1},   {5, 251, 1},
                {1, 0, 4},     {2, 0, 4},     {33, 0, 4},    {128, 128, 3}, {127, 129, 3},
                {128, 200, 3}, {16, 240, 40}, {33, 223, 24}, {1, 255, 2}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "modulus " << row.nLength << " base " << row.baseLength
                                        << " exponent " << row.exponentLength);
        const BigNum n = randomOddModulus(rng, row.nLength);
        const BigNum base = randomNumber(rng, row.baseLength);
        const BigNum e =
            row.exponentLength == 1 ? fromWords({1}) : randomNumber(rng, row.exponentLength);
        EXPECT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)));
        if (row.baseLength == 0) {
            EXPECT_TRUE(engines.check(n, e, n, fromWords({})));
        }
    }
}

// 2, 3, 7, 8, 23 and 24 words sit on both sides of each change of window
// width; 16 and 32 words take the unrolled kernels. The exponent's top word
// has leading zero bits or its top bit set.
TEST(BigNumModExp, EveryWindowWidthAndFirstWindow) {
    Engines engines;
    std::mt19937 rng(23);
    for (uint32_t elen : {1u, 2u, 3u, 7u, 8u, 23u, 24u, 40u}) {
        for (uint32_t nlen : {1u, 3u, 8u, 16u, 32u, 33u}) {
            for (uint32_t top : {0u, 1u, 0x10u, 0xFFFFu, 0x80000000u, 0xC0000001u}) {
                SCOPED_TRACE(testing::Message() << "exponent " << elen << " words, modulus " << nlen
                                                << ", top " << std::hex << top);
                const BigNum n = randomOddModulus(rng, nlen);
                const BigNum base = randomNumber(rng, nlen);
                BigNum e = randomNumber(rng, elen);
                if (top != 0) {
                    e.words[elen - 1] = top;
                }
                ASSERT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)));
            }
        }
    }
}

TEST(BigNumModExp, AgreesWithOpenSslOnRandomOddModuli) {
    Engines engines;
    std::mt19937 rng(25);
    for (int iter = 0; iter < 256; ++iter) {
        // Every length from 1 to 128 words, each twice; long exponents only
        // on the shorter moduli to keep the run short.
        const uint32_t nlen = 1 + iter % 128;
        const BigNum n = randomOddModulus(rng, nlen);
        const uint32_t blen = rng() % (2 * nlen < 256 - nlen ? 2 * nlen + 1 : 257 - nlen);
        const BigNum base = randomNumber(rng, blen);
        const uint32_t elen = nlen > 24 ? 1 + rng() % 4 : 1 + rng() % (nlen + 2);
        const BigNum e = randomNumber(rng, elen);
        ASSERT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)))
            << "modulus " << nlen << " base " << blen << " exponent " << elen;
    }
}

TEST(BigNumModExpCrt, SmallKeyKnownAnswers) {
    // p = 61, q = 53, dP = 53, dQ = 49, qInv = 38. For c = 2790,
    // m1 = 4 < m2 = 12: the negative branch. For c = 1 the halves are equal
    // and h is zero.
    const BigNum dP = fromWords({53});
    const BigNum dQ = fromWords({49});
    const BigNum p = fromWords({61});
    const BigNum q = fromWords({53});
    const BigNum qInv = fromWords({38});
    const uint32_t rows[][2] = {{2790, 65}, {1, 1}, {3232, 3232}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0]);
        const BigNum c = fromWords({row[0]});
        BigNum out;
        vc::bigNumModExpCrt(&c, &dP, &dQ, &p, &q, &qInv, &out);
        EXPECT_TRUE(sameValue(out, fromWords({row[1]})));
    }
}

// Random c below n on every committed key: m1 < m2 about half the time.
TEST(BigNumModExpCrt, AgreesWithTheFullExponentiation) {
    std::mt19937 rng(31);
    BnCtx ctx(BN_CTX_new());
    for (int bits : {512, 1016, 1023, 1024, 2048}) {
        TestKey key;
        ASSERT_TRUE(loadTestKey(bits, &key)) << bits;
        const vc::RsaPrivateKey& k = key.key;
        Bn n = toBn(k.n);
        Bn d = toBn(k.d);
        for (int msg = 0; msg < 16; ++msg) {
            SCOPED_TRACE(testing::Message() << bits << " bits, message " << msg);
            Bn c = toBn(msg == 0 ? fromWords({2}) : randomNumber(rng, k.n.length));
            BN_nnmod(c.get(), c.get(), n.get(), ctx.get());
            Bn want(BN_new());
            BN_mod_exp(want.get(), c.get(), d.get(), n.get(), ctx.get());
            const BigNum cRecord = fromBn(c.get());
            BigNum out;
            vc::bigNumModExpCrt(&cRecord, &k.dP, &k.dQ, &k.p, &k.q, &k.qInv, &out);
            ASSERT_TRUE(sameValue(out, fromBn(want.get())));
        }
    }
}

}  // namespace
