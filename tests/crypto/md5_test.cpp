// MD5 against the RFC 1321 suite and against OpenSSL's MD5 as an oracle:
// buffering across every split point, copies taken mid-stream, the padding
// boundaries and the context fields md5Final leaves behind.
#include <gtest/gtest.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/md5.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes digestOf(const uint8_t* data, std::size_t length, std::size_t piece) {
    vc::Md5Context context;
    vc::md5Init(&context);
    for (std::size_t done = 0; done < length; done += piece) {
        const std::size_t n = std::min(piece, length - done);
        vc::md5Update(&context, data + done, static_cast<uint32_t>(n));
    }
    Bytes digest(16);
    vc::md5Final(digest.data(), &context);
    return digest;
}

Bytes oracle(const uint8_t* data, std::size_t length) {
    Bytes digest(16);
    MD5(data, length, digest.data());
    return digest;
}

Bytes randomBytes(std::mt19937& rng, std::size_t length) {
    Bytes bytes(length);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    return bytes;
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

TEST(Md5Vectors, Rfc1321SuiteWholeSplitAndCopied) {
    std::ifstream file(VC_TEST_DATA_DIR "/md5.vec");
    ASSERT_TRUE(file.is_open());
    std::string line, message;
    int vectors = 0;
    while (std::getline(file, line)) {
        if (line.rfind("Message = \"", 0) == 0) {
            message = line.substr(11, line.size() - 12);
            continue;
        }
        if (line.rfind("Digest = ", 0) != 0) {
            continue;
        }
        const Bytes expected = fromHex(line.substr(9));
        const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
        EXPECT_EQ(digestOf(bytes, message.size(), 1000), expected) << message;
        EXPECT_EQ(digestOf(bytes, message.size(), 1), expected) << message;
        // Every split into two updates, finishing a copy taken at the split.
        for (std::size_t split = 0; split <= message.size(); ++split) {
            vc::Md5Context context;
            vc::md5Init(&context);
            vc::md5Update(&context, bytes, static_cast<uint32_t>(split));
            vc::Md5Context copy = context;
            vc::md5Update(&copy, bytes + split, static_cast<uint32_t>(message.size() - split));
            Bytes digest(16);
            vc::md5Final(digest.data(), &copy);
            EXPECT_EQ(digest, expected) << message << " split at " << split;
        }
        ++vectors;
    }
    EXPECT_EQ(vectors, 7);
}

TEST(Md5Vectors, StepConstantsFollowSineFormula) {
    for (int i = 0; i < 64; ++i) {
        const long double value =
            std::floor(std::fabs(std::sin(static_cast<long double>(i + 1))) * 4294967296.0L);
        EXPECT_EQ(vc::MD5_STEP_CONSTANTS[i], static_cast<uint32_t>(value)) << "step " << i;
    }
}

TEST(Md5Oracle, EveryLengthTo200WholeBytewiseAndInSevens) {
    // Crosses the padding boundaries three times: from 56 buffered bytes on
    // the length needs a second block, and 64 is the first whole block.
    std::mt19937 rng(1321);
    const Bytes data = randomBytes(rng, 200);
    for (std::size_t length = 0; length <= 200; ++length) {
        const Bytes expected = oracle(data.data(), length);
        EXPECT_EQ(digestOf(data.data(), length, 200), expected) << length;
        EXPECT_EQ(digestOf(data.data(), length, 1), expected) << length;
        EXPECT_EQ(digestOf(data.data(), length, 7), expected) << length;
    }
}

TEST(Md5Oracle, RandomInputsRandomSplitsUnalignedAndCopied) {
    std::mt19937 rng(0x5eed);
    for (int round = 0; round < 400; ++round) {
        const Bytes data = randomBytes(rng, 8 + rng() % 5000);
        // Start at an odd offset so whole blocks are read from unaligned memory.
        const std::size_t start = rng() % 8;
        const std::size_t length = data.size() - start;
        const std::size_t copyAt = rng() % (length + 1);
        vc::Md5Context context, copy;
        vc::md5Init(&context);
        std::size_t done = 0;
        while (done < length) {
            if (done <= copyAt) {
                copy = context;  // last snapshot at or before copyAt
            }
            const std::size_t n = std::min<std::size_t>(rng() % 300, length - done);
            vc::md5Update(&context, data.data() + start + done, static_cast<uint32_t>(n));
            done += n;
        }
        Bytes digest(16);
        vc::md5Final(digest.data(), &context);
        ASSERT_EQ(digest, oracle(data.data() + start, length)) << "round " << round;

        // The copy continues on a different tail and must not see the original's bytes.
        const std::size_t copied = (copy.bitCountLow / 8);
        const Bytes tail = randomBytes(rng, rng() % 700);
        Bytes other(data.begin() + static_cast<long>(start),
                    data.begin() + static_cast<long>(start + copied));
        other.insert(other.end(), tail.begin(), tail.end());
        vc::md5Update(&copy, tail.data(), static_cast<uint32_t>(tail.size()));
        vc::md5Final(digest.data(), &copy);
        ASSERT_EQ(digest, oracle(other.data(), other.size())) << "round " << round;
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
    EXPECT_EQ(ours.bitCountLow, 0xFFFFFF00u + 800u);
    EXPECT_EQ(ours.bitCountHigh, 8u);
    Bytes digest(16), expected(16);
    vc::md5Final(digest.data(), &ours);
    MD5_Final(expected.data(), &theirs);
    EXPECT_EQ(digest, expected);
}

TEST(Md5Context, ZeroLengthUpdateChangesNothing) {
    const uint8_t data[70] = {9};
    vc::Md5Context context;
    vc::md5Init(&context);
    for (uint32_t length : {0u, 3u, 64u, 3u}) {
        vc::md5Update(&context, data, length);
        const vc::Md5Context before = context;
        vc::md5Update(&context, data, 0);
        vc::md5Update(&context, nullptr, 0);
        EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
    }
}

TEST(Md5Context, StaleContentsDoNotLeakIntoNextMessage) {
    std::mt19937 rng(7);
    const Bytes data = randomBytes(rng, 150);
    for (std::size_t length = 0; length <= 150; length += 5) {
        vc::Md5Context context;
        std::memset(&context, 0xA5, sizeof context);
        vc::md5Init(&context);
        vc::md5Update(&context, data.data(), static_cast<uint32_t>(length));
        Bytes digest(16);
        vc::md5Final(digest.data(), &context);
        EXPECT_EQ(digest, oracle(data.data(), length)) << length;
    }
}

TEST(Md5Context, FinalLeavesDigestWordsBitCountAndEmptyBlock) {
    const uint8_t data[57] = {0x61};
    for (uint32_t length : {0u, 55u, 56u, 57u}) {
        vc::Md5Context context;
        vc::md5Init(&context);
        vc::md5Update(&context, data, length);
        uint8_t digest[16];
        vc::md5Final(digest, &context);
        const uint32_t words[4] = {context.a, context.b, context.c, context.d};
        uint8_t fromWords[16];
        for (int i = 0; i < 16; ++i) {
            fromWords[i] = static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4)));
        }
        EXPECT_EQ(std::memcmp(digest, fromWords, 16), 0) << length;
        EXPECT_EQ(context.bitCountLow, 8 * length);
        EXPECT_EQ(context.bitCountHigh, 0u);
        EXPECT_EQ(context.blockBytes, 0);
    }
}

}  // namespace
