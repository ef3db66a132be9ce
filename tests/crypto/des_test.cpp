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

using namespace vctest;

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

// ECB over whole blocks: a zero IV turns each one-block CBC call into ECB.
void ecb(const Ede3Keys& keys, Bytes* data, int encrypt) {
    for (std::size_t i = 0; i < data->size(); i += 8) {
        uint8_t iv[8] = {};
        keys.crypt(data->data() + i, data->data() + i, 8, iv, encrypt);
    }
}

// Three equal keys, which reduce EDE to single DES.
Bytes tripled(const std::string& keyHex) {
    return fromHex(keyHex + keyHex + keyHex);
}

// OpenSSL's three-key CBC over whole blocks, updating the IV as ours does.
// With three equal keys it is single DES, as ours must be.
void opensslCbc(const uint8_t* keys, const uint8_t* in, uint8_t* out, std::size_t length,
                uint8_t* iv, int encrypt) {
    DES_key_schedule s[3];
    for (int i = 0; i < 3; ++i) {
        DES_cblock key;
        std::memcpy(key, keys + 8 * i, 8);
        DES_set_key_unchecked(&key, &s[i]);
    }
    DES_ede3_cbc_encrypt(in, out, static_cast<long>(length), &s[0], &s[1], &s[2],
                         reinterpret_cast<DES_cblock*>(iv),
                         encrypt != 0 ? DES_ENCRYPT : DES_DECRYPT);
}

// The single-DES tables, the Rivest iteration and the mode examples. Each
// row runs in both directions, and the CBC IV ends as the last ciphertext
// block either way.
TEST(DesKnownAnswer, PublishedTablesAndModeExamples) {
    std::map<std::string, int> counts;
    for (const char* file : {"des.vec", "des_ede3_cbc.vec"}) {
        for (const auto& line : readVec(file)) {
            const auto& r = line.fields;
            SCOPED_TRACE(r[0] + " " + r[1]);
            ++counts[r[0]];
            if (r[0] == "rivest") {
                // X(i+1) = E(Xi, Xi) for even i, D(Xi, Xi) for odd i.
                Bytes x = fromHex(r[1]);
                for (int i = 0; i < 16; ++i) {
                    ecb(Ede3Keys(tripled(toHex(x)).data()), &x, i % 2 == 0 ? 1 : 0);
                }
                EXPECT_EQ(toHex(x), r[2]);
                continue;
            }
            // Table rows: key, plaintext, ciphertext. Mode rows: three keys,
            // the IV for CBC, plaintext, ciphertext.
            const Ede3Keys schedule(
                (r.size() == 4 ? tripled(r[1]) : fromHex(r[1] + r[2] + r[3])).data());
            const std::string& plain = r[r.size() - 2];
            const std::string& cipher = r.back();
            for (const int encrypt : {1, 0}) {
                Bytes data = fromHex(encrypt != 0 ? plain : cipher);
                if (r[0] == "cbc") {
                    Bytes iv = fromHex(r[4]);
                    schedule.crypt(data.data(), data.data(), static_cast<int32_t>(data.size()),
                                   iv.data(), encrypt);
                    EXPECT_EQ(toHex(iv), cipher.substr(cipher.size() - 16));
                } else {
                    ecb(schedule, &data, encrypt);
                }
                EXPECT_EQ(toHex(data), encrypt != 0 ? cipher : plain);
            }
        }
    }
    // The full tables, so a truncated file cannot pass quietly.
    EXPECT_EQ(counts, (std::map<std::string, int>{{"variable-plaintext", 64},
                                                  {"variable-key", 56},
                                                  {"permutation", 32},
                                                  {"substitution", 19},
                                                  {"rivest", 1},
                                                  {"ecb", 2},
                                                  {"cbc", 1}}));
}

// OpenSSL's rounds without the permutations use the same rotated halves, in
// the other order: an absolute answer for each direction of desCore.
TEST(DesCore, MatchesOpenSslRoundsInBothDirections) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        SCOPED_TRACE(trial);
        Bytes key = randomData(rng, 8);
        vc::DesKeySchedule ours;
        vc::desSetKey(key.data(), &ours);
        DES_key_schedule oracle;
        DES_set_key_unchecked(reinterpret_cast<DES_cblock*>(key.data()), &oracle);
        const uint32_t left0 = static_cast<uint32_t>(rng());
        const uint32_t right0 = static_cast<uint32_t>(rng());
        for (int encrypt = 0; encrypt < 2; ++encrypt) {
            DES_LONG halves[2] = {right0, left0};
            DES_encrypt2(halves, &oracle, encrypt != 0 ? DES_ENCRYPT : DES_DECRYPT);
            uint32_t left = left0, right = right0;
            vc::desCore(&left, &right, &ours, encrypt);
            EXPECT_EQ(left, static_cast<uint32_t>(halves[0])) << "encrypt " << encrypt;
            EXPECT_EQ(right, static_cast<uint32_t>(halves[1])) << "encrypt " << encrypt;
        }
    }
}

TEST(DesKeySchedule, EveryKeyBitButTheParityBitsMatters) {
    std::mt19937 rng(21);
    for (int trial = 0; trial < 8; ++trial) {
        const Bytes key = randomData(rng, 8);
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
        Bytes keys = randomData(rng, 24);
        if (trial % 4 == 1) {
            keys = tripled(toHex(keys.data(), 8));
        }
        const Ede3Keys schedule(keys.data());
        const Bytes iv0 = randomData(rng, 8);
        // The first trial is two calls of 16 bytes against one of 32.
        const std::size_t length = trial == 0 ? 32 : 8 * (rng() % 513);
        const Bytes plain = randomData(rng, length);
        Bytes expected(length);
        Bytes expectedIv = iv0;
        opensslCbc(keys.data(), plain.data(), expected.data(), length, expectedIv.data(), 1);

        // Encrypt in random whole-block pieces, then decrypt in a different
        // chunking; each direction in place or out of place at random.
        Bytes data = plain;
        for (const int encrypt : {1, 0}) {
            const bool inPlace = rng() % 2 == 0;
            Bytes out = inPlace ? data : Bytes(length, 0x5a);
            const auto pieces =
                trial == 0 ? std::vector<std::size_t>{16, 16} : randomSplit(rng, length, 40, 8);
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
    const Bytes keys = randomData(rng, 24);
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
            const Bytes input = randomData(rng, size);
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
