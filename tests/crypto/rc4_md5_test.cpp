// The one-pass RC4 record against MD5 and RC4 run one after the other and,
// where OpenSSL is linked, against its MD5 and RC4: every record length from
// 16 to 320 and the lengths around each 64-byte boundary up to 4 KiB, on
// keystreams that run on from record to record, sealing and opening; and a
// record with one byte changed, or opened under another sequence number,
// must not carry the MAC its body calls for.
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/md5.h>
#include <openssl/rc4.h>
#endif

#include <cstring>

#include "crypto/md5.h"
#include "crypto/rc4_md5.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

std::vector<uint32_t> recordLengths() {
    std::vector<uint32_t> lengths;
    for (uint32_t n = 16; n <= 320; ++n) {
        lengths.push_back(n);
    }
    for (uint32_t edge = 384; edge <= 4096; edge += 64) {
        for (uint32_t n = edge - 3; n <= edge + 3; ++n) {
            lengths.push_back(n);
        }
    }
    lengths.push_back(16 + 1 + 16384);
    return lengths;
}

// The MAC over secret, body and suffix into the first 16 bytes, then the
// keystream over the whole record.
Bytes sealedInTwoPasses(Bytes record, const Bytes& secret, const Bytes& suffix,
                        vc::Rc4State* state) {
    vc::Md5Context md5;
    vc::md5Init(&md5);
    vc::md5Update(&md5, secret.data(), 16);
    vc::md5Update(&md5, record.data() + 16, static_cast<uint32_t>(record.size() - 16));
    vc::md5Update(&md5, suffix.data(), 4);
    vc::md5Final(record.data(), &md5);
    vc::rc4Crypt(record.data(), static_cast<uint32_t>(record.size()), state);
    return record;
}

#if defined(VC_TEST_OPENSSL)
Bytes sealedByOpenSsl(Bytes record, const Bytes& secret, const Bytes& suffix, RC4_KEY* key) {
    MD5_CTX md5;
    MD5_Init(&md5);
    MD5_Update(&md5, secret.data(), 16);
    MD5_Update(&md5, record.data() + 16, record.size() - 16);
    MD5_Update(&md5, suffix.data(), 4);
    MD5_Final(record.data(), &md5);
    RC4(key, record.size(), record.data(), record.data());
    return record;
}
#endif

TEST(Rc4Md5, SealsAndOpensAsTheTwoPassesDoAtEveryLength) {
    std::mt19937 rng(24);
    const Bytes key = randomData(rng, 16);
    vc::Rc4State stitched, twoPass, opener;
    vc::rc4SetKey(key.data(), 16, &stitched);
    twoPass = opener = stitched;
#if defined(VC_TEST_OPENSSL)
    RC4_KEY theirs;
    RC4_set_key(&theirs, 16, key.data());
#endif
    for (const uint32_t length : recordLengths()) {
        SCOPED_TRACE(length);
        const Bytes secret = randomData(rng, 16), suffix = randomData(rng, 4);
        Bytes record = randomData(rng, length);
        const Bytes body(record.begin() + 16, record.end());
        const Bytes expected = sealedInTwoPasses(record, secret, suffix, &twoPass);
#if defined(VC_TEST_OPENSSL)
        ASSERT_EQ(sealedByOpenSsl(record, secret, suffix, &theirs), expected);
#endif
        vc::rc4Md5Seal(record.data(), length, secret.data(), suffix.data(), &stitched);
        ASSERT_EQ(record, expected);
        uint8_t mac[16];
        vc::rc4Md5Open(record.data(), length, secret.data(), suffix.data(), &opener, mac);
        ASSERT_EQ(Bytes(record.begin() + 16, record.end()), body);
        ASSERT_EQ(Bytes(mac, mac + 16), Bytes(record.begin(), record.begin() + 16));
    }
    for (const vc::Rc4State* state : {&stitched, &opener}) {
        EXPECT_EQ(state->x, twoPass.x);
        EXPECT_EQ(state->y, twoPass.y);
        EXPECT_EQ(std::memcmp(state->s, twoPass.s, sizeof twoPass.s), 0);
    }
}

TEST(Rc4Md5, ChangedByteOrSequenceNumberBreaksTheMac) {
    std::mt19937 rng(2424);
    const Bytes key = randomData(rng, 16);
    vc::Rc4State sealer;
    vc::rc4SetKey(key.data(), 16, &sealer);
    for (const uint32_t length : recordLengths()) {
        SCOPED_TRACE(length);
        const Bytes secret = randomData(rng, 16);
        Bytes suffix = randomData(rng, 4);
        Bytes record = randomData(rng, length);
        vc::Rc4State opener = sealer;
        vc::rc4Md5Seal(record.data(), length, secret.data(), suffix.data(), &sealer);
        if (length % 2 == 0) {
            record[rng() % length] ^= static_cast<uint8_t>(1 + rng() % 255);
        } else {
            suffix[rng() % 4] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        uint8_t mac[16];
        vc::rc4Md5Open(record.data(), length, secret.data(), suffix.data(), &opener, mac);
        EXPECT_NE(Bytes(mac, mac + 16), Bytes(record.begin(), record.begin() + 16));
    }
}

}  // namespace
