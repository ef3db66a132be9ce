// MD5 against the RFC 1321 suite, whole and in every split into two
// updates. The comparison with OpenSSL's MD5 is in md5_openssl_test.cpp.
#include <gtest/gtest.h>

#include <string>

#include "crypto/md5_support.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

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

}  // namespace
