// DES and triple-DES CBC: the published single-DES known answers and mode
// examples, OpenSSL's DES_ede3_cbc_encrypt and DES_ncbc_encrypt as oracles
// over random keys, lengths and chunkings, the block-count rules at the edges
// (partial blocks, short and negative lengths) and the key schedule's
// treatment of parity bits.
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/des.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string toHex(const uint8_t* data, std::size_t length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string toHex(const Bytes& data) {
    return toHex(data.data(), data.size());
}

std::vector<std::vector<std::string>> readRecords(const std::string& name) {
    std::ifstream file(std::string(VC_TEST_DATA_DIR) + "/" + name);
    EXPECT_TRUE(file.good()) << "cannot open " << name;
    std::vector<std::vector<std::string>> records;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        std::vector<std::string> record;
        std::string field;
        while (fields >> field) {
            record.push_back(field);
        }
        records.push_back(record);
    }
    return records;
}

// Three schedules from 24 key bytes.
struct Ede3Keys {
    vc::DesKeySchedule k1;
    vc::DesKeySchedule k2;
    vc::DesKeySchedule k3;

    explicit Ede3Keys(const uint8_t* keys) {
        vc::desSetKey(keys, &k1);
        vc::desSetKey(keys + 8, &k2);
        vc::desSetKey(keys + 16, &k3);
    }
};

void crypt(const Ede3Keys& keys, const uint8_t* in, uint8_t* out, int32_t length, uint8_t* iv,
           int encrypt) {
    vc::desEde3CbcCrypt(in, out, length, &keys.k1, &keys.k2, &keys.k3, iv, encrypt);
}

// Single-DES ECB on one block: three equal keys reduce EDE to one pass, and a
// zero IV turns one CBC block into ECB.
Bytes desBlock(const Bytes& key, const Bytes& in, int encrypt) {
    Bytes keys(24);
    for (int i = 0; i < 3; ++i) {
        std::memcpy(keys.data() + 8 * i, key.data(), 8);
    }
    const Ede3Keys schedule(keys.data());
    uint8_t iv[8] = {};
    Bytes out(8);
    crypt(schedule, in.data(), out.data(), 8, iv, encrypt);
    return out;
}

// OpenSSL's three-key CBC over whole blocks; the IV is updated as ours is.
void opensslEde3Cbc(const uint8_t* keys, const uint8_t* in, uint8_t* out, std::size_t length,
                    uint8_t* iv, int encrypt) {
    DES_key_schedule s[3];
    for (int i = 0; i < 3; ++i) {
        DES_cblock key;
        std::memcpy(key, keys + 8 * i, 8);
        DES_set_key_unchecked(&key, &s[i]);
    }
    DES_cblock chain;
    std::memcpy(chain, iv, 8);
    DES_ede3_cbc_encrypt(in, out, static_cast<long>(length), &s[0], &s[1], &s[2], &chain,
                         encrypt != 0 ? DES_ENCRYPT : DES_DECRYPT);
    std::memcpy(iv, chain, 8);
}

Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (auto& b : out) {
        b = static_cast<uint8_t>(rng());
    }
    return out;
}

// Splits `length` (a multiple of 8) into random whole-block chunks.
std::vector<std::size_t> randomChunks(std::mt19937& rng, std::size_t length) {
    std::vector<std::size_t> chunks;
    while (length > 0) {
        const std::size_t blocks = length / 8;
        const std::size_t take = 8 * (1 + rng() % std::min<std::size_t>(blocks, 40));
        chunks.push_back(take);
        length -= take;
    }
    return chunks;
}

// ---------------------------------------------------------------------------
// Published known answers

TEST(DesKnownAnswer, PublishedTablesEncryptAndDecrypt) {
    std::map<std::string, int> counts;
    for (const auto& r : readRecords("des.vec")) {
        if (r[0] == "rivest") {
            continue;
        }
        ASSERT_EQ(r.size(), 4u);
        const Bytes key = fromHex(r[1]);
        const Bytes plain = fromHex(r[2]);
        const Bytes cipher = fromHex(r[3]);
        EXPECT_EQ(toHex(desBlock(key, plain, 1)), r[3]) << r[0] << " key " << r[1];
        EXPECT_EQ(toHex(desBlock(key, cipher, 0)), r[2]) << r[0] << " key " << r[1];
        ++counts[r[0]];
    }
    // The full tables, so a truncated file cannot pass quietly.
    EXPECT_EQ(counts["variable-plaintext"], 64);
    EXPECT_EQ(counts["variable-key"], 56);
    EXPECT_EQ(counts["permutation"], 32);
    EXPECT_EQ(counts["substitution"], 19);
}

TEST(DesKnownAnswer, RivestIterationReachesX16) {
    int found = 0;
    for (const auto& r : readRecords("des.vec")) {
        if (r[0] != "rivest") {
            continue;
        }
        Bytes x = fromHex(r[1]);
        for (int i = 0; i < 16; ++i) {
            x = desBlock(x, x, i % 2 == 0 ? 1 : 0);
        }
        EXPECT_EQ(toHex(x), r[2]);
        ++found;
    }
    EXPECT_EQ(found, 1);
}

TEST(DesKnownAnswer, ModeExamples) {
    int found = 0;
    for (const auto& r : readRecords("des_ede3_cbc.vec")) {
        Bytes keys = fromHex(r[1] + r[2] + r[3]);
        const Ede3Keys schedule(keys.data());
        if (r[0] == "ecb") {
            const Bytes plain = fromHex(r[4]);
            Bytes out(plain.size());
            for (std::size_t i = 0; i < plain.size(); i += 8) {
                uint8_t iv[8] = {};
                crypt(schedule, plain.data() + i, out.data() + i, 8, iv, 1);
            }
            EXPECT_EQ(toHex(out), r[5]);
        } else {
            ASSERT_EQ(r[0], "cbc");
            Bytes iv = fromHex(r[4]);
            Bytes data = fromHex(r[5]);
            crypt(schedule, data.data(), data.data(), static_cast<int32_t>(data.size()), iv.data(),
                  1);
            EXPECT_EQ(toHex(data), r[6]);
            EXPECT_EQ(toHex(iv), r[6].substr(r[6].size() - 16));
            iv = fromHex(r[4]);
            crypt(schedule, data.data(), data.data(), static_cast<int32_t>(data.size()), iv.data(),
                  0);
            EXPECT_EQ(toHex(data), r[5]);
        }
        ++found;
    }
    EXPECT_EQ(found, 3);
}

// ---------------------------------------------------------------------------
// The core and the key schedule

TEST(DesCore, DecryptionUndoesEncryption) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const Bytes key = randomBytes(rng, 8);
        vc::DesKeySchedule schedule;
        vc::desSetKey(key.data(), &schedule);
        const uint32_t left0 = static_cast<uint32_t>(rng());
        const uint32_t right0 = static_cast<uint32_t>(rng());
        uint32_t left = left0;
        uint32_t right = right0;
        vc::desCore(&left, &right, &schedule, 1);
        EXPECT_FALSE(left == left0 && right == right0);
        // The output halves come back in (L16, R16) order; decryption starts
        // from the swapped pair, as the next pass of EDE does.
        vc::desCore(&right, &left, &schedule, 0);
        EXPECT_EQ(left, left0);
        EXPECT_EQ(right, right0);
    }
}

TEST(DesCore, DecryptionAppliesTheSubkeysInReverse) {
    std::mt19937 rng(12);
    for (int trial = 0; trial < 50; ++trial) {
        const Bytes key = randomBytes(rng, 8);
        vc::DesKeySchedule forward;
        vc::desSetKey(key.data(), &forward);
        vc::DesKeySchedule reversed;
        for (int round = 0; round < 16; ++round) {
            reversed.subkeys[2 * round] = forward.subkeys[2 * (15 - round)];
            reversed.subkeys[2 * round + 1] = forward.subkeys[2 * (15 - round) + 1];
        }
        uint32_t a0 = static_cast<uint32_t>(rng());
        uint32_t a1 = static_cast<uint32_t>(rng());
        uint32_t b0 = a0;
        uint32_t b1 = a1;
        vc::desCore(&a0, &a1, &forward, 0);
        vc::desCore(&b0, &b1, &reversed, 1);
        EXPECT_EQ(a0, b0);
        EXPECT_EQ(a1, b1);
    }
}

TEST(DesKeySchedule, ParityBitsAreIgnored) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 200; ++trial) {
        Bytes key = randomBytes(rng, 8);
        Bytes flipped = key;
        for (auto& b : flipped) {
            b = static_cast<uint8_t>(b ^ (rng() & 1u));
        }
        flipped[trial % 8] ^= 1u;  // at least one parity bit differs
        vc::DesKeySchedule a;
        vc::DesKeySchedule b;
        vc::desSetKey(key.data(), &a);
        vc::desSetKey(flipped.data(), &b);
        EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0) << toHex(key) << " vs " << toHex(flipped);
    }
}

TEST(DesKeySchedule, EveryOtherKeyBitMatters) {
    // Each of the 56 key bits enters some subkey; a schedule that dropped
    // one would still pass the parity test above.
    std::mt19937 rng(22);
    const Bytes key = randomBytes(rng, 8);
    vc::DesKeySchedule base;
    vc::desSetKey(key.data(), &base);
    for (int byte = 0; byte < 8; ++byte) {
        for (int bit = 1; bit < 8; ++bit) {
            Bytes other = key;
            other[byte] = static_cast<uint8_t>(other[byte] ^ (1u << bit));
            vc::DesKeySchedule changed;
            vc::desSetKey(other.data(), &changed);
            EXPECT_NE(std::memcmp(&base, &changed, sizeof base), 0)
                << "byte " << byte << " bit " << bit;
        }
    }
}

// ---------------------------------------------------------------------------
// Triple-DES CBC against OpenSSL

TEST(DesEde3Cbc, MatchesOpenSslOverRandomChunkings) {
    std::mt19937 rng(31);
    for (int trial = 0; trial < 300; ++trial) {
        const Bytes keys = randomBytes(rng, 24);
        const Ede3Keys schedule(keys.data());
        const Bytes iv0 = randomBytes(rng, 8);
        const std::size_t length = 8 * (rng() % 513);  // up to 4 KiB
        const Bytes plain = randomBytes(rng, length);

        Bytes expected(length);
        Bytes expectedIv = iv0;
        opensslEde3Cbc(keys.data(), plain.data(), expected.data(), length, expectedIv.data(), 1);

        // Encrypt out of place in random pieces; the IV carries the chain.
        Bytes cipher(length);
        Bytes iv = iv0;
        std::size_t done = 0;
        for (std::size_t piece : randomChunks(rng, length)) {
            crypt(schedule, plain.data() + done, cipher.data() + done, static_cast<int32_t>(piece),
                  iv.data(), 1);
            done += piece;
        }
        ASSERT_EQ(toHex(cipher), toHex(expected)) << "trial " << trial << " length " << length;
        EXPECT_EQ(toHex(iv), toHex(expectedIv));

        // Decrypt in place in a different chunking.
        Bytes data = cipher;
        iv = iv0;
        done = 0;
        for (std::size_t piece : randomChunks(rng, length)) {
            crypt(schedule, data.data() + done, data.data() + done, static_cast<int32_t>(piece),
                  iv.data(), 0);
            done += piece;
        }
        EXPECT_EQ(toHex(data), toHex(plain)) << "trial " << trial;
        // After decryption too the IV is the last ciphertext block.
        EXPECT_EQ(toHex(iv), toHex(length == 0 ? iv0 : expectedIv));
    }
}

TEST(DesEde3Cbc, DecryptsRandomDataAsOpenSslDoes) {
    std::mt19937 rng(32);
    for (int trial = 0; trial < 100; ++trial) {
        const Bytes keys = randomBytes(rng, 24);
        const Ede3Keys schedule(keys.data());
        const Bytes iv0 = randomBytes(rng, 8);
        const std::size_t length = 8 * (1 + rng() % 64);
        const Bytes cipher = randomBytes(rng, length);

        Bytes expected(length);
        Bytes expectedIv = iv0;
        opensslEde3Cbc(keys.data(), cipher.data(), expected.data(), length, expectedIv.data(), 0);
        Bytes out(length);
        Bytes iv = iv0;
        crypt(schedule, cipher.data(), out.data(), static_cast<int32_t>(length), iv.data(), 0);
        EXPECT_EQ(toHex(out), toHex(expected));
        EXPECT_EQ(toHex(iv), toHex(cipher.data() + length - 8, 8));
    }
}

TEST(DesEde3Cbc, InPlaceEncryptionEqualsOutOfPlace) {
    std::mt19937 rng(33);
    const Bytes keys = randomBytes(rng, 24);
    const Ede3Keys schedule(keys.data());
    const Bytes iv0 = randomBytes(rng, 8);
    const Bytes plain = randomBytes(rng, 1024);
    Bytes separate(plain.size());
    Bytes iv = iv0;
    crypt(schedule, plain.data(), separate.data(), 1024, iv.data(), 1);
    Bytes inPlace = plain;
    Bytes iv2 = iv0;
    crypt(schedule, inPlace.data(), inPlace.data(), 1024, iv2.data(), 1);
    EXPECT_EQ(inPlace, separate);
    EXPECT_EQ(iv, iv2);
}

TEST(DesEde3Cbc, EqualKeysGiveSingleDesCbc) {
    std::mt19937 rng(34);
    for (int trial = 0; trial < 100; ++trial) {
        const Bytes key = randomBytes(rng, 8);
        Bytes keys;
        for (int i = 0; i < 3; ++i) {
            keys.insert(keys.end(), key.begin(), key.end());
        }
        const Ede3Keys schedule(keys.data());
        const Bytes iv0 = randomBytes(rng, 8);
        const std::size_t length = 8 * (1 + rng() % 128);
        const Bytes plain = randomBytes(rng, length);

        DES_key_schedule single;
        DES_cblock block;
        std::memcpy(block, key.data(), 8);
        DES_set_key_unchecked(&block, &single);
        DES_cblock chain;
        std::memcpy(chain, iv0.data(), 8);
        Bytes expected(length);
        DES_ncbc_encrypt(plain.data(), expected.data(), static_cast<long>(length), &single, &chain,
                         DES_ENCRYPT);

        Bytes out(length);
        Bytes iv = iv0;
        crypt(schedule, plain.data(), out.data(), static_cast<int32_t>(length), iv.data(), 1);
        EXPECT_EQ(toHex(out), toHex(expected)) << "trial " << trial;
        EXPECT_EQ(toHex(iv), toHex(chain, 8));
    }
}

// ---------------------------------------------------------------------------
// Block counting at the edges

class DesEdges : public ::testing::Test {
  protected:
    DesEdges() : keys_(makeKeys()), schedule_(keys_.data()) {}

    static Bytes makeKeys() {
        std::mt19937 rng(41);
        return randomBytes(rng, 24);
    }

    Bytes keys_;
    Ede3Keys schedule_;
    const Bytes iv0_ = fromHex("0011223344556677");
};

TEST_F(DesEdges, TwentyBytesProcessTwoBlocks) {
    std::mt19937 rng(42);
    const Bytes plain = randomBytes(rng, 20);
    for (int encrypt = 0; encrypt <= 1; ++encrypt) {
        Bytes out(20, 0xa5);
        Bytes iv = iv0_;
        crypt(schedule_, plain.data(), out.data(), 20, iv.data(), encrypt);

        Bytes expected(16);
        Bytes expectedIv = iv0_;
        opensslEde3Cbc(keys_.data(), plain.data(), expected.data(), 16, expectedIv.data(), encrypt);
        EXPECT_EQ(toHex(out.data(), 16), toHex(expected));
        EXPECT_EQ(toHex(out.data() + 16, 4), "a5a5a5a5");
        // The second ciphertext block: the output when encrypting, the input
        // when decrypting.
        const uint8_t* lastCipher = encrypt != 0 ? out.data() + 8 : plain.data() + 8;
        EXPECT_EQ(toHex(iv), toHex(lastCipher, 8));
    }
}

TEST_F(DesEdges, TrailingBytesAreNeitherReadNorWritten) {
    std::mt19937 rng(43);
    for (int trial = 0; trial < 100; ++trial) {
        const std::size_t length = 8 + rng() % 200;
        const std::size_t whole = length / 8 * 8;
        // Exactly `length` bytes on the heap, so a read past them is caught
        // by the address sanitizer.
        const Bytes plain = randomBytes(rng, length);
        Bytes out(length, 0x3c);
        Bytes iv = iv0_;
        crypt(schedule_, plain.data(), out.data(), static_cast<int32_t>(length), iv.data(), 1);

        Bytes expected(whole);
        Bytes expectedIv = iv0_;
        opensslEde3Cbc(keys_.data(), plain.data(), expected.data(), whole, expectedIv.data(), 1);
        EXPECT_EQ(toHex(out.data(), whole), toHex(expected));
        EXPECT_EQ(Bytes(out.begin() + static_cast<std::ptrdiff_t>(whole), out.end()),
                  Bytes(length - whole, 0x3c));
        EXPECT_EQ(iv, expectedIv);
    }
}

TEST_F(DesEdges, ShortAndNegativeLengthsChangeNothing) {
    const int32_t lengths[] = {7, 5, 1, 0, -1, -8, -16, std::numeric_limits<int32_t>::min()};
    std::mt19937 rng(44);
    const Bytes input = randomBytes(rng, 16);
    for (int32_t length : lengths) {
        for (int encrypt = 0; encrypt <= 1; ++encrypt) {
            Bytes out(16, 0x77);
            Bytes iv = iv0_;
            crypt(schedule_, input.data(), out.data(), length, iv.data(), encrypt);
            EXPECT_EQ(out, Bytes(16, 0x77)) << "length " << length;
            EXPECT_EQ(iv, iv0_) << "length " << length;
        }
    }
}

TEST_F(DesEdges, TwoCallsOfSixteenEqualOneOfThirtyTwo) {
    std::mt19937 rng(45);
    const Bytes plain = randomBytes(rng, 32);
    for (int encrypt = 0; encrypt <= 1; ++encrypt) {
        Bytes whole(32);
        Bytes ivWhole = iv0_;
        crypt(schedule_, plain.data(), whole.data(), 32, ivWhole.data(), encrypt);

        Bytes split(32);
        Bytes ivSplit = iv0_;
        crypt(schedule_, plain.data(), split.data(), 16, ivSplit.data(), encrypt);
        crypt(schedule_, plain.data() + 16, split.data() + 16, 16, ivSplit.data(), encrypt);
        EXPECT_EQ(split, whole);
        EXPECT_EQ(ivSplit, ivWhole);
    }
}

}  // namespace
