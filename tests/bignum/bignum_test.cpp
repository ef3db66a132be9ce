// Big-number arithmetic: the boundary cases of each operation as table rows,
// then differential runs against OpenSSL's BIGNUM over random operands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "support/openssl_bignum.h"

namespace {

using namespace vctest;
using Bytes = std::vector<uint8_t>;

// Half short operands, half anywhere up to max words.
uint32_t randomLength(std::mt19937& rng, uint32_t max) {
    return (rng() % 2 == 0) ? 1 + rng() % 8 : 1 + rng() % max;
}

BigNum allOnes(uint32_t words) {
    BigNum x = fromWords({});
    std::fill(x.words, x.words + words, 0xFFFFFFFFu);
    x.length = words;
    return x;
}

TEST(BigNumBytes, EdgeCases) {
    const struct {
        Bytes in;
        BigNum want;
    } fromRows[] = {
        {{0x00, 0x00, 0x01}, fromWords({1})},  // leading zeros cost nothing
        {{}, fromWords({})},
        {Bytes(9, 0), fromWords({})},
        {{0x01, 0x02, 0x03, 0x04, 0x05}, fromWords({0x02030405, 0x01})},
    };
    for (const auto& row : fromRows) {
        SCOPED_TRACE(row.in.size());
        BigNum x = fromWords({7, 7, 7});
        vc::bigNumFromBytes(row.in.data(), static_cast<uint32_t>(row.in.size()), &x);
        EXPECT_TRUE(sameValue(x, row.want));
    }

    // 01 02 03 04 05 into fewer bytes keeps the low ones, into more pads.
    const BigNum value = fromWords({0x02030405, 0x01});
    const BigNum zero = fromWords({});
    for (const Bytes& want :
         {Bytes{2, 3, 4, 5}, Bytes{3, 4, 5}, Bytes{0, 0, 1, 2, 3, 4, 5}, Bytes(11, 0)}) {
        SCOPED_TRACE(want.size());
        Bytes out(want.size(), 0xEE);
        vc::bigNumToBytes(out.data(), static_cast<uint32_t>(out.size()),
                          want.size() == 11 ? &zero : &value);
        EXPECT_EQ(out, want);
    }
}

// Lengths around every word boundary and past the 1024-byte capacity (of
// which only the last 1024 bytes count), then random ones.
TEST(BigNumBytes, RoundTripAgreesWithOpenSsl) {
    std::mt19937 rng(101);
    for (int iter = 0; iter < 300; ++iter) {
        const uint32_t fixed[] = {0, 1, 3, 4, 5, 1023, 1024, 1025, 1029};
        const uint32_t count = iter < 9 ? fixed[iter] : rng() % 1030;
        SCOPED_TRACE(count);
        Bytes bytes(count);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
        }
        BigNum x;
        vc::bigNumFromBytes(bytes.data(), count, &x);
        const uint32_t used = std::min(count, 1024u);
        Bn ref(BN_bin2bn(bytes.data() + (count - used), static_cast<int>(used), nullptr));
        ASSERT_TRUE(sameValue(x, fromBn(ref.get())));

        Bytes back(used);
        vc::bigNumToBytes(back.data(), used, &x);
        ASSERT_TRUE(std::equal(back.begin(), back.end(), bytes.end() - used));
    }
}

TEST(BigNumEqual, LooksOnlyAtWordsInUse) {
    BigNum a = fromWords({1, 2, 3});
    BigNum b = fromWords({1, 2, 3});
    a.words[3] = 4;
    b.words[3] = 5;
    const BigNum zero = fromWords({});
    BigNum dirtyZero = fromWords({});
    dirtyZero.words[0] = 99;
    EXPECT_EQ(vc::bigNumEqual(&zero, &dirtyZero), 1);
    EXPECT_EQ(vc::bigNumEqual(&a, &b), 1);
    const BigNum shorter = fromWords({1, 2});
    EXPECT_EQ(vc::bigNumEqual(&a, &shorter), 0);
    b.words[1] = 9;
    EXPECT_EQ(vc::bigNumEqual(&a, &b), 0);
}

// The carry out of word 255 is returned, whichever operand is longer; a
// borrow leaves the 256-word two's complement of the difference.
TEST(BigNumAddSub, EdgeCases) {
    const BigNum one = fromWords({1});
    const BigNum five = fromWords({5});
    const BigNum seven = fromWords({7});
    const BigNum zero = fromWords({});
    BigNum minusTwo = allOnes(256);
    minusTwo.words[0] = 0xFFFFFFFE;
    const struct {
        const BigNum a, b;
        bool subtract;
        uint32_t carry;
        const BigNum want;
    } rows[] = {{allOnes(1), one, false, 0, fromWords({0, 1})},
                {allOnes(256), one, false, 1, zero},
                {one, allOnes(256), false, 1, zero},
                {five, seven, true, 1, minusTwo},
                {seven, seven, true, 0, zero}};
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        const auto& row = rows[i];
        BigNum out = fromWords({1, 1});
        const uint32_t carry = row.subtract ? vc::bigNumSub(&row.a, &row.b, &out)
                                            : vc::bigNumAdd(&row.a, &row.b, &out);
        EXPECT_EQ(carry, row.carry);
        ASSERT_EQ(out.length, row.want.length);
        EXPECT_EQ(0, std::memcmp(out.words, row.want.words, 4 * out.length));
    }

    // The output may be either operand.
    BigNum a = fromWords({0xFFFFFFFF, 0xFFFFFFFF, 5});
    vc::bigNumAdd(&a, &one, &a);
    EXPECT_TRUE(sameValue(a, fromWords({0, 0, 6})));
    BigNum c = fromWords({2, 3});
    vc::bigNumAdd(&a, &c, &c);
    EXPECT_TRUE(sameValue(c, fromWords({2, 3, 6})));
    BigNum b = fromWords({1});
    EXPECT_EQ(vc::bigNumSub(&a, &b, &b), 0u);
    EXPECT_TRUE(sameValue(b, fromWords({0xFFFFFFFF, 0xFFFFFFFF, 5})));
}

TEST(BigNumAddSub, AgreeWithOpenSsl) {
    std::mt19937 rng(202);
    Bn ref(BN_new());
    Bn wrap(BN_new());
    BN_set_bit(wrap.get(), 8192);
    for (int iter = 0; iter < 2000; ++iter) {
        const BigNum a = randomNumber(rng, randomLength(rng, 256));
        const BigNum b = randomNumber(rng, randomLength(rng, 256));
        SCOPED_TRACE(testing::Message() << a.length << " +- " << b.length);
        Bn ba = toBn(a);
        Bn bb = toBn(b);
        BigNum sum;
        const uint32_t carry = vc::bigNumAdd(&a, &b, &sum);
        BN_add(ref.get(), ba.get(), bb.get());
        ASSERT_EQ(carry, BN_num_bits(ref.get()) > 8192 ? 1u : 0u);
        BN_mask_bits(ref.get(), 8192);
        ASSERT_TRUE(sameValue(sum, fromBn(ref.get())));

        // A borrow leaves 2^8192 + a - b in all 256 words.
        BigNum diff;
        const uint32_t borrow = vc::bigNumSub(&a, &b, &diff);
        BN_sub(ref.get(), ba.get(), bb.get());
        ASSERT_EQ(borrow, BN_is_negative(ref.get()) ? 1u : 0u);
        if (borrow != 0) {
            BN_add(ref.get(), ref.get(), wrap.get());
            ASSERT_EQ(diff.length, 256u);
            BigNum want = fromBn(ref.get());
            std::fill(want.words + want.length, want.words + 256, 0u);
            ASSERT_EQ(0, std::memcmp(diff.words, want.words, 256 * sizeof(uint32_t)));
        } else {
            ASSERT_TRUE(sameValue(diff, fromBn(ref.get())));
        }
    }
}

// Products needing more than 256 words are zero: 200 x 57 words, and the
// square of 129 words, while 200 x 56 and the square of 128 are whole. So is
// a product with zero. The all-ones operands of randomNumber make every carry
// ripple through a whole row.
TEST(BigNumMul, MulAndSquareAgreeWithOpenSsl) {
    std::mt19937 rng(404);
    BnCtx ctx(BN_CTX_new());
    Bn ref(BN_new());
    const uint32_t fixed[][2] = {{200, 57}, {57, 200}, {200, 56}, {0, 5},
                                 {5, 0},    {129, 1},  {128, 1}};
    for (int iter = 0; iter < 3000; ++iter) {
        const uint32_t la = iter < 7 ? fixed[iter][0] : randomLength(rng, 255);
        const uint32_t lb = iter < 7 ? fixed[iter][1] : 1 + rng() % (257 - la);
        const BigNum a = randomNumber(rng, la);
        const BigNum b = randomNumber(rng, lb);
        SCOPED_TRACE(testing::Message() << la << "x" << lb);
        BigNum out = fromWords({1});
        vc::bigNumMul(&a, &b, &out);
        BN_mul(ref.get(), toBn(a).get(), toBn(b).get(), ctx.get());
        ASSERT_TRUE(sameValue(out, la + lb <= 256 ? fromBn(ref.get()) : fromWords({})));

        out = fromWords({1});
        vc::bigNumSquare(&a, &out);
        BN_sqr(ref.get(), toBn(a).get(), ctx.get());
        ASSERT_TRUE(sameValue(out, 2 * la <= 256 ? fromBn(ref.get()) : fromWords({})));
    }
}

// The first rows each drive one rare path, then come random operands shaped
// for the rare branches: divisors with a top word of 0x80000000 or a single
// bit, and dividends whose leading words copy the divisor's, minus a little.
// A zero divisor, a divisor whose top word is zero and a dividend beyond the
// capacity give zero quotient and remainder. A one-word divisor with its top
// bit set also goes through bigNumDivWord.
TEST(BigNumDiv, AgreesWithOpenSsl) {
    const BigNum fixed[][2] = {
        {fromWords({5, 6}), fromWords({})},
        {fromWords({5, 6}), fromWords({3, 0})},
        {allOnes(257), fromWords({7})},
        {fromWords({}), fromWords({0x80000000})},
        // 2^64 / 0xFFFFFFFF = 2^32 + 1 remainder 1: one word, no shift.
        {fromWords({0, 0, 1}), fromWords({0xFFFFFFFF})},
        // One small word, shifted up 29 bits and the remainder back down.
        {fromWords({100, 0, 0, 0x12345678}), fromWords({7})},
        {fromWords({14}), fromWords({7})},
        // Dividend shorter than the divisor: it is the remainder.
        {fromWords({1, 2, 3}), fromWords({1, 2, 3, 4, 5})},
        {fromWords({}), fromWords({1, 2, 3, 4, 5})},
        // Estimate 0xFFFFFFFE, true digit 0xFFFFFFFC: only the divisor's
        // second word 0xFFFFFFFF reveals it, through both refinements.
        {fromWords({0, 0, 0x7FFFFFFF}), fromWords({0xFFFFFFFF, 0x80000000})},
        // The divisor's second word is 0, so refinement cannot see its low 1:
        // the estimate 0xFFFFFFFE survives and the add-back gives 0xFFFFFFFD.
        {fromWords({0, 0, 0, 0x7FFFFFFF}), fromWords({1, 0, 0x80000000})},
        // Same lengths, estimate 1 one too large.
        {fromWords({0, 0, 0x80000000}), fromWords({1, 0, 0x80000000})},
        // The window's top word equals the divisor's: estimate 0xFFFFFFFF and
        // one refinement; in the second, after an add-back, r-hat overflows
        // and refinement must stop.
        {fromWords({0x12345678, 0xFFFFFFFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000}),
         fromWords({0xFFFFFFFF, 0xFFFFFFFF, 0x80000000})},
        {fromWords({0x12345678, 0, 0xFFFFFFFF, 0x80000000}),
         fromWords({0xFFFFFFFF, 0xFFFFFFFF, 0x80000000})},
    };
    std::mt19937 rng(707);
    BnCtx ctx(BN_CTX_new());
    Bn bq(BN_new());
    Bn br(BN_new());
    for (size_t iter = 0; iter < std::size(fixed) + 4000; ++iter) {
        BigNum a;
        BigNum b;
        if (iter < std::size(fixed)) {
            a = fixed[iter][0];
            b = fixed[iter][1];
        } else {
            const uint32_t lb = randomLength(rng, 200);
            const uint32_t la = std::min<uint32_t>(lb + rng() % (257 - lb), 256);
            b = randomNumber(rng, lb);
            a = randomNumber(rng, la);
            const uint32_t shape = rng() % 5;
            if (shape == 0 || shape == 1) {
                b.words[lb - 1] = shape == 0 ? 0x80000000u : 1u << (rng() % 32);
            } else if (shape == 2) {
                std::copy(b.words, b.words + lb, a.words + la - lb);
                a.words[la - 1 - rng() % lb] -= rng() % 3;
                a.words[la - 1] |= a.words[la - 1] == 0 ? 1 : 0;
            }
        }
        SCOPED_TRACE(testing::Message() << "row " << iter << ": " << a.length << "/" << b.length);
        BigNum q;
        BigNum r;
        std::memset(&q, 0x77, sizeof q);
        std::memset(&r, 0x77, sizeof r);
        vc::bigNumDiv(&a, &b, &q, &r);
        if (b.length == 0 || b.words[b.length - 1] == 0 || a.length > 256) {
            ASSERT_EQ(q.length, 0u);
            ASSERT_EQ(r.length, 0u);
            continue;
        }
        BN_div(bq.get(), br.get(), toBn(a).get(), toBn(b).get(), ctx.get());
        ASSERT_TRUE(sameValue(q, fromBn(bq.get())));
        ASSERT_TRUE(sameValue(r, fromBn(br.get())));
        if (b.length == 1 && (b.words[0] >> 31) != 0) {
            q = r = fromWords({1});
            vc::bigNumDivWord(&a, b.words[0], &q, &r);
            ASSERT_TRUE(sameValue(q, fromBn(bq.get())));
            ASSERT_TRUE(sameValue(r, fromBn(br.get())));
        }
    }
}

}  // namespace
