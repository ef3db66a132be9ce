// RC4 against the RFC 6229 keystreams, in random pieces, and, where
// OpenSSL is linked (VC_TEST_OPENSSL), against its RC4 as an oracle: key
// lengths 1..256 and beyond, arbitrary chunking, re-keying a used state,
// and the indices written back to the state.
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/rc4.h>
#endif

#include "crypto/rc4.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

TEST(Rc4Vectors, Rfc6229KeystreamsInRandomPieces) {
    // Pieces of 0..20 bytes cross the 8-byte batches at every alignment.
    std::mt19937 rng(6229);
    Bytes stream;
    int keys = 0, vectors = 0;
    for (const auto& line : readVec("rc4.vec")) {
        if (line.fields[0] == "Key") {
            const Bytes key = fromHex(line.value);
            vc::Rc4State state;
            vc::rc4SetKey(key.data(), static_cast<uint32_t>(key.size()), &state);
            stream.assign(4112, 0);
            std::size_t done = 0;
            for (const std::size_t n : randomSplit(rng, stream.size(), 21, 1, true)) {
                vc::rc4Crypt(stream.data() + done, static_cast<uint32_t>(n), &state);
                done += n;
            }
            ++keys;
            continue;
        }
        const std::size_t offset = std::stoul(line.fields.at(1));
        SCOPED_TRACE(testing::Message() << "key " << keys << " offset " << offset);
        ASSERT_EQ(line.value.size(), 32u);
        EXPECT_EQ(toHex(stream.data() + offset, 16), line.value);
        ++vectors;
    }
    EXPECT_EQ(keys, 14);
    EXPECT_EQ(vectors, 14 * 18);
}

#if defined(VC_TEST_OPENSSL)

TEST(Rc4Oracle, EveryKeyLengthRandomChunkingAndStateWrittenBack) {
    // Key lengths 1..300 in turn (bytes past the 256th are unused), each on
    // the same state re-keyed, so a setup that kept x, y or part of S from
    // the previous keystream shows up. Empty pieces, with and without a
    // buffer, must leave the state alone. Pieces of up to 300 bytes start
    // at every x, past the 128 from which whole 64-byte chunks are drawn.
    std::mt19937 rng(258);
    vc::Rc4State ours;
    for (std::size_t keyLength = 1; keyLength <= 300; ++keyLength) {
        SCOPED_TRACE(keyLength);
        const Bytes key = randomData(rng, keyLength);
        const Bytes data = randomData(rng, rng() % 3000);
        vc::rc4SetKey(key.data(), static_cast<uint32_t>(keyLength), &ours);
        RC4_KEY theirs;
        RC4_set_key(&theirs, static_cast<int>(std::min<std::size_t>(keyLength, 256)), key.data());
        Bytes mine = data, expected(data.size());
        RC4(&theirs, data.size(), data.data(), expected.data());
        std::size_t done = 0;
        for (const std::size_t n : randomSplit(rng, data.size(), 300, 1, true)) {
            vc::rc4Crypt(mine.data() + done, static_cast<uint32_t>(n), &ours);
            vc::rc4Crypt(nullptr, 0, &ours);
            done += n;
        }
        ASSERT_EQ(mine, expected);
        ASSERT_EQ(ours.x, theirs.x);
        ASSERT_EQ(ours.y, theirs.y);
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(ours.s[i], theirs.data[i]) << "S[" << i << "]";
        }
    }
}

#endif  // VC_TEST_OPENSSL

}  // namespace
