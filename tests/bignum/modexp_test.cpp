// Montgomery reduction, the window scan, the three exponentiation engines
// and the CRT recombination, against known answers and OpenSSL's BIGNUM.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/bignum_internal.h"

namespace {

using vc::BigNum;

BigNum fromWords(std::initializer_list<uint32_t> words) {
    BigNum x;
    std::memset(&x, 0x5A, sizeof x);
    uint32_t i = 0;
    for (uint32_t w : words) {
        x.words[i++] = w;
    }
    x.length = i;
    return x;
}

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using BnCtx = std::unique_ptr<BN_CTX, CtxFree>;

Bn toBn(const BigNum& x) {
    std::vector<uint8_t> bytes(4 * x.length + 1);
    for (uint32_t i = 0; i < x.length; ++i) {
        const uint32_t w = x.words[x.length - 1 - i];
        bytes[4 * i] = static_cast<uint8_t>(w >> 24);
        bytes[4 * i + 1] = static_cast<uint8_t>(w >> 16);
        bytes[4 * i + 2] = static_cast<uint8_t>(w >> 8);
        bytes[4 * i + 3] = static_cast<uint8_t>(w);
    }
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(4 * x.length), nullptr));
}

BigNum fromBn(const BIGNUM* b) {
    BigNum x;
    std::memset(&x, 0xA5, sizeof x);
    const int n = BN_num_bytes(b);
    std::vector<uint8_t> bytes(static_cast<size_t>(n) + 4);
    BN_bn2bin(b, bytes.data());
    uint32_t words = 0;
    for (int end = n; end > 0; end -= 4) {
        uint32_t w = 0;
        for (int k = (end >= 4 ? end - 4 : 0); k < end; ++k) {
            w = (w << 8) | bytes[static_cast<size_t>(k)];
        }
        x.words[words++] = w;
    }
    x.length = words;
    return x;
}

::testing::AssertionResult sameValue(const BigNum& got, const BigNum& want) {
    if (vc::bigNumEqual(&got, &want) == 1 && (got.length == 0 || got.words[got.length - 1] != 0)) {
        return ::testing::AssertionSuccess();
    }
    char* g = BN_bn2hex(toBn(got).get());
    char* w = BN_bn2hex(toBn(want).get());
    auto failure = ::testing::AssertionFailure()
                   << "got " << g << " (length " << got.length << "), want " << w;
    OPENSSL_free(g);
    OPENSSL_free(w);
    return failure;
}

BigNum randomNumber(std::mt19937& rng, uint32_t len) {
    BigNum x;
    std::memset(&x, 0x3C, sizeof x);
    const bool sparse = rng() % 4 == 0;
    for (uint32_t i = 0; i < len; ++i) {
        uint32_t w = rng();
        if (sparse) {
            const uint32_t pick = rng() % 3;
            w = pick == 0 ? 0 : pick == 1 ? 0xFFFFFFFFu : w;
        }
        x.words[i] = w;
    }
    if (len > 0 && x.words[len - 1] == 0) {
        x.words[len - 1] = 1 + rng() % 0xFFFFu;
    }
    x.length = len;
    return x;
}

BigNum randomOddModulus(std::mt19937& rng, uint32_t len) {
    BigNum n = randomNumber(rng, len);
    n.words[0] |= 1;
    return n;
}

BigNum referenceModExp(const BigNum& base, const BigNum& exponent, const BigNum& n) {
    BnCtx ctx(BN_CTX_new());
    Bn r(BN_new());
    BN_mod_exp(r.get(), toBn(base).get(), toBn(exponent).get(), toBn(n).get(), ctx.get());
    return fromBn(r.get());
}

// The three engines, each with its own storage so a test can look at it
// afterwards.
struct Engines {
    std::unique_ptr<vc::ModExpPlainWork> plain = std::make_unique<vc::ModExpPlainWork>();
    std::unique_ptr<vc::ModExpWork32> limb32 = std::make_unique<vc::ModExpWork32>();
#if defined(__SIZEOF_INT128__)
    std::unique_ptr<vc::ModExpWork64> limb64 = std::make_unique<vc::ModExpWork64>();
#endif

    // Runs every engine and the public entry point; all must agree with
    // want.
    ::testing::AssertionResult check(const BigNum& base, const BigNum& exponent, const BigNum& n,
                                     const BigNum& want) {
        BigNum out;
        vc::bigNumModExp(&base, &exponent, &n, &out);
        if (auto r = sameValue(out, want); !r) {
            return r << " [bigNumModExp]";
        }
        vc::bigNumModExpPlain(&base, &exponent, &n, &out, plain.get());
        if (auto r = sameValue(out, want); !r) {
            return r << " [plain]";
        }
        vc::bigNumModExpInterleaved32(&base, &exponent, &n, &out, limb32.get());
        if (auto r = sameValue(out, want); !r) {
            return r << " [32-bit limbs]";
        }
#if defined(__SIZEOF_INT128__)
        vc::bigNumModExpInterleaved64(&base, &exponent, &n, &out, limb64.get());
        if (auto r = sameValue(out, want); !r) {
            return r << " [64-bit limbs]";
        }
#endif
        return ::testing::AssertionSuccess();
    }
};

template <typename T>
bool allZero(const T& object) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&object);
    for (size_t i = 0; i < sizeof(T); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------

TEST(BigNumMontInverse, IsTheNegatedInverseOfTheLowWord) {
    std::mt19937 rng(11);
    for (uint32_t n0 : {1u, 3u, 0xFFFFFFFFu, 0x80000001u}) {
        EXPECT_EQ(n0 * vc::bigNumMontInverse(n0), 0xFFFFFFFFu) << n0;
    }
    for (int i = 0; i < 1000; ++i) {
        const uint32_t n0 = rng() | 1u;
        ASSERT_EQ(n0 * vc::bigNumMontInverse(n0), 0xFFFFFFFFu) << n0;
    }
}

TEST(BigNumMontReduce, DividesByRModN) {
    std::mt19937 rng(12);
    BnCtx ctx(BN_CTX_new());
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t len = 1 + (iter % 3 == 0 ? rng() % 128 : rng() % 12);
        const BigNum n = randomOddModulus(rng, len);
        Bn bn = toBn(n);
        // T anywhere in [0, N R): a random product of two residues, or the
        // extremes 0 and N R - 1.
        Bn t(BN_new());
        Bn r(BN_new());
        BN_set_bit(r.get(), static_cast<int>(32 * len));
        if (iter % 50 == 0) {
            BN_zero(t.get());
        } else if (iter % 50 == 1) {
            BN_mul(t.get(), bn.get(), r.get(), ctx.get());
            BN_sub_word(t.get(), 1);
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
        ASSERT_TRUE(sameValue(out, fromBn(want.get()))) << "length " << len;
    }
}

TEST(BigNumMontReduce, ResultEqualToNIsSubtracted) {
    // T = N (R - 1) = -N mod R, so the reduction adds exactly N and leaves
    // (T + N) / R = N before the final step: the subtraction must also fire
    // when the difference is zero.
    const BigNum n = fromWords({0xFFFFFFFF, 0x7FFFFFFF});
    BnCtx ctx(BN_CTX_new());
    Bn rMinus1(BN_new());
    BN_set_bit(rMinus1.get(), 64);
    BN_sub_word(rMinus1.get(), 1);
    Bn t(BN_new());
    BN_mul(t.get(), toBn(n).get(), rMinus1.get(), ctx.get());
    BigNum tRecord = fromBn(t.get());
    BigNum out;
    vc::bigNumMontReduce(&tRecord, &n, &out, vc::bigNumMontInverse(n.words[0]));
    EXPECT_EQ(out.length, 0u);
}

// ---------------------------------------------------------------------------

struct Window {
    uint32_t count;
    uint32_t value;
    uint32_t zeroRun;
    int32_t positionAfter;
};

std::vector<Window> scan(const BigNum& e, uint32_t w) {
    std::vector<Window> steps;
    int32_t position = static_cast<int32_t>(32 * e.length) - 1;
    uint32_t value = 99;
    uint32_t zeroRun = 99;
    for (;;) {
        const uint32_t count = vc::bigNumNextWindow(&e, &position, w, &value, &zeroRun);
        if (count == 0) {
            break;
        }
        steps.push_back({count, value, zeroRun, position});
    }
    return steps;
}

TEST(BigNumNextWindow, TrailingZerosOfAWindowAreScannedAgain) {
    // 1010 0001 in the top byte, w = 4: the window 1010 becomes 101 and its
    // last 0 joins the following zero run.
    const BigNum e = fromWords({0xA1000000});
    const auto steps = scan(e, 4);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].count, 3u);
    EXPECT_EQ(steps[0].value, 5u);
    EXPECT_EQ(steps[0].zeroRun, 0u);
    EXPECT_EQ(steps[0].positionAfter, 28);
    EXPECT_EQ(steps[1].count, 4u);  // bits 28..25
    EXPECT_EQ(steps[1].zeroRun, 1u);
    EXPECT_EQ(steps[1].value, 0u);
    EXPECT_EQ(steps[2].count, 1u);  // bit 24
    EXPECT_EQ(steps[2].value, 1u);
    EXPECT_EQ(steps[3].count, 24u);  // bits 23..0
    EXPECT_EQ(steps[3].zeroRun, 1u);
    EXPECT_EQ(steps[3].positionAfter, -1);
}

TEST(BigNumNextWindow, ShortTailAndWordBoundaries) {
    // Bits 32 and 30 set, w = 5: the window 10100 straddles the word
    // boundary and shrinks to 101; the zero run below it ends the scan.
    const BigNum e = fromWords({0x40000000, 1});
    const auto steps = scan(e, 5);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].zeroRun, 1u);  // bits 63..33
    EXPECT_EQ(steps[0].count, 31u);
    EXPECT_EQ(steps[1].value, 5u);
    EXPECT_EQ(steps[1].count, 3u);
    EXPECT_EQ(steps[1].positionAfter, 29);
    EXPECT_EQ(steps[2].zeroRun, 1u);
    EXPECT_EQ(steps[2].count, 30u);
    EXPECT_EQ(steps[2].positionAfter, -1);

    // Fewer than w bits left at the bottom: all of them are taken.
    const BigNum three = fromWords({3});
    const auto tail = scan(three, 6);
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[1].count, 2u);
    EXPECT_EQ(tail[1].value, 3u);
    EXPECT_EQ(tail[1].positionAfter, -1);
}

TEST(BigNumNextWindow, ExhaustedScanLeavesOutputsAlone) {
    const BigNum e = fromWords({1});
    int32_t position = -1;
    uint32_t value = 7;
    uint32_t zeroRun = 7;
    EXPECT_EQ(vc::bigNumNextWindow(&e, &position, 4, &value, &zeroRun), 0u);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(zeroRun, 7u);
    EXPECT_EQ(position, -1);
}

TEST(BigNumNextWindow, WindowsRebuildTheExponent) {
    std::mt19937 rng(13);
    for (int iter = 0; iter < 400; ++iter) {
        const BigNum e = randomNumber(rng, 1 + rng() % 8);
        for (uint32_t w : {1u, 4u, 5u, 6u}) {
            // Shift in count bits and add the window's value: the exponent
            // must come back bit for bit, and every window must be odd, at
            // most w bits, and no zero run follow a zero run.
            std::vector<uint32_t> rebuilt(e.length, 0);
            bool lastWasZeroRun = false;
            for (const Window& s : scan(e, w)) {
                ASSERT_LE(s.count, s.zeroRun ? 32 * e.length : w);
                if (s.zeroRun) {
                    ASSERT_FALSE(lastWasZeroRun);
                } else {
                    ASSERT_EQ(s.value & 1u, 1u);
                    ASSERT_LT(s.value, 1u << s.count);
                }
                lastWasZeroRun = s.zeroRun != 0;
                for (uint32_t b = 0; b < s.count; ++b) {
                    uint32_t carry = 0;
                    for (uint32_t i = 0; i < e.length; ++i) {
                        const uint32_t next = rebuilt[i] >> 31;
                        rebuilt[i] = (rebuilt[i] << 1) | carry;
                        carry = next;
                    }
                }
                rebuilt[0] |= s.value;
            }
            ASSERT_EQ(0, std::memcmp(rebuilt.data(), e.words, 4 * e.length)) << "w " << w;
        }
    }
}

// ---------------------------------------------------------------------------

TEST(BigNumModExp, SmallKnownAnswer) {
    Engines engines;
    EXPECT_TRUE(engines.check(fromWords({4}), fromWords({13}), fromWords({497}), fromWords({445})));
}

TEST(BigNumModExp, ExponentOneReducesTheBase) {
    Engines engines;
    std::mt19937 rng(21);
    const BigNum n = randomOddModulus(rng, 5);
    const BigNum one = fromWords({1});
    // Shorter than, equal to, a multiple of, and much longer than N.
    const BigNum small = randomNumber(rng, 3);
    EXPECT_TRUE(engines.check(small, one, n, small));
    EXPECT_TRUE(engines.check(n, one, n, fromWords({})));
    BnCtx ctx(BN_CTX_new());
    for (uint32_t len : {5u, 9u, 120u, 251u}) {
        const BigNum big = randomNumber(rng, len);
        Bn r(BN_new());
        BN_nnmod(r.get(), toBn(big).get(), toBn(n).get(), ctx.get());
        EXPECT_TRUE(engines.check(big, one, n, fromBn(r.get()))) << len;
    }
}

TEST(BigNumModExp, ZeroBaseAndBaseEqualToModulusGiveZero) {
    Engines engines;
    std::mt19937 rng(22);
    for (uint32_t len : {1u, 2u, 33u}) {
        const BigNum n = randomOddModulus(rng, len);
        const BigNum e = randomNumber(rng, 4);
        EXPECT_TRUE(engines.check(fromWords({}), e, n, fromWords({})));
        EXPECT_TRUE(engines.check(n, e, n, fromWords({})));
    }
}

TEST(BigNumModExp, ModulusOne) {
    Engines engines;
    EXPECT_TRUE(
        engines.check(fromWords({12345}), fromWords({7, 1}), fromWords({1}), fromWords({})));
}

TEST(BigNumModExp, ZeroExponentGivesOneModN) {
    const BigNum base = fromWords({5});
    const BigNum zero = fromWords({});
    BigNum out;
    const BigNum n = fromWords({7});
    vc::bigNumModExp(&base, &zero, &n, &out);
    EXPECT_TRUE(sameValue(out, fromWords({1})));
    const BigNum unit = fromWords({1});
    vc::bigNumModExp(&base, &zero, &unit, &out);
    EXPECT_EQ(out.length, 0u);

    // A record of zero words that was never normalised finds no first
    // window; every engine still answers 1 mod N instead of reading past
    // its table.
    Engines engines;
    EXPECT_TRUE(engines.check(base, fromWords({0, 0}), n, fromWords({1})));
    EXPECT_TRUE(engines.check(base, fromWords({0, 0, 0, 0, 0}), n, fromWords({1})));
}

TEST(BigNumModExp, EveryWindowWidthAgrees) {
    // 2, 3, 7, 8, 23 and 24 words sit on both sides of each change of w.
    Engines engines;
    std::mt19937 rng(23);
    for (uint32_t elen : {1u, 2u, 3u, 7u, 8u, 23u, 24u, 40u}) {
        // 16 and 32 words take the unrolled kernels.
        for (uint32_t nlen : {1u, 3u, 16u, 32u, 33u}) {
            const BigNum n = randomOddModulus(rng, nlen);
            const BigNum base = randomNumber(rng, nlen);
            const BigNum e = randomNumber(rng, elen);
            EXPECT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)))
                << "exponent " << elen << " words, modulus " << nlen;
        }
    }
}

TEST(BigNumModExp, FirstWindowWithAndWithoutLeadingZeros) {
    Engines engines;
    std::mt19937 rng(24);
    const BigNum n = randomOddModulus(rng, 8);
    const BigNum base = randomNumber(rng, 8);
    for (uint32_t top : {1u, 2u, 0x10u, 0x0000FFFFu, 0x80000000u, 0xFFFFFFFFu, 0xC0000001u}) {
        for (uint32_t elen : {1u, 4u, 10u, 30u}) {
            BigNum e = randomNumber(rng, elen);
            e.words[elen - 1] = top;
            EXPECT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)))
                << std::hex << top << " length " << std::dec << elen;
        }
    }
}

TEST(BigNumModExp, AgreesWithOpenSslOnRandomOddModuli) {
    Engines engines;
    std::mt19937 rng(25);
    for (int iter = 0; iter < 150; ++iter) {
        // Mostly short moduli; a few up to the full 128 words.
        const uint32_t nlen = iter % 15 == 0 ? 64 + rng() % 65 : 1 + rng() % 24;
        const BigNum n = randomOddModulus(rng, nlen);
        const uint32_t blen = rng() % (2 * nlen < 256 - nlen ? 2 * nlen + 1 : 257 - nlen);
        const BigNum base = randomNumber(rng, blen);
        const uint32_t elen = iter % 15 == 0 ? 1 + rng() % 4 : 1 + rng() % (nlen + 2);
        const BigNum e = randomNumber(rng, elen);
        ASSERT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)))
            << "modulus " << nlen << " base " << blen << " exponent " << elen;
    }
}

TEST(BigNumModExp, FullSizeModulusWithLongestBase) {
    // 128-word modulus and a 128-word base: the conversion fills the whole
    // capacity.
    Engines engines;
    std::mt19937 rng(26);
    const BigNum n = randomOddModulus(rng, 128);
    const BigNum base = randomNumber(rng, 128);
    const BigNum e = randomNumber(rng, 3);
    EXPECT_TRUE(engines.check(base, e, n, referenceModExp(base, e, n)));
    // An odd-length modulus with a base as long as allowed: the 64-bit
    // engine must reduce it before shifting by its wider radix.
    const BigNum n127 = randomOddModulus(rng, 127);
    const BigNum base129 = randomNumber(rng, 129);
    EXPECT_TRUE(engines.check(base129, e, n127, referenceModExp(base129, e, n127)));
    // Longer than the callers promise: reduced, not run past the record.
    const BigNum base200 = randomNumber(rng, 200);
    EXPECT_TRUE(engines.check(base200, e, n, referenceModExp(base200, e, n)));
}

TEST(BigNumModExp, WorkStorageIsWipedOnReturn) {
    Engines engines;
    std::mt19937 rng(27);
    const BigNum n = randomOddModulus(rng, 32);
    const BigNum base = randomNumber(rng, 32);
    const BigNum e = randomNumber(rng, 32);  // w = 6: all 32 entries in use
    const BigNum want = referenceModExp(base, e, n);
    BigNum out;

    std::memset(engines.plain.get(), 0xA5, sizeof(vc::ModExpPlainWork));
    vc::bigNumModExpPlain(&base, &e, &n, &out, engines.plain.get());
    EXPECT_TRUE(sameValue(out, want));
    EXPECT_TRUE(allZero(*engines.plain));

    std::memset(engines.limb32.get(), 0xA5, sizeof(vc::ModExpWork32));
    vc::bigNumModExpInterleaved32(&base, &e, &n, &out, engines.limb32.get());
    EXPECT_TRUE(sameValue(out, want));
    EXPECT_TRUE(allZero(*engines.limb32));
#if defined(__SIZEOF_INT128__)
    std::memset(engines.limb64.get(), 0xA5, sizeof(vc::ModExpWork64));
    vc::bigNumModExpInterleaved64(&base, &e, &n, &out, engines.limb64.get());
    EXPECT_TRUE(sameValue(out, want));
    EXPECT_TRUE(allZero(*engines.limb64));
#endif

    // Also with a one-bit window, where most of the table is never used.
    const BigNum shortExponent = fromWords({0x10001});
    std::memset(engines.plain.get(), 0xA5, sizeof(vc::ModExpPlainWork));
    vc::bigNumModExpPlain(&base, &shortExponent, &n, &out, engines.plain.get());
    EXPECT_TRUE(allZero(*engines.plain));
}

// ---------------------------------------------------------------------------

TEST(BigNumModExpCrt, SmallKeyTakesTheNegativeBranch) {
    // m1 = 2790^53 mod 61 = 4 < m2 = 2790^49 mod 53 = 12.
    const BigNum c = fromWords({2790});
    const BigNum dP = fromWords({53});
    const BigNum dQ = fromWords({49});
    const BigNum p = fromWords({61});
    const BigNum q = fromWords({53});
    const BigNum qInv = fromWords({38});
    BigNum out;
    vc::bigNumModExpCrt(&c, &dP, &dQ, &p, &q, &qInv, &out);
    EXPECT_TRUE(sameValue(out, fromWords({65})));
}

TEST(BigNumModExpCrt, EqualHalvesGiveZeroH) {
    // c = 1: both halves are 1, the difference and h are zero, and the
    // result is m2 alone.
    const BigNum c = fromWords({1});
    const BigNum dP = fromWords({53});
    const BigNum dQ = fromWords({49});
    const BigNum p = fromWords({61});
    const BigNum q = fromWords({53});
    const BigNum qInv = fromWords({38});
    BigNum out;
    vc::bigNumModExpCrt(&c, &dP, &dQ, &p, &q, &qInv, &out);
    EXPECT_TRUE(sameValue(out, fromWords({1})));
}

TEST(BigNumModExpCrt, AgreesWithTheFullExponentiation) {
    std::mt19937 rng(31);
    BnCtx ctx(BN_CTX_new());
    for (int bits : {128, 256, 512, 1024}) {
        for (int key = 0; key < (bits == 1024 ? 2 : 3); ++key) {
            Bn p(BN_new());
            Bn q(BN_new());
            ASSERT_EQ(BN_generate_prime_ex(p.get(), bits / 2, 0, nullptr, nullptr, nullptr), 1);
            ASSERT_EQ(BN_generate_prime_ex(q.get(), bits / 2, 0, nullptr, nullptr, nullptr), 1);
            Bn n(BN_new());
            BN_mul(n.get(), p.get(), q.get(), ctx.get());
            Bn e(BN_new());
            BN_set_word(e.get(), 65537);
            Bn p1(BN_dup(p.get()));
            Bn q1(BN_dup(q.get()));
            BN_sub_word(p1.get(), 1);
            BN_sub_word(q1.get(), 1);
            Bn phi(BN_new());
            BN_mul(phi.get(), p1.get(), q1.get(), ctx.get());
            Bn d(BN_mod_inverse(nullptr, e.get(), phi.get(), ctx.get()));
            if (!d) {
                continue;  // e not coprime to phi: draw another key
            }
            Bn dP(BN_new());
            Bn dQ(BN_new());
            BN_nnmod(dP.get(), d.get(), p1.get(), ctx.get());
            BN_nnmod(dQ.get(), d.get(), q1.get(), ctx.get());
            Bn qInv(BN_mod_inverse(nullptr, q.get(), p.get(), ctx.get()));

            const BigNum rp = fromBn(p.get());
            const BigNum rq = fromBn(q.get());
            const BigNum rdP = fromBn(dP.get());
            const BigNum rdQ = fromBn(dQ.get());
            const BigNum rqInv = fromBn(qInv.get());
            const BigNum rn = fromBn(n.get());
            for (int msg = 0; msg < 8; ++msg) {
                BigNum c = randomNumber(rng, rn.length);
                if (msg == 0) {
                    c = fromWords({2});
                }
                Bn cb = toBn(c);
                BN_nnmod(cb.get(), cb.get(), n.get(), ctx.get());
                c = fromBn(cb.get());
                Bn want(BN_new());
                BN_mod_exp(want.get(), cb.get(), d.get(), n.get(), ctx.get());
                BigNum out;
                vc::bigNumModExpCrt(&c, &rdP, &rdQ, &rp, &rq, &rqInv, &out);
                ASSERT_TRUE(sameValue(out, fromBn(want.get()))) << bits << " bits";
            }
        }
    }
}

}  // namespace
