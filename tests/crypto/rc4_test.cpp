// RC4 against the RFC 6229 keystreams, in random pieces. The comparison
// with OpenSSL's RC4 is in rc4_openssl_test.cpp.
#include <gtest/gtest.h>

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

}  // namespace
