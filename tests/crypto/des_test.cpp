// DES and triple-DES CBC: the published single-DES known answers and mode
// examples, OpenSSL's DES_ede3_cbc_encrypt and DES_ncbc_encrypt as oracles
// over random keys, lengths and chunkings, the block-count rules at the edges
// and the key schedule's treatment of parity bits. The oracle tests are
// built only where OpenSSL is linked (VC_TEST_OPENSSL).
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/des.h>
#endif

#include <cstring>
#include <limits>
#include <map>

#include "crypto/des.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// Our triple-DES CBC under the three schedules of 24 key bytes.
void ede3(const Bytes& keys, const uint8_t* in, uint8_t* out, int32_t length, uint8_t* iv,
          int encrypt) {
    vc::DesKeySchedule k[3];
    for (int i = 0; i < 3; ++i) {
        vc::desSetKey(keys.data() + 8 * i, &k[i]);
    }
    vc::desEde3CbcCrypt(in, out, length, &k[0], &k[1], &k[2], iv, encrypt);
}

// ECB over whole blocks: a zero IV turns each one-block CBC call into ECB.
void ecb(const Bytes& keys, Bytes* data, int encrypt) {
    for (std::size_t i = 0; i < data->size(); i += 8) {
        uint8_t iv[8] = {};
        ede3(keys, data->data() + i, data->data() + i, 8, iv, encrypt);
    }
}

// Three equal keys, which reduce EDE to single DES.
Bytes tripled(const std::string& keyHex) {
    return fromHex(keyHex + keyHex + keyHex);
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
                    ecb(tripled(toHex(x)), &x, i % 2 == 0 ? 1 : 0);
                }
                EXPECT_EQ(toHex(x), r[2]);
                continue;
            }
            // Table rows: key, plaintext, ciphertext. Mode rows: three keys,
            // the IV for CBC, plaintext, ciphertext.
            const Bytes keys = r.size() == 4 ? tripled(r[1]) : fromHex(r[1] + r[2] + r[3]);
            const std::string& plain = r[r.size() - 2];
            const std::string& cipher = r.back();
            for (const int encrypt : {1, 0}) {
                Bytes data = fromHex(encrypt != 0 ? plain : cipher);
                if (r[0] == "cbc") {
                    Bytes iv = fromHex(r[4]);
                    ede3(keys, data.data(), data.data(), static_cast<int32_t>(data.size()),
                         iv.data(), encrypt);
                    EXPECT_EQ(toHex(iv), cipher.substr(cipher.size() - 16));
                } else {
                    ecb(keys, &data, encrypt);
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

#if defined(VC_TEST_OPENSSL)

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

// Ours against OpenSSL's CBC over whole blocks, in both directions, the IV
// ending as the last ciphertext block either way. Every fourth trial has
// three equal keys and must be single DES. First whole-block lengths,
// encrypted in random whole-block pieces and decrypted in a different
// chunking, each direction in place or out of place at random (the first
// trial is two calls of 16 bytes against one of 32). Then one call each for
// lengths that are not whole blocks, zero and negative ones: floor(length /
// 8) blocks, none below 8, and the output past them keeps its filler. The
// input is exactly `length` bytes long (16 below 8 bytes), so that a read
// past it trips the address sanitizer. Each trial also holds desCore under
// the first key to OpenSSL's rounds without the permutations, which use the
// same rotated halves in the other order: an absolute answer for each
// direction.
TEST(DesEde3Cbc, MatchesOpenSslOverChunkingsAndPartialLengths) {
    std::mt19937 rng(31);
    std::vector<int32_t> partial = {
        20, 7, 5, 1, 0, -1, -8, -16, std::numeric_limits<int32_t>::min()};
    for (int i = 0; i < 50; ++i) {
        partial.push_back(static_cast<int32_t>(8 + rng() % 200));
    }
    for (std::size_t trial = 0; trial < 300 + partial.size(); ++trial) {
        SCOPED_TRACE(trial);
        Bytes keys = randomData(rng, 24);
        if (trial % 4 == 1) {
            keys = tripled(toHex(keys.data(), 8));
        }
        vc::DesKeySchedule ours;
        vc::desSetKey(keys.data(), &ours);
        DES_key_schedule oracle;
        DES_set_key_unchecked(reinterpret_cast<DES_cblock*>(keys.data()), &oracle);
        const uint32_t left0 = static_cast<uint32_t>(rng());
        const uint32_t right0 = static_cast<uint32_t>(rng());
        for (int encrypt = 0; encrypt < 2; ++encrypt) {
            DES_LONG halves[2] = {right0, left0};
            DES_encrypt2(halves, &oracle, encrypt != 0 ? DES_ENCRYPT : DES_DECRYPT);
            uint32_t left = left0, right = right0;
            vc::desCore(&left, &right, &ours, encrypt);
            EXPECT_EQ(left, static_cast<uint32_t>(halves[0])) << "desCore " << encrypt;
            EXPECT_EQ(right, static_cast<uint32_t>(halves[1])) << "desCore " << encrypt;
        }
        const Bytes iv0 = randomData(rng, 8);
        const int32_t length = trial >= 300 ? partial[trial - 300]
                               : trial == 0 ? 32
                                            : static_cast<int32_t>(8 * (rng() % 513));
        const std::size_t size = length >= 8 || trial < 300 ? static_cast<std::size_t>(length) : 16;
        Bytes data = randomData(rng, size);
        for (const int encrypt : {1, 0}) {
            const bool inPlace = rng() % 2 == 0;
            Bytes out = inPlace ? data : Bytes(size, 0x5a);
            Bytes expected = out;
            Bytes expectedIv = iv0;
            opensslCbc(keys.data(), data.data(), expected.data(), length >= 8 ? size / 8 * 8 : 0,
                       expectedIv.data(), encrypt);
            const auto pieces = trial >= 300 ? std::vector<std::size_t>{size}
                                : trial == 0 ? std::vector<std::size_t>{16, 16}
                                             : randomSplit(rng, size, 40, 8);
            Bytes iv = iv0;
            std::size_t done = 0;
            for (const std::size_t piece : pieces) {
                ede3(keys, (inPlace ? out : data).data() + done, out.data() + done,
                     trial >= 300 ? length : static_cast<int32_t>(piece), iv.data(), encrypt);
                done += piece;
            }
            EXPECT_EQ(toHex(out), toHex(expected))
                << (inPlace ? "in place" : "out of place") << " encrypt " << encrypt;
            EXPECT_EQ(toHex(iv), toHex(expectedIv)) << "encrypt " << encrypt;
            data = out;
        }
    }
}

void wholeCallsAgainstBlockByBlock(uint32_t kernels) {
    std::vector<int32_t> lengths;
    for (int32_t length = 0; length <= 300; length += 8) {
        lengths.push_back(length);
    }
    for (const int32_t blocks : {63, 64, 65, 127, 128, 129, 191, 192, 193, 2047, 2048, 2049}) {
        lengths.push_back(8 * blocks);
    }
    std::mt19937 rng(47);
    for (const int32_t length : lengths) {
        const Bytes keys = randomData(rng, 24);
        const Bytes iv0 = randomData(rng, 8);
        const Bytes plain = randomData(rng, static_cast<std::size_t>(length));
        Bytes cipher = plain;
        Bytes cipherIv = iv0;
        opensslCbc(keys.data(), plain.data(), cipher.data(), plain.size(), cipherIv.data(), 1);
        for (const int encrypt : {1, 0}) {
            const Bytes& in = encrypt != 0 ? plain : cipher;
            const Bytes& expected = encrypt != 0 ? cipher : plain;
            const Bytes expectedIv =
                encrypt != 0 ? cipherIv : Bytes(cipher.end() - (length > 0 ? 8 : 0), cipher.end());
            for (const bool inPlace : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << "kernels " << kernels << " length " << length << " encrypt "
                             << encrypt << (inPlace ? " in place" : " out of place"));
                Bytes whole = inPlace ? in : Bytes(in.size(), 0x5a);
                Bytes wholeIv = iv0;
                ede3(keys, (inPlace ? whole : in).data(), whole.data(), length, wholeIv.data(),
                     encrypt);
                EXPECT_EQ(toHex(whole), toHex(expected));
                EXPECT_EQ(toHex(wholeIv), toHex(length > 0 ? expectedIv : iv0));
                Bytes single = inPlace ? in : Bytes(in.size(), 0x5a);
                Bytes singleIv = iv0;
                for (int32_t at = 0; at < length; at += 8) {
                    ede3(keys, (inPlace ? single : in).data() + at, single.data() + at, 8,
                         singleIv.data(), encrypt);
                }
                EXPECT_EQ(toHex(single), toHex(whole));
                EXPECT_EQ(toHex(singleIv), toHex(wholeIv));
            }
        }
    }
}

// Every whole-block length up to 300 bytes and the lengths around the
// vector kernels' batches of 32 and 64 blocks and a record's worth, against OpenSSL
// and against the same data fed one block per call, which takes the
// one-block path. Both directions, in place and out of place, the IV
// checked each time; with every kernel the processor has, and with the
// portable path alone.
TEST(DesEde3Cbc, WholeCallsMatchBlockByBlockAndOpenSsl) {
    std::vector<uint32_t> kernelMasks = {0};
    if (vc::desAvx2Available()) {
        kernelMasks.push_back(vc::DES_KERNEL_AVX2);
    }
    if (vc::desWideAvailable()) {
        kernelMasks.push_back(vc::DES_KERNEL_WIDE);
    }
    for (const uint32_t kernels : kernelMasks) {
        vc::desAllowKernels(kernels);
        wholeCallsAgainstBlockByBlock(kernels);
    }
    vc::desAllowKernels(vc::DES_KERNELS_ALL);
}

#endif  // VC_TEST_OPENSSL

}  // namespace
