// Big-number arithmetic, Montgomery reduction and every exponentiation
// engine against OpenSSL's BIGNUM over random operands and the shapes that
// break carries and quotient estimates. The kernels, the constant-time
// engines on larger sizes and the CRT forms are in
// modexp_kernels_openssl_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "bignum/bignum_internal.h"
#include "bignum/bignum_support.h"
#include "support/openssl_bignum.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// Half short operands, half anywhere up to max words.
uint32_t randomLength(std::mt19937& rng, uint32_t max) {
    return (rng() % 2 == 0) ? 1 + rng() % 8 : 1 + rng() % max;
}

// Fixed inputs with leading zero bytes or nothing else, then lengths around
// every word boundary and past the 1024-byte capacity (of which only the
// last 1024 bytes count), then random ones. Each value goes back out into
// its own length, which pads, and into 1 to 6 bytes fewer, which keeps the
// low bytes.
TEST(BigNumBytes, RoundTripAgreesWithOpenSsl) {
    const Bytes fixedBytes[] = {{0, 0, 1}, {}, Bytes(9, 0), {1, 2, 3, 4, 5}};
    std::mt19937 rng(101);
    for (int iter = -4; iter < 300; ++iter) {
        const uint32_t fixed[] = {0, 1, 3, 4, 5, 1023, 1024, 1025, 1029};
        Bytes bytes;
        if (iter < 0) {
            bytes = fixedBytes[iter + 4];
        } else {
            bytes.resize(iter < 9 ? fixed[iter] : rng() % 1030);
            for (auto& b : bytes) {
                b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
            }
        }
        const auto count = static_cast<uint32_t>(bytes.size());
        SCOPED_TRACE(testing::Message() << "row " << iter << ", " << count << " bytes");
        BigNum x = fromWords({7, 7, 7});
        vc::bigNumFromBytes(bytes.data(), count, &x);
        const uint32_t used = std::min(count, 1024u);
        Bn ref(BN_bin2bn(bytes.data() + (count - used), static_cast<int>(used), nullptr));
        ASSERT_TRUE(sameValue(x, fromBn(ref.get())));

        const uint32_t shorter = used - std::min<uint32_t>(used, 1 + (iter + 4) % 6);
        for (const uint32_t length : {used, shorter}) {
            Bytes back(length, 0xEE);
            vc::bigNumToBytes(back.data(), length, &x);
            ASSERT_TRUE(std::equal(back.begin(), back.end(), bytes.end() - length)) << length;
        }
    }
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
        }
        BigNum want = fromBn(ref.get());
        std::fill(want.words + want.length, want.words + 256, 0u);
        ASSERT_EQ(diff.length, borrow != 0 ? 256u : want.length);
        ASSERT_EQ(0, std::memcmp(diff.words, want.words, 4 * diff.length));
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

// First the div rows of bignum.vec, each driving one rare path, then random
// operands shaped for the rare branches: divisors with a top word of
// 0x80000000 or a single bit, and dividends whose leading words copy the
// divisor's, minus a little. A one-word divisor with its top bit set also
// goes through bigNumDivWord.
TEST(BigNumDiv, AgreesWithOpenSsl) {
    const auto fixed = readVec("bignum.vec", "div", 14);
    std::mt19937 rng(707);
    BnCtx ctx(BN_CTX_new());
    Bn bq(BN_new());
    Bn br(BN_new());
    for (size_t iter = 0; iter < fixed.size() + 4000; ++iter) {
        BigNum a;
        BigNum b;
        if (iter < fixed.size()) {
            a = wordsOf(fixed[iter].fields[1]);
            b = wordsOf(fixed[iter].fields[2]);
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

// ---- Montgomery arithmetic and exponentiation ----

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
        ASSERT_TRUE(
            sameValue(out, opensslMontProduct(fromBn(t.get()), fromWords({1}), n, 32 * len)));
    }
}

// Operand shapes through every engine against OpenSSL: the modexp-shape
// rows of bignum.vec; exponents of 2, 3, 7, 8, 23 and 24 words, on both
// sides of each change of window width, on moduli whose 16 and 32 words
// take the unrolled kernels, with a top word that has leading zero bits or
// its top bit set; and every modulus length from 1 to 128 words twice, long
// exponents only on the shorter moduli to keep the run short.
TEST(BigNumModExp, AgreesWithOpenSsl) {
    struct Shape {
        uint32_t n, base, exponent, top;
    };
    std::vector<Shape> shapes;
    for (const auto& row : readVec("bignum.vec", "modexp-shape", 14)) {
        const auto number = [&](int i) { return static_cast<uint32_t>(std::stoul(row.fields[i])); };
        shapes.push_back({number(1), number(2), number(3), number(4)});
    }
    for (uint32_t elen : {1u, 2u, 3u, 7u, 8u, 23u, 24u, 40u}) {
        for (uint32_t nlen : {1u, 3u, 8u, 16u, 32u, 33u}) {
            for (uint32_t top : {0u, 1u, 0x10u, 0xFFFFu, 0x80000000u, 0xC0000001u}) {
                shapes.push_back({nlen, nlen, elen, top});
            }
        }
    }
    std::mt19937 rng(25);
    for (uint32_t iter = 0; iter < 256; ++iter) {
        const uint32_t nlen = 1 + iter % 128;
        const uint32_t blen = rng() % (2 * nlen < 256 - nlen ? 2 * nlen + 1 : 257 - nlen);
        const uint32_t elen = nlen > 24 ? 1 + rng() % 4 : 1 + rng() % (nlen + 2);
        shapes.push_back({nlen, blen, elen, 0});
    }
    for (const Shape& s : shapes) {
        SCOPED_TRACE(testing::Message() << "modulus " << s.n << " base " << s.base << " exponent "
                                        << s.exponent << ", top " << std::hex << s.top);
        const BigNum n = randomOddModulus(rng, s.n);
        const BigNum base = randomNumber(rng, s.base);
        BigNum e = randomNumber(rng, s.exponent);
        if (s.top != 0) {
            e.words[s.exponent - 1] = s.top;
        }
        ASSERT_TRUE(allEngines(base, e, n, opensslModExp(base, e, n),
                               PLAIN | INTERLEAVED_32 | INTERLEAVED_64));
        if (s.base == 0) {
            ASSERT_TRUE(
                allEngines(n, e, n, fromWords({}), PLAIN | INTERLEAVED_32 | INTERLEAVED_64));
        }
    }
}

}  // namespace
