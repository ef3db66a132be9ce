// What the MD5 tests share: the digest of data fed in pieces, with the
// context checked after every piece and at the end. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/md5.h"
#include "support/test_vectors.h"

namespace vctest {

// Digest of data fed in the given pieces, from a context whose previous
// contents are junk (md5Init must not depend on them). After every piece the
// digest goes on in a copy of the context while the original is overwritten:
// a context is a plain value. Empty updates, with and without a buffer, must
// change nothing. md5Final leaves the digest in A..D, little-endian, the bit
// count as it was and the block empty.
inline Bytes digestOf(const uint8_t* data, const std::vector<std::size_t>& pieces) {
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

}  // namespace vctest
