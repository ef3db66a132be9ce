// MD5 against OpenSSL's MD5 as an oracle: buffering across every split
// point and random splits, empty updates, copies taken mid-stream, the
// padding boundaries, the bit-count carry and the context fields md5Final
// leaves.
#include <gtest/gtest.h>
#include <openssl/md5.h>

#include <cstring>
#include <vector>

#include "crypto/md5.h"
#include "crypto/md5_support.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// Pieces of `piece` bytes that add up to length, and what is left (perhaps
// nothing) at the end.
std::vector<std::size_t> inPiecesOf(std::size_t length, std::size_t piece) {
    std::vector<std::size_t> pieces(length / piece, piece);
    pieces.push_back(length % piece);
    return pieces;
}

Bytes oracle(const uint8_t* data, std::size_t length) {
    Bytes digest(16);
    MD5(data, length, digest.data());
    return digest;
}

TEST(Md5Oracle, EveryLengthTo200WholeBytewiseAndInSevens) {
    // Crosses the padding boundaries three times: from 56 buffered bytes on
    // the length needs a second block, and 64 is the first whole block.
    std::mt19937 rng(1321);
    const Bytes data = randomData(rng, 200);
    for (std::size_t length = 0; length <= 200; ++length) {
        SCOPED_TRACE(length);
        const Bytes expected = oracle(data.data(), length);
        for (const std::size_t piece : {200, 1, 7}) {
            EXPECT_EQ(digestOf(data.data(), inPiecesOf(length, piece)), expected) << piece;
        }
    }
}

TEST(Md5Oracle, RandomInputsRandomSplitsUnaligned) {
    std::mt19937 rng(0x5eed);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        const Bytes data = randomData(rng, 8 + rng() % 5000);
        // Start at an odd offset so whole blocks are read from unaligned memory.
        const std::size_t start = rng() % 8;
        const std::size_t length = data.size() - start;
        ASSERT_EQ(digestOf(data.data() + start, randomSplit(rng, length, 300, 1, true)),
                  oracle(data.data() + start, length));
    }
}

TEST(Md5Oracle, BitCountCarriesIntoHighHalf) {
    // Both counters start just below 2^32 bits, as after 512 MiB of input,
    // so the carry and the high half reach the padded length.
    const uint8_t data[100] = {1, 2, 3};
    vc::Md5Context ours;
    MD5_CTX theirs;
    vc::md5Init(&ours);
    MD5_Init(&theirs);
    ours.bitCountLow = theirs.Nl = 0xFFFFFF00u;
    ours.bitCountHigh = theirs.Nh = 7;
    vc::md5Update(&ours, data, sizeof data);
    MD5_Update(&theirs, data, sizeof data);
    EXPECT_EQ(ours.bitCountHigh, 8u);
    Bytes digest(16), expected(16);
    vc::md5Final(digest.data(), &ours);
    MD5_Final(expected.data(), &theirs);
    EXPECT_EQ(digest, expected);
}

}  // namespace
