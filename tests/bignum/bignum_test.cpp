// Big-number known answers: the boundary cases of addition, subtraction,
// comparison, the window scan, every exponentiation engine and the CRT
// recombination, as rows of bignum.vec. The differential runs against
// OpenSSL's BIGNUM are in bignum_openssl_test.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bignum/bignum_support.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// The steps of the scan from the top bit, each as
// "count,value,zeroRun,positionAfter".
std::vector<std::string> scan(const BigNum& e, uint32_t w) {
    std::vector<std::string> steps;
    int32_t position = static_cast<int32_t>(32 * e.length) - 1;
    uint32_t value = 99;
    uint32_t zeroRun = 99;
    while (const uint32_t count = vc::bigNumNextWindow(&e, &position, w, &value, &zeroRun)) {
        char step[48];
        std::snprintf(step, sizeof step, "%u,%u,%u,%d", count, value, zeroRun, position);
        steps.push_back(step);
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

// The known-answer rows of bignum.vec (its div and modexp-shape rows feed
// the differential tests): add and sub, each with a fresh output and with
// the output in place of either operand; equal; the scans of window; modexp
// through every engine that takes the operands; crt on the key their comment gives.
TEST(BigNumVectors, KnownAnswers) {
    const BigNum dP = fromWords({53}), dQ = fromWords({49}), p = fromWords({61});
    const BigNum q = fromWords({53}), qInv = fromWords({38});
    const std::pair<const char*, std::size_t> kinds[] = {{"add", 5},    {"sub", 3},    {"equal", 5},
                                                         {"window", 4}, {"modexp", 6}, {"crt", 3}};
    for (const auto& [kind, count] : kinds) {
        for (const auto& row : readVec("bignum.vec", kind, count)) {
            SCOPED_TRACE(row.text);
            const auto& f = row.fields;
            const std::vector<std::string> want = readFields(row.value);
            if (f[0] == "add" || f[0] == "sub") {
                const BigNum expected = wordsOf(want.at(1));
                for (int into = 0; into < 3; ++into) {
                    BigNum a = wordsOf(f[1]);
                    BigNum b = wordsOf(f[2]);
                    BigNum fresh = fromWords({1, 1});
                    BigNum* out = into == 0 ? &fresh : into == 1 ? &a : &b;
                    const uint32_t carry =
                        f[0] == "sub" ? vc::bigNumSub(&a, &b, out) : vc::bigNumAdd(&a, &b, out);
                    EXPECT_EQ(carry, std::stoul(want.at(0))) << "into " << into;
                    ASSERT_EQ(out->length, expected.length) << "into " << into;
                    EXPECT_EQ(0, std::memcmp(out->words, expected.words, 4 * out->length));
                }
            } else if (f[0] == "equal") {
                const BigNum a = wordsOf(f[1]);
                BigNum b = wordsOf(f[2]);
                b.words[b.length] = a.words[b.length] + 1;
                EXPECT_EQ(vc::bigNumEqual(&a, &b), std::stoul(row.value));
            } else if (f[0] == "window") {
                EXPECT_EQ(scan(wordsOf(f[1]), std::stoul(f[2])), want);
            } else if (f[0] == "modexp") {
                EXPECT_TRUE(
                    allEngines(wordsOf(f[1]), wordsOf(f[2]), wordsOf(f[3]), wordsOf(row.value)));
            } else {
                const BigNum c = wordsOf(f[1]);
                BigNum out;
                vc::bigNumModExpCrt(&c, &dP, &dQ, &p, &q, &qInv, &out);
                EXPECT_TRUE(sameValue(out, wordsOf(row.value)));
            }
        }
    }
}

}  // namespace
