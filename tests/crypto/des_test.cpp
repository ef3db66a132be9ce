// DES and triple-DES CBC: the published single-DES known answers and mode
// examples, OpenSSL's DES_ede3_cbc_encrypt and DES_ncbc_encrypt as oracles
// over random keys, lengths and chunkings, the block-count rules at the edges
// and the key schedule's treatment of parity bits.
#include <gtest/gtest.h>
#include <openssl/des.h>

#include <cstring>
#include <limits>
#include <map>

#include "crypto/des.h"
#include "support/test_vectors.h"

namespace {

using vctest::Bytes;
using vctest::fromHex;
using vctest::toHex;

// Three schedules from 24 key bytes.
struct Ede3Keys {
    vc::DesKeySchedule k1, k2, k3;

    explicit Ede3Keys(const uint8_t* keys) {
        vc::desSetKey(keys, &k1);
        vc::desSetKey(keys + 8, &k2);
        vc::desSetKey(keys + 16, &k3);
    }
    void crypt(const uint8_t* in, uint8_t* out, int32_t length, uint8_t* iv, int encrypt) const {
        vc::desEde3CbcCrypt(in, out, length, &k1, &k2, &k3, iv, encrypt);
    }
};

// Single-DES ECB on one block: three equal keys reduce EDE to one pass, and a
// zero IV turns one CBC block into ECB.
Bytes desBlock(const Bytes& key, const Bytes& in, int encrypt) {
    const Bytes keys = fromHex(toHex(key) + toHex(key) + toHex(key));
    uint8_t iv[8] = {};
    Bytes out(8);
    Ede3Keys(keys.data()).crypt(in.data(), out.data(), 8, iv, encrypt);
    return out;
}

// OpenSSL's CBC over whole blocks, updating the IV as ours does: single DES
// when the three keys are equal (EDE with one key must reduce to it), three-key
// EDE otherwise.
void opensslCbc(const uint8_t* keys, const uint8_t* in, uint8_t* out, std::size_t length,
                uint8_t* iv, int encrypt) {
    DES_key_schedule s[3];
    for (int i = 0; i < 3; ++i) {
        DES_cblock key;
        std::memcpy(key, keys + 8 * i, 8);
        DES_set_key_unchecked(&key, &s[i]);
    }
    DES_cblock chain;
    std::memcpy(chain, iv, 8);
    const int mode = encrypt != 0 ? DES_ENCRYPT : DES_DECRYPT;
    if (std::memcmp(keys, keys + 8, 8) == 0 && std::memcmp(keys, keys + 16, 8) == 0) {
        DES_ncbc_encrypt(in, out, static_cast<long>(length), &s[0], &chain, mode);
    } else {
        DES_ede3_cbc_encrypt(in, out, static_cast<long>(length), &s[0], &s[1], &s[2], &chain, mode);
    }
    std::memcpy(iv, chain, 8);
}

TEST(DesKnownAnswer, PublishedTablesAndRivestIteration) {
    std::map<std::string, int> counts;
    for (const auto& line : vctest::readVec("des.vec")) {
        const auto& r = line.fields;
        SCOPED_TRACE(r[0] + " " + r[1]);
        if (r[0] == "rivest") {
            // X(i+1) = E(Xi, Xi) for even i, D(Xi, Xi) for odd i.
            Bytes x = fromHex(r[1]);
            for (int i = 0; i < 16; ++i) {
                x = desBlock(x, x, i % 2 == 0 ? 1 : 0);
            }
            EXPECT_EQ(toHex(x), r[2]);
        } else {
            ASSERT_EQ(r.size(), 4u);
            EXPECT_EQ(toHex(desBlock(fromHex(r[1]), fromHex(r[2]), 1)), r[3]);
            EXPECT_EQ(toHex(desBlock(fromHex(r[1]), fromHex(r[3]), 0)), r[2]);
        }
        ++counts[r[0]];
    }
    // The full tables, so a truncated file cannot pass quietly.
    EXPECT_EQ(counts, (std::map<std::string, int>{{"variable-plaintext", 64},
                                                  {"variable-key", 56},
                                                  {"permutation", 32},
                                                  {"substitution", 19},
                                                  {"rivest", 1}}));
}

TEST(DesKnownAnswer, ModeExamples) {
    int found = 0;
    for (const auto& line : vctest::readVec("des_ede3_cbc.vec")) {
        const auto& r = line.fields;
        SCOPED_TRACE(r[0] + " " + r[1]);
        const Bytes keys = fromHex(r[1] + r[2] + r[3]);
        const Ede3Keys schedule(keys.data());
        if (r[0] == "ecb") {
            Bytes data = fromHex(r[4]);
            for (std::size_t i = 0; i < data.size(); i += 8) {
                uint8_t iv[8] = {};
                schedule.crypt(data.data() + i, data.data() + i, 8, iv, 1);
            }
            EXPECT_EQ(toHex(data), r[5]);
        } else {
            Bytes iv = fromHex(r[4]);
            Bytes data = fromHex(r[5]);
            const auto length = static_cast<int32_t>(data.size());
            schedule.crypt(data.data(), data.data(), length, iv.data(), 1);
            EXPECT_EQ(toHex(data), r[6]);
            EXPECT_EQ(toHex(iv), r[6].substr(r[6].size() - 16));
            iv = fromHex(r[4]);
            schedule.crypt(data.data(), data.data(), length, iv.data(), 0);
            EXPECT_EQ(toHex(data), r[5]);
        }
        ++found;
    }
    EXPECT_EQ(found, 3);
}

TEST(DesCore, MatchesOpenSslRoundsAndDecryptionUndoesEncryption) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        const Bytes key = vctest::randomData(rng, 8);
        vc::DesKeySchedule forward, reversed;
        vc::desSetKey(key.data(), &forward);
        for (int round = 0; round < 16; ++round) {
            reversed.subkeys[2 * round] = forward.subkeys[2 * (15 - round)];
            reversed.subkeys[2 * round + 1] = forward.subkeys[2 * (15 - round) + 1];
        }
        const uint32_t left0 = static_cast<uint32_t>(rng());
        const uint32_t right0 = static_cast<uint32_t>(rng());
        uint32_t a0 = left0, a1 = right0, b0 = left0, b1 = right0;
        vc::desCore(&a0, &a1, &forward, 0);
        vc::desCore(&b0, &b1, &reversed, 1);
        EXPECT_EQ(a0, b0);
        EXPECT_EQ(a1, b1);

        uint32_t left = left0, right = right0;
        vc::desCore(&left, &right, &forward, 1);
        EXPECT_FALSE(left == left0 && right == right0);
        // The output halves come back in (L16, R16) order; decryption starts
        // from the swapped pair, as the next pass of EDE does.
        vc::desCore(&right, &left, &forward, 0);
        EXPECT_EQ(left, left0);
        EXPECT_EQ(right, right0);

        // An absolute answer for each direction: OpenSSL's rounds without
        // the permutations use the same rotated halves, in the other order.
        DES_key_schedule oracle;
        DES_cblock oracleKey;
        std::memcpy(oracleKey, key.data(), sizeof(oracleKey));
        DES_set_key_unchecked(&oracleKey, &oracle);
        for (int encrypt = 0; encrypt < 2; ++encrypt) {
            DES_LONG halves[2] = {right0, left0};
            DES_encrypt2(halves, &oracle, encrypt != 0 ? DES_ENCRYPT : DES_DECRYPT);
            uint32_t l = left0, r = right0;
            vc::desCore(&l, &r, &forward, encrypt);
            EXPECT_EQ(l, static_cast<uint32_t>(halves[0])) << "encrypt " << encrypt;
            EXPECT_EQ(r, static_cast<uint32_t>(halves[1])) << "encrypt " << encrypt;
        }
    }
}

TEST(DesKeySchedule, EveryKeyBitButTheParityBitsMatters) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 8; ++trial) {
        const Bytes key = vctest::randomData(rng, 8);
        vc::DesKeySchedule base;
        vc::desSetKey(key.data(), &base);
        for (int bit = 0; bit < 64; ++bit) {
            Bytes other = key;
            other[static_cast<std::size_t>(bit / 8)] ^= static_cast<uint8_t>(1u << (bit % 8));
            vc::DesKeySchedule changed;
            vc::desSetKey(other.data(), &changed);
            const bool parity = bit % 8 == 0;
            EXPECT_EQ(std::memcmp(&base, &changed, sizeof base) == 0, parity)
                << toHex(key) << " bit " << bit;
        }
    }
}

TEST(DesEde3Cbc, MatchesOpenSslOverRandomChunkingsAndEqualKeys) {
    std::mt19937 rng(31);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        // Every fourth trial has three equal keys and must be single DES.
        Bytes keys = vctest::randomData(rng, 24);
        if (trial % 4 == 1) {
            keys = fromHex(toHex(keys.data(), 8) + toHex(keys.data(), 8) + toHex(keys.data(), 8));
        }
        const Ede3Keys schedule(keys.data());
        const Bytes iv0 = vctest::randomData(rng, 8);
        // The first trial is two calls of 16 bytes against one of 32.
        const std::size_t length = trial == 0 ? 32 : 8 * (rng() % 513);
        const Bytes plain = vctest::randomData(rng, length);
        Bytes expected(length);
        Bytes expectedIv = iv0;
        opensslCbc(keys.data(), plain.data(), expected.data(), length, expectedIv.data(), 1);

        // Encrypt in random whole-block pieces, then decrypt in a different
        // chunking; each direction in place or out of place at random.
        Bytes data = plain;
        for (const int encrypt : {1, 0}) {
            const bool inPlace = rng() % 2 == 0;
            Bytes out = inPlace ? data : Bytes(length, 0x5a);
            const auto pieces = trial == 0 ? std::vector<std::size_t>{16, 16}
                                           : vctest::randomSplit(rng, length, 40, 8);
            Bytes iv = iv0;
            std::size_t done = 0;
            for (const std::size_t piece : pieces) {
                schedule.crypt((inPlace ? out : data).data() + done, out.data() + done,
                               static_cast<int32_t>(piece), iv.data(), encrypt);
                done += piece;
            }
            EXPECT_EQ(toHex(out), toHex(encrypt != 0 ? expected : plain))
                << (inPlace ? "in place" : "out of place") << " encrypt " << encrypt;
            // In both directions the IV ends as the last ciphertext block.
            EXPECT_EQ(toHex(iv), toHex(expectedIv)) << "encrypt " << encrypt;
            data = out;
        }
    }
}

TEST(DesEde3Cbc, PartialShortAndNegativeLengths) {
    // floor(length / 8) blocks; below 8 nothing. Trailing bytes of the output
    // keep their filler, and the input is exactly `length` bytes long (or 16
    // for lengths below 8) so a read past it trips the address sanitizer.
    std::mt19937 rng(41);
    const Bytes keys = vctest::randomData(rng, 24);
    const Ede3Keys schedule(keys.data());
    const Bytes iv0 = fromHex("0011223344556677");
    std::vector<int32_t> lengths = {
        20, 7, 5, 1, 0, -1, -8, -16, std::numeric_limits<int32_t>::min()};
    for (int i = 0; i < 50; ++i) {
        lengths.push_back(static_cast<int32_t>(8 + rng() % 200));
    }
    for (const int32_t length : lengths) {
        for (const int encrypt : {1, 0}) {
            SCOPED_TRACE(testing::Message() << "length " << length << " encrypt " << encrypt);
            const std::size_t size = length >= 8 ? static_cast<std::size_t>(length) : 16;
            const std::size_t whole = length >= 8 ? size / 8 * 8 : 0;
            const Bytes input = vctest::randomData(rng, size);
            Bytes out(size, 0xa5);
            Bytes iv = iv0;
            schedule.crypt(input.data(), out.data(), length, iv.data(), encrypt);

            Bytes expected(size, 0xa5);
            Bytes expectedIv = iv0;
            opensslCbc(keys.data(), input.data(), expected.data(), whole, expectedIv.data(),
                       encrypt);
            EXPECT_EQ(toHex(out), toHex(expected));
            EXPECT_EQ(toHex(iv), toHex(expectedIv));
        }
    }
}

}  // namespace
