// RC4 against the RFC 6229 keystreams and against OpenSSL's RC4 as an
// oracle: key lengths 1..256 and beyond, arbitrary chunking, the indices
// written back to the state.
#include <gtest/gtest.h>
#include <openssl/rc4.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "crypto/rc4.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes randomBytes(std::mt19937& rng, std::size_t length) {
    Bytes bytes(length);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    return bytes;
}

// Keystream of `length` bytes, produced in pieces of the given sizes in turn.
Bytes keystream(const Bytes& key, std::size_t length, const std::vector<uint32_t>& pieces) {
    vc::Rc4State state;
    vc::rc4SetKey(key.data(), static_cast<uint32_t>(key.size()), &state);
    Bytes out(length, 0);
    for (std::size_t done = 0, p = 0; done < length; ++p) {
        const uint32_t n =
            std::min<uint32_t>(pieces[p % pieces.size()], static_cast<uint32_t>(length - done));
        vc::rc4Crypt(out.data() + done, n, &state);
        done += n;
    }
    return out;
}

Bytes oracle(const Bytes& key, const Bytes& data) {
    RC4_KEY theirs;
    RC4_set_key(&theirs, static_cast<int>(std::min<std::size_t>(key.size(), 256)), key.data());
    Bytes out(data.size());
    RC4(&theirs, data.size(), data.data(), out.data());
    return out;
}

TEST(Rc4Vectors, Rfc6229Keystreams) {
    std::ifstream file(VC_TEST_DATA_DIR "/rc4.vec");
    ASSERT_TRUE(file.is_open());
    std::string line;
    Bytes whole, pieced;
    int keys = 0, vectors = 0;
    while (std::getline(file, line)) {
        if (line.rfind("Key = ", 0) == 0) {
            const Bytes key = fromHex(line.substr(6));
            whole = keystream(key, 4112, {4112});
            // Odd piece sizes cross the 8-byte batches at every alignment.
            pieced = keystream(key, 4112, {1, 7, 8, 9, 0, 15, 16, 17, 255, 3});
            EXPECT_EQ(whole, pieced) << line;
            ++keys;
        } else if (line.rfind("Offset ", 0) == 0) {
            const std::size_t offset = std::stoul(line.substr(7));
            const Bytes expected = fromHex(line.substr(line.find("= ") + 2));
            ASSERT_EQ(expected.size(), 16u);
            EXPECT_EQ(Bytes(whole.begin() + static_cast<long>(offset),
                            whole.begin() + static_cast<long>(offset + 16)),
                      expected)
                << "key " << keys << " offset " << offset;
            ++vectors;
        }
    }
    EXPECT_EQ(keys, 14);
    EXPECT_EQ(vectors, 14 * 18);
}

TEST(Rc4Oracle, EveryKeyLengthAndLongerKeys) {
    std::mt19937 rng(6229);
    const Bytes data = randomBytes(rng, 1000);
    for (std::size_t keyLength = 1; keyLength <= 300; ++keyLength) {
        const Bytes key = randomBytes(rng, keyLength);
        vc::Rc4State state;
        vc::rc4SetKey(key.data(), static_cast<uint32_t>(keyLength), &state);
        Bytes ours = data;
        vc::rc4Crypt(ours.data(), static_cast<uint32_t>(ours.size()), &state);
        ASSERT_EQ(ours, oracle(key, data)) << "key length " << keyLength;
    }
}

TEST(Rc4Oracle, RandomChunkingUnalignedWithStateWrittenBack) {
    std::mt19937 rng(258);
    for (int round = 0; round < 300; ++round) {
        const Bytes key = randomBytes(rng, 1 + rng() % 32);
        const Bytes data = randomBytes(rng, rng() % 3000);
        vc::Rc4State ours;
        RC4_KEY theirs;
        vc::rc4SetKey(key.data(), static_cast<uint32_t>(key.size()), &ours);
        RC4_set_key(&theirs, static_cast<int>(key.size()), key.data());
        Bytes mine = data, expected(data.size());
        RC4(&theirs, data.size(), data.data(), expected.data());
        for (std::size_t done = 0; done < data.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % 70, data.size() - done);
            vc::rc4Crypt(mine.data() + done, static_cast<uint32_t>(n), &ours);
            done += n;
        }
        ASSERT_EQ(mine, expected) << "round " << round;
        ASSERT_EQ(ours.x, theirs.x);
        ASSERT_EQ(ours.y, theirs.y);
        for (int i = 0; i < 256; ++i) {
            ASSERT_EQ(ours.s[i], theirs.data[i]) << "round " << round << " S[" << i << "]";
        }
    }
}

TEST(Rc4Stream, ChunkedWithEmptyCallEqualsWhole) {
    const Bytes key(16, 0x42);
    vc::Rc4State a, b;
    vc::rc4SetKey(key.data(), 16, &a);
    vc::rc4SetKey(key.data(), 16, &b);
    Bytes whole(300, 0x11), chunked(300, 0x11);
    vc::rc4Crypt(whole.data(), 300, &a);
    vc::rc4Crypt(chunked.data(), 100, &b);
    const vc::Rc4State mid = b;
    vc::rc4Crypt(chunked.data() + 100, 0, &b);
    vc::rc4Crypt(nullptr, 0, &b);
    EXPECT_EQ(std::memcmp(&mid, &b, sizeof b), 0);
    vc::rc4Crypt(chunked.data() + 100, 200, &b);
    EXPECT_EQ(whole, chunked);
    EXPECT_EQ(a.x, 44);  // 300 mod 256
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST(Rc4Stream, SecondPassRestoresInput) {
    std::mt19937 rng(2);
    const Bytes key = randomBytes(rng, 16);
    const Bytes plain = randomBytes(rng, 777);
    Bytes data = plain;
    vc::Rc4State state;
    vc::rc4SetKey(key.data(), 16, &state);
    vc::rc4Crypt(data.data(), 777, &state);
    EXPECT_NE(data, plain);
    vc::rc4SetKey(key.data(), 16, &state);
    vc::rc4Crypt(data.data(), 777, &state);
    EXPECT_EQ(data, plain);
}

TEST(Rc4SetKey, ResetsAUsedStateAndIgnoresBytesPast256) {
    std::mt19937 rng(3);
    Bytes key = randomBytes(rng, 300);
    vc::Rc4State used, fresh;
    vc::rc4SetKey(key.data(), 300, &used);
    Bytes junk(123);
    vc::rc4Crypt(junk.data(), 123, &used);
    key[256] ^= 0xff;  // beyond the first 256 bytes: no effect
    vc::rc4SetKey(key.data(), 300, &used);
    vc::rc4SetKey(key.data(), 256, &fresh);
    EXPECT_EQ(used.x, 0);
    EXPECT_EQ(used.y, 0);
    EXPECT_EQ(std::memcmp(&used, &fresh, sizeof used), 0);
}

}  // namespace
