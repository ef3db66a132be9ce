// Big-number arithmetic: the boundary cases of each operation, then
// differential runs against OpenSSL's BIGNUM over random operands.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <vector>

#include "bignum/bignum.h"

namespace {

using vc::BigNum;

// Words least significant first, as in the record; length as given (so a
// test can build a record that is not normalised on purpose).
BigNum fromWords(std::initializer_list<uint32_t> words) {
    BigNum x;
    std::memset(&x, 0x5A, sizeof x);  // garbage above length must not matter
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

// Conversion to and from OpenSSL goes through bytes built here word by
// word, so it does not lean on the conversions under test.
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

// Random operand of exactly len words (top word non-zero), with the word
// patterns that break carry and estimate logic mixed in.
BigNum randomNumber(std::mt19937& rng, uint32_t len) {
    BigNum x;
    std::memset(&x, 0x3C, sizeof x);
    const uint32_t style = rng() % 4;
    for (uint32_t i = 0; i < len; ++i) {
        uint32_t w = rng();
        if (style == 1) {
            w = (rng() % 3 == 0) ? 0xFFFFFFFFu : w;
        } else if (style == 2) {
            const uint32_t pick = rng() % 4;
            w = pick == 0 ? 0 : pick == 1 ? 0xFFFFFFFFu : pick == 2 ? 0x80000000u : w;
        }
        x.words[i] = w;
    }
    if (len > 0 && x.words[len - 1] == 0) {
        x.words[len - 1] = 1 + rng() % 0xFFFFu;
    }
    x.length = len;
    return x;
}

uint32_t randomLength(std::mt19937& rng, uint32_t max) {
    // Half short operands, half anywhere up to max.
    return (rng() % 2 == 0) ? 1 + rng() % 8 : 1 + rng() % max;
}

// ---------------------------------------------------------------------------

TEST(BigNumBytes, LeadingZerosCostNothing) {
    const uint8_t bytes[] = {0x00, 0x00, 0x01};
    BigNum x = fromWords({7, 7, 7});
    vc::bigNumFromBytes(bytes, sizeof bytes, &x);
    EXPECT_EQ(x.length, 1u);
    EXPECT_EQ(x.words[0], 1u);

    const uint8_t zeros[9] = {};
    vc::bigNumFromBytes(zeros, sizeof zeros, &x);
    EXPECT_EQ(x.length, 0u);
}

TEST(BigNumBytes, EmptyInputIsZero) {
    BigNum x = fromWords({1, 2});
    vc::bigNumFromBytes(nullptr, 0, &x);
    EXPECT_EQ(x.length, 0u);
}

TEST(BigNumBytes, OnlyTheLast1024BytesCount) {
    std::vector<uint8_t> bytes(1025);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    BigNum x;
    vc::bigNumFromBytes(bytes.data(), 1025, &x);
    BigNum tail;
    vc::bigNumFromBytes(bytes.data() + 1, 1024, &tail);
    EXPECT_EQ(x.length, 256u);
    EXPECT_TRUE(sameValue(x, tail));
    // Word 255 is bytes 1..4, word 0 the last four bytes.
    EXPECT_EQ(x.words[255], 0x080F161Du);
    EXPECT_EQ(x.words[0], (uint32_t{bytes[1021]} << 24) | (uint32_t{bytes[1022]} << 16) |
                              (uint32_t{bytes[1023]} << 8) | bytes[1024]);
}

TEST(BigNumBytes, ToBytesKeepsTheLowBytesAndPadsInFront) {
    const BigNum x = fromWords({0x02030405, 0x01});
    uint8_t four[4];
    vc::bigNumToBytes(four, 4, &x);
    EXPECT_EQ(std::vector<uint8_t>(four, four + 4), (std::vector<uint8_t>{2, 3, 4, 5}));

    uint8_t seven[7];
    std::memset(seven, 0xEE, sizeof seven);
    vc::bigNumToBytes(seven, 7, &x);
    EXPECT_EQ(std::vector<uint8_t>(seven, seven + 7), (std::vector<uint8_t>{0, 0, 1, 2, 3, 4, 5}));

    uint8_t three[3];
    vc::bigNumToBytes(three, 3, &x);
    EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{3, 4, 5}));
}

TEST(BigNumBytes, ZeroWritesOnlyZeros) {
    const BigNum zero = fromWords({});
    uint8_t out[11];
    std::memset(out, 0xEE, sizeof out);
    vc::bigNumToBytes(out, sizeof out, &zero);
    for (uint8_t b : out) {
        EXPECT_EQ(b, 0);
    }
}

TEST(BigNumBytes, RoundTripAgreesWithOpenSsl) {
    std::mt19937 rng(101);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t count = rng() % 1030;
        std::vector<uint8_t> bytes(count);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
        }
        BigNum x;
        vc::bigNumFromBytes(bytes.data(), count, &x);
        const uint32_t used = count > 1024 ? 1024 : count;
        Bn ref(BN_bin2bn(bytes.data() + (count - used), static_cast<int>(used), nullptr));
        ASSERT_TRUE(sameValue(x, fromBn(ref.get()))) << "count " << count;

        std::vector<uint8_t> back(used);
        vc::bigNumToBytes(back.data(), used, &x);
        ASSERT_TRUE(std::equal(back.begin(), back.end(), bytes.end() - used));
    }
}

// ---------------------------------------------------------------------------

TEST(BigNumEqual, LooksOnlyAtWordsInUse) {
    const BigNum zero1 = fromWords({});
    BigNum zero2 = fromWords({});
    zero2.words[0] = 99;
    EXPECT_EQ(vc::bigNumEqual(&zero1, &zero2), 1);

    BigNum a = fromWords({1, 2, 3});
    BigNum b = fromWords({1, 2, 3});
    a.words[3] = 4;
    b.words[3] = 5;
    EXPECT_EQ(vc::bigNumEqual(&a, &b), 1);

    b.words[1] = 9;
    EXPECT_EQ(vc::bigNumEqual(&a, &b), 0);
    const BigNum shorter = fromWords({1, 2});
    EXPECT_EQ(vc::bigNumEqual(&a, &shorter), 0);
}

// ---------------------------------------------------------------------------

TEST(BigNumAdd, CarryGrowsTheNumber) {
    const BigNum a = fromWords({0xFFFFFFFF});
    const BigNum b = fromWords({1});
    BigNum out;
    EXPECT_EQ(vc::bigNumAdd(&a, &b, &out), 0u);
    EXPECT_TRUE(sameValue(out, fromWords({0, 1})));
}

TEST(BigNumAdd, CarryOutOfWord255IsReturned) {
    BigNum ones;
    for (uint32_t i = 0; i < 256; ++i) {
        ones.words[i] = 0xFFFFFFFF;
    }
    ones.length = 256;
    const BigNum one = fromWords({1});
    BigNum out;
    EXPECT_EQ(vc::bigNumAdd(&ones, &one, &out), 1u);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(vc::bigNumAdd(&one, &ones, &out), 1u);
    EXPECT_EQ(out.length, 0u);
}

TEST(BigNumAdd, OutputMayBeEitherOperand) {
    BigNum a = fromWords({0xFFFFFFFF, 0xFFFFFFFF, 5});
    BigNum b = fromWords({1});
    vc::bigNumAdd(&a, &b, &a);
    EXPECT_TRUE(sameValue(a, fromWords({0, 0, 6})));
    BigNum c = fromWords({2, 3});
    vc::bigNumAdd(&a, &c, &c);
    EXPECT_TRUE(sameValue(c, fromWords({2, 3, 6})));
}

TEST(BigNumSub, BorrowLeavesTheTwosComplementRecord) {
    const BigNum five = fromWords({5});
    const BigNum seven = fromWords({7});
    BigNum out = fromWords({});
    EXPECT_EQ(vc::bigNumSub(&five, &seven, &out), 1u);
    ASSERT_EQ(out.length, 256u);
    EXPECT_EQ(out.words[0], 0xFFFFFFFEu);
    for (uint32_t i = 1; i < 256; ++i) {
        ASSERT_EQ(out.words[i], 0xFFFFFFFFu) << i;
    }
}

TEST(BigNumSub, EqualOperandsGiveZero) {
    const BigNum seven = fromWords({7});
    BigNum out = fromWords({1, 1});
    EXPECT_EQ(vc::bigNumSub(&seven, &seven, &out), 0u);
    EXPECT_EQ(out.length, 0u);
}

TEST(BigNumSub, OutputMayBeTheSubtrahend) {
    const BigNum a = fromWords({0, 0, 1});
    BigNum b = fromWords({1});
    EXPECT_EQ(vc::bigNumSub(&a, &b, &b), 0u);
    EXPECT_TRUE(sameValue(b, fromWords({0xFFFFFFFF, 0xFFFFFFFF})));
}

TEST(BigNumAddSub, AgreeWithOpenSsl) {
    std::mt19937 rng(202);
    BN_CTX* ctx = BN_CTX_new();
    Bn ref(BN_new());
    for (int iter = 0; iter < 2000; ++iter) {
        const BigNum a = randomNumber(rng, randomLength(rng, 256));
        const BigNum b = randomNumber(rng, randomLength(rng, 256));
        Bn ba = toBn(a);
        Bn bb = toBn(b);
        BigNum sum;
        const uint32_t carry = vc::bigNumAdd(&a, &b, &sum);
        BN_add(ref.get(), ba.get(), bb.get());
        if (BN_num_bits(ref.get()) > 8192) {
            ASSERT_EQ(carry, 1u);
            BN_mask_bits(ref.get(), 8192);
        } else {
            ASSERT_EQ(carry, 0u);
        }
        ASSERT_TRUE(sameValue(sum, fromBn(ref.get())));

        BigNum diff;
        const uint32_t borrow = vc::bigNumSub(&a, &b, &diff);
        const bool less = BN_cmp(ba.get(), bb.get()) < 0;
        ASSERT_EQ(borrow, less ? 1u : 0u);
        if (less) {
            // 2^8192 + a - b.
            BN_sub(ref.get(), ba.get(), bb.get());
            Bn wrap(BN_new());
            BN_set_bit(wrap.get(), 8192);
            BN_add(ref.get(), ref.get(), wrap.get());
            ASSERT_EQ(diff.length, 256u);
            BigNum want = fromBn(ref.get());
            ASSERT_EQ(0, std::memcmp(diff.words, want.words, 256 * sizeof(uint32_t)));
        } else {
            BN_sub(ref.get(), ba.get(), bb.get());
            ASSERT_TRUE(sameValue(diff, fromBn(ref.get())));
        }
    }
    BN_CTX_free(ctx);
}

// ---------------------------------------------------------------------------

TEST(BigNumMul, ProductThatWouldNotFitIsZero) {
    std::mt19937 rng(303);
    const BigNum a = randomNumber(rng, 200);
    const BigNum b57 = randomNumber(rng, 57);
    BigNum out = fromWords({1});
    vc::bigNumMul(&a, &b57, &out);
    EXPECT_EQ(out.length, 0u);
    vc::bigNumMul(&b57, &a, &out);
    EXPECT_EQ(out.length, 0u);

    BN_CTX* ctx = BN_CTX_new();
    const BigNum b56 = randomNumber(rng, 56);
    vc::bigNumMul(&a, &b56, &out);
    Bn ref(BN_new());
    BN_mul(ref.get(), toBn(a).get(), toBn(b56).get(), ctx);
    EXPECT_TRUE(sameValue(out, fromBn(ref.get())));
    BN_CTX_free(ctx);
}

TEST(BigNumMul, ZeroOperandGivesZero) {
    const BigNum zero = fromWords({});
    const BigNum x = fromWords({3, 4});
    BigNum out = fromWords({9});
    vc::bigNumMul(&zero, &x, &out);
    EXPECT_EQ(out.length, 0u);
    vc::bigNumMul(&x, &zero, &out);
    EXPECT_EQ(out.length, 0u);
}

TEST(BigNumMul, AllOnesProductsCarryThroughEveryWord) {
    // (2^(32k) - 1)^2 = 2^(64k) - 2^(32k+1) + 1: carries ripple the full row.
    for (uint32_t k : {1u, 2u, 17u, 128u}) {
        BigNum ones;
        for (uint32_t i = 0; i < k; ++i) {
            ones.words[i] = 0xFFFFFFFF;
        }
        ones.length = k;
        BigNum prod;
        BigNum sq;
        vc::bigNumMul(&ones, &ones, &prod);
        vc::bigNumSquare(&ones, &sq);
        BigNum want;
        want.length = 2 * k;
        for (uint32_t i = 0; i < 2 * k; ++i) {
            want.words[i] = i < k ? 0 : 0xFFFFFFFF;
        }
        want.words[0] = 1;
        want.words[k] = 0xFFFFFFFE;
        EXPECT_TRUE(sameValue(prod, want)) << k;
        EXPECT_TRUE(sameValue(sq, want)) << k;
    }
}

TEST(BigNumMul, AgreesWithOpenSsl) {
    std::mt19937 rng(404);
    BN_CTX* ctx = BN_CTX_new();
    Bn ref(BN_new());
    for (int iter = 0; iter < 1500; ++iter) {
        const uint32_t la = randomLength(rng, 255);
        const uint32_t lb = 1 + rng() % (256 - la);
        const BigNum a = randomNumber(rng, la);
        const BigNum b = randomNumber(rng, lb);
        BigNum out;
        vc::bigNumMul(&a, &b, &out);
        BN_mul(ref.get(), toBn(a).get(), toBn(b).get(), ctx);
        ASSERT_TRUE(sameValue(out, fromBn(ref.get()))) << la << "x" << lb;
    }
    BN_CTX_free(ctx);
}

TEST(BigNumSquare, SquareThatWouldNotFitIsZero) {
    std::mt19937 rng(505);
    const BigNum a129 = randomNumber(rng, 129);
    BigNum out = fromWords({1});
    vc::bigNumSquare(&a129, &out);
    EXPECT_EQ(out.length, 0u);

    const BigNum a128 = randomNumber(rng, 128);
    vc::bigNumSquare(&a128, &out);
    BN_CTX* ctx = BN_CTX_new();
    Bn ref(BN_new());
    BN_sqr(ref.get(), toBn(a128).get(), ctx);
    EXPECT_TRUE(sameValue(out, fromBn(ref.get())));
    BN_CTX_free(ctx);

    const BigNum zero = fromWords({});
    vc::bigNumSquare(&zero, &out);
    EXPECT_EQ(out.length, 0u);
}

TEST(BigNumSquare, AgreesWithOpenSsl) {
    std::mt19937 rng(606);
    BN_CTX* ctx = BN_CTX_new();
    Bn ref(BN_new());
    for (int iter = 0; iter < 1500; ++iter) {
        const BigNum a = randomNumber(rng, randomLength(rng, 128));
        BigNum out;
        vc::bigNumSquare(&a, &out);
        BN_sqr(ref.get(), toBn(a).get(), ctx);
        ASSERT_TRUE(sameValue(out, fromBn(ref.get()))) << a.length;
    }
    BN_CTX_free(ctx);
}

// ---------------------------------------------------------------------------

TEST(BigNumDiv, ZeroDivisorGivesZeroQuotientAndRemainder) {
    const BigNum a = fromWords({5, 6});
    const BigNum zero = fromWords({});
    BigNum q = fromWords({1});
    BigNum r = fromWords({1});
    vc::bigNumDiv(&a, &zero, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(r.length, 0u);

    // A divisor record whose top word is zero is refused the same way.
    const BigNum unnormalised = fromWords({3, 0});
    q = fromWords({1});
    r = fromWords({1});
    vc::bigNumDiv(&a, &unnormalised, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(r.length, 0u);
}

TEST(BigNumDiv, DividendLongerThanCapacityIsRefused) {
    BigNum a;
    for (uint32_t i = 0; i < 257; ++i) {
        a.words[i] = i + 1;
    }
    a.length = 257;
    const BigNum b = fromWords({7});
    BigNum q = fromWords({1});
    BigNum r = fromWords({1});
    vc::bigNumDiv(&a, &b, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(r.length, 0u);
}

TEST(BigNumDiv, SingleWordDivisor) {
    // 2^64 / 0xFFFFFFFF = 2^32 + 1 remainder 1 (divisor already normalised).
    const BigNum a = fromWords({0, 0, 1});
    const BigNum b = fromWords({0xFFFFFFFF});
    BigNum q;
    BigNum r;
    vc::bigNumDiv(&a, &b, &q, &r);
    EXPECT_TRUE(sameValue(q, fromWords({1, 1})));
    EXPECT_TRUE(sameValue(r, fromWords({1})));

    // A small divisor is shifted up 29 bits and the remainder back down.
    const BigNum c = fromWords({100, 0, 0, 0x12345678});
    const BigNum seven = fromWords({7});
    vc::bigNumDiv(&c, &seven, &q, &r);
    BN_CTX* ctx = BN_CTX_new();
    Bn bq(BN_new());
    Bn br(BN_new());
    BN_div(bq.get(), br.get(), toBn(c).get(), toBn(seven).get(), ctx);
    EXPECT_TRUE(sameValue(q, fromBn(bq.get())));
    EXPECT_TRUE(sameValue(r, fromBn(br.get())));
    BN_CTX_free(ctx);

    // Exact division leaves a zero remainder of length 0.
    const BigNum fourteen = fromWords({14});
    vc::bigNumDiv(&fourteen, &seven, &q, &r);
    EXPECT_TRUE(sameValue(q, fromWords({2})));
    EXPECT_EQ(r.length, 0u);
}

TEST(BigNumDivWord, DividesByANormalisedWord) {
    const BigNum a = fromWords({0x89ABCDEF, 0x01234567, 0x7FFFFFFF});
    BigNum q;
    BigNum r;
    vc::bigNumDivWord(&a, 0x80000001u, &q, &r);
    // (0x7FFFFFFF_01234567_89ABCDEF) / 0x80000001, computed independently.
    BN_CTX* ctx = BN_CTX_new();
    Bn bq(BN_new());
    Bn br(BN_new());
    BN_div(bq.get(), br.get(), toBn(a).get(), toBn(fromWords({0x80000001u})).get(), ctx);
    EXPECT_TRUE(sameValue(q, fromBn(bq.get())));
    EXPECT_TRUE(sameValue(r, fromBn(br.get())));
    BN_CTX_free(ctx);

    const BigNum zero = fromWords({});
    vc::bigNumDivWord(&zero, 0x80000000u, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(r.length, 0u);
}

TEST(BigNumDiv, ShorterDividendIsTheRemainder) {
    const BigNum a = fromWords({1, 2, 3});
    const BigNum b = fromWords({1, 2, 3, 4, 5});
    BigNum q = fromWords({8});
    BigNum r;
    vc::bigNumDiv(&a, &b, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_TRUE(sameValue(r, a));

    const BigNum zero = fromWords({});
    vc::bigNumDiv(&zero, &b, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(r.length, 0u);
}

TEST(BigNumDiv, EstimateTwoTooLarge) {
    // Divisor 0x80000000_FFFFFFFF needs no shift. For the window
    // 0x7FFFFFFF_00000000_00000000 the two-word estimate 0x7FFFFFFF_00000000
    // / 0x80000000 is 0xFFFFFFFE, while the true digit is 0xFFFFFFFC: only
    // the second word 0xFFFFFFFF of the divisor reveals it, through both
    // refinement rounds.
    const BigNum a = fromWords({0, 0, 0x7FFFFFFF});
    const BigNum b = fromWords({0xFFFFFFFF, 0x80000000});
    BigNum q;
    BigNum r;
    vc::bigNumDiv(&a, &b, &q, &r);
    EXPECT_TRUE(sameValue(q, fromWords({0xFFFFFFFC})));
    EXPECT_TRUE(sameValue(r, fromWords({0xFFFFFFFC, 4})));
}

TEST(BigNumDiv, EstimateNeedsTheAddBack) {
    // Divisor 0x80000000_00000000_00000001: its second word is 0, so the
    // refinement cannot see the low 1 and the estimate 0xFFFFFFFE for the
    // window 0x7FFFFFFF_00000000_00000000_00000000 survives it. The
    // multiply-subtract then goes negative and the divisor is added back,
    // giving the true digit 0xFFFFFFFD.
    const BigNum a = fromWords({0, 0, 0, 0x7FFFFFFF});
    const BigNum b = fromWords({1, 0, 0x80000000});
    BigNum q;
    BigNum r;
    vc::bigNumDiv(&a, &b, &q, &r);
    EXPECT_TRUE(sameValue(q, fromWords({0xFFFFFFFD})));
    EXPECT_TRUE(sameValue(r, fromWords({3, 0xFFFFFFFF, 0x7FFFFFFF})));

    // Same-length operands where the estimate 1 is one too large.
    const BigNum c = fromWords({0, 0, 0x80000000});
    vc::bigNumDiv(&c, &b, &q, &r);
    EXPECT_EQ(q.length, 0u);
    EXPECT_TRUE(sameValue(r, c));
}

TEST(BigNumDiv, TopWordOfTheWindowEqualsTheDivisorTop) {
    // Divisor top word 0x80000000, no shift. In the first dividend the
    // window's top word equals it after one step, so the estimate is
    // 0xFFFFFFFF and one refinement follows. In the second the first window
    // (0x80000000, 0xFFFFFFFF, 0) just falls short of the divisor and needs
    // the add-back; the next window's top word equals the divisor's and
    // r-hat = 0xFFFFFFFF + 0x80000000 overflows, which stops refinement.
    const BigNum b = fromWords({0xFFFFFFFF, 0xFFFFFFFF, 0x80000000});
    const BigNum dividends[] = {
        fromWords({0x12345678, 0xFFFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000}),
        fromWords({0x12345678, 0, 0xFFFFFFFF, 0x80000000}),
    };
    BN_CTX* ctx = BN_CTX_new();
    Bn bq(BN_new());
    Bn br(BN_new());
    for (const BigNum& a : dividends) {
        BigNum q;
        BigNum r;
        vc::bigNumDiv(&a, &b, &q, &r);
        BN_div(bq.get(), br.get(), toBn(a).get(), toBn(b).get(), ctx);
        EXPECT_TRUE(sameValue(q, fromBn(bq.get())));
        EXPECT_TRUE(sameValue(r, fromBn(br.get())));
    }
    BN_CTX_free(ctx);
}

// Divisors and dividends shaped to hit the rare branches: top words of
// 0x80000000 and near-equal leading words of dividend and divisor.
TEST(BigNumDiv, AgreesWithOpenSsl) {
    std::mt19937 rng(707);
    BN_CTX* ctx = BN_CTX_new();
    Bn bq(BN_new());
    Bn br(BN_new());
    for (int iter = 0; iter < 4000; ++iter) {
        const uint32_t lb = randomLength(rng, 200);
        const uint32_t la = lb + rng() % (257 - lb);
        BigNum b = randomNumber(rng, lb);
        BigNum a = randomNumber(rng, la > 256 ? 256 : la);
        switch (rng() % 5) {
            case 0:
                b.words[lb - 1] = 0x80000000u;
                break;
            case 1:
                // Dividend's leading words copy the divisor's, minus a little.
                for (uint32_t k = 0; k < lb && k < a.length; ++k) {
                    a.words[a.length - 1 - k] = b.words[lb - 1 - k];
                }
                a.words[a.length - 1 - (rng() % (lb < a.length ? lb : a.length))] -= rng() % 3;
                break;
            case 2:
                b.words[lb - 1] = 1u << (rng() % 32);
                break;
            default:
                break;
        }
        if (a.words[a.length - 1] == 0) {
            a.words[a.length - 1] = 1;
        }
        BigNum q;
        BigNum r;
        std::memset(&q, 0x77, sizeof q);
        std::memset(&r, 0x77, sizeof r);
        vc::bigNumDiv(&a, &b, &q, &r);
        Bn ba = toBn(a);
        Bn bb = toBn(b);
        BN_div(bq.get(), br.get(), ba.get(), bb.get(), ctx);
        ASSERT_TRUE(sameValue(q, fromBn(bq.get()))) << a.length << "/" << lb;
        ASSERT_TRUE(sameValue(r, fromBn(br.get()))) << a.length << "/" << lb;
    }
    BN_CTX_free(ctx);
}

}  // namespace
