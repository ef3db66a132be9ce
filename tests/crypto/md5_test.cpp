// MD5 against the RFC 1321 suite, whole and in every split into two
// updates, and, where OpenSSL is linked (VC_TEST_OPENSSL), against its MD5
// as an oracle: buffering across every split point and random splits,
// empty updates, copies taken mid-stream, the padding boundaries, the
// bit-count carry and the context fields md5Final leaves.
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/md5.h>
#endif

#include <cstring>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// Digest of data fed in the given pieces, from a context whose previous
// contents are junk (md5Init must not depend on them). After every piece the
// digest goes on in a copy of the context while the original is overwritten:
// a context is a plain value. Empty updates, with and without a buffer, must
// change nothing. md5Final leaves the digest in A..D, little-endian, the bit
// count as it was and the block empty.
Bytes digestOf(const uint8_t* data, const std::vector<std::size_t>& pieces) {
    vc::Md5Context context;
    std::memset(&context, 0xA5, sizeof context);
    vc::md5Init(&context);
    std::size_t done = 0;
    for (const std::size_t piece : pieces) {
        const vc::Md5Context before = context;
        vc::md5Update(&context, data + done, 0);
        vc::md5Update(&context, nullptr, 0);
        EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0) << "empty update";
        vc::md5Update(&context, data + done, static_cast<uint32_t>(piece));
        done += piece;
        const vc::Md5Context copy = context;
        std::memset(&context, 0x5A, sizeof context);
        context = copy;
    }
    Bytes digest(16);
    vc::md5Final(digest.data(), &context);
    const uint32_t words[4] = {context.a, context.b, context.c, context.d};
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(digest[i], static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4))));
    }
    EXPECT_EQ(context.bitCountLow, 8 * done);
    EXPECT_EQ(context.bitCountHigh, 0u);
    EXPECT_EQ(context.blockBytes, 0);
    return digest;
}

// Each message whole and in every split into two updates.
TEST(Md5Vectors, Rfc1321SuiteWholeAndSplit) {
    std::string message;
    int vectors = 0;
    for (const auto& line : readVec("md5.vec")) {
        if (line.fields[0] == "Message") {
            message = line.value;
            continue;
        }
        SCOPED_TRACE(message);
        const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
        EXPECT_EQ(digestOf(bytes, {message.size()}), fromHex(line.value));
        for (std::size_t split = 0; split <= message.size(); ++split) {
            EXPECT_EQ(digestOf(bytes, {split, message.size() - split}), fromHex(line.value))
                << "split at " << split;
        }
        ++vectors;
    }
    EXPECT_EQ(vectors, 7);
}

#if defined(VC_TEST_OPENSSL)

Bytes oracle(const uint8_t* data, std::size_t length) {
    Bytes digest(16);
    MD5(data, length, digest.data());
    return digest;
}

// Every length to 200 whole, bytewise and in sevens (each then with what is
// left), and to 55 in one block by md5Short, crossing the padding
// boundaries three times: from 56 buffered bytes on the length needs a
// second block, and 64 is the first whole block. Then random inputs in
// random splits, starting at an odd offset so that whole blocks are read
// from unaligned memory.
TEST(Md5Oracle, EveryLengthTo200AndRandomSplitsUnaligned) {
    std::mt19937 rng(1321);
    const Bytes data = randomData(rng, 200);
    for (std::size_t length = 0; length <= 200; ++length) {
        for (const std::size_t piece : {200, 1, 7}) {
            std::vector<std::size_t> pieces(length / piece, piece);
            pieces.push_back(length % piece);
            EXPECT_EQ(digestOf(data.data(), pieces), oracle(data.data(), length)) << length;
        }
        if (length <= vc::MD5_SHORT_MAX) {
            Bytes shortDigest(16);
            vc::md5Short(data.data(), static_cast<uint32_t>(length), shortDigest.data());
            EXPECT_EQ(shortDigest, oracle(data.data(), length)) << "md5Short " << length;
        }
    }
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(round);
        const Bytes input = randomData(rng, 8 + rng() % 5000);
        const std::size_t start = rng() % 8;
        const std::size_t length = input.size() - start;
        ASSERT_EQ(digestOf(input.data() + start, randomSplit(rng, length, 300, 1, true)),
                  oracle(input.data() + start, length));
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

#endif  // VC_TEST_OPENSSL

}  // namespace
