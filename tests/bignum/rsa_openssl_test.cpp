// RSA with PKCS#1 v1.5 blocks: agreement with OpenSSL's libcrypto on the
// committed test keys (tests/data/keys, made by make-keys.sh), the exact block
// layouts, every way a key or an input block is refused, and the blinding of
// the private operations.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bignum/bignum_support.h"
#include "crypto/random_pool.h"
#include "support/openssl_bignum.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// Runs one of our operations: a failure must leave output and length
// untouched, and a success must write nothing past the length it reports.
struct OpResult {
    vc::CryptoStatus status;
    Bytes out;
};

constexpr uint8_t UNTOUCHED = 0xA5;
constexpr uint32_t UNTOUCHED_LENGTH = 0xDEADBEEF;

template <auto Operation, typename Key>
OpResult run(const Bytes& input, const Key& key) {
    Bytes out(600, UNTOUCHED);
    uint32_t length = UNTOUCHED_LENGTH;
    const vc::CryptoStatus status =
        Operation(input.data(), static_cast<uint32_t>(input.size()), &key, out.data(), &length);
    if (status != vc::CRYPTO_OK) {
        EXPECT_EQ(length, UNTOUCHED_LENGTH) << "length written on failure " << status;
        length = 0;
    }
    EXPECT_LE(length, 512u);
    length = std::min<uint32_t>(length, 512u);
    EXPECT_TRUE(
        std::all_of(out.begin() + length, out.end(), [](uint8_t b) { return b == UNTOUCHED; }))
        << "output written past its length " << length << ", status " << status;
    out.resize(length);
    return {status, out};
}

constexpr auto encrypt = run<vc::rsaPublicEncrypt, vc::RsaPublicKey>;
constexpr auto decrypt = run<vc::rsaPrivateDecrypt, vc::RsaPrivateKey>;
constexpr auto sign = run<vc::rsaPrivateSign, vc::RsaPrivateKey>;
constexpr auto recover = run<vc::rsaPublicRecover, vc::RsaPublicKey>;

// One of OpenSSL's RSA_public_encrypt, RSA_private_decrypt,
// RSA_private_encrypt (signing) or RSA_public_decrypt (recovery); with
// RSA_NO_PADDING the raw operation that hands ours a block of any layout.
using OsslOperation = int (*)(int, const unsigned char*, unsigned char*, RSA*, int);

Bytes openssl(OsslOperation operation, RSA* rsa, const Bytes& in, int padding = RSA_PKCS1_PADDING) {
    Bytes out(static_cast<size_t>(RSA_size(rsa)));
    const int n = operation(static_cast<int>(in.size()), in.data(), out.data(), rsa, padding);
    EXPECT_GE(n, 0) << "OpenSSL refused the block";
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
}

// Blinding of the private operations: with a seeded pool the slot a
// thread uses gets its pair on first use and squares it on every use
// after, a copied key makes its own, and without random the operations
// still work, unblinded. (Many threads on one key: api/threads_test.cpp.)
class RsaBlindingTest : public ::testing::Test {
  protected:
    void SetUp() override { seedPool(); }
    // A cipher block of message under the 1024-bit test key, by OpenSSL.
    static Bytes cipherOf(const Bytes& message) {
        return openssl(RSA_public_encrypt, testKey(1024).rsa.get(), message);
    }
    static std::size_t slotsIn(const vc::RsaPrivateKey& key, uint32_t ready) {
        return std::size_t(std::count_if(std::begin(key.blinding.slots),
                                         std::end(key.blinding.slots),
                                         [&](const auto& slot) { return slot.ready == ready; }));
    }
    // The slot one thread uses; a BigNum of a slot's residue.
    static const vc::RsaBlindingSlot& usedSlot(const vc::RsaPrivateKey& key) {
        return *std::find_if(std::begin(key.blinding.slots), std::end(key.blinding.slots),
                             [](const auto& slot) { return slot.ready == 1; });
    }
    static vc::BigNum value(const vc::RsaResidue& residue) {
        vc::BigNum out = fromWords({});
        std::copy(std::begin(residue.words), std::end(residue.words), out.words);
        out.length = residue.length;
        return out;
    }
    SavedLibraryState saved_;
};

TEST_F(RsaBlindingTest, MadeOnceAndSquaredOnEveryUse) {
    vc::RsaPrivateKey key = testKey(1024).key;
    const Bytes message = {1, 2, 3, 4, 5};
    const Bytes cipher = cipherOf(message);
    EXPECT_EQ(slotsIn(key, 0), vc::RSA_BLINDING_SLOTS);
    ASSERT_EQ(decrypt(cipher, key).out, message);
    ASSERT_EQ(slotsIn(key, 1), 1u);  // one thread, one slot
    const vc::RsaBlindingSlot& slot = usedSlot(key);
    EXPECT_EQ(slot.owner, &key);
    // The radix: the engine's R for either limb width, or with IFMA its own.
    const uint32_t plainRadix = 32 * key.n.length;
    EXPECT_EQ(slot.radix, vc::bigNumBlindingRadix(&key.n));
    EXPECT_TRUE(slot.radix == plainRadix || (slot.radix > plainRadix && vc::bigNumIfmaAvailable()));
    // The pair is kept times R: x R -> x^2 R is (x R)^2 / R, and a b^e = 1;
    // also where the faster product was masked off since the pair was made.
    const auto mont = [&](const vc::BigNum& x, const vc::BigNum& y) {
        return opensslMontProduct(x, y, key.n, slot.radix);
    };
    for (int i = 0; i < 4; ++i) {
        const KernelChoice narrowed(i % 2 == 0 ? vc::BIGNUM_KERNELS_ALL : 0u);
        const vc::RsaBlindingSlot before = slot;
        ASSERT_EQ(decrypt(cipher, key).out, message);
        for (const auto member : {&vc::RsaBlindingSlot::aR, &vc::RsaBlindingSlot::bR}) {
            const vc::BigNum was = value(before.*member);
            EXPECT_TRUE(sameValue(mont(value(slot.*member), fromWords({1})),
                                  mont(mont(was, was), fromWords({1}))));
        }
    }
    const vc::BigNum b = mont(value(slot.bR), fromWords({1}));
    EXPECT_TRUE(sameValue(mont(opensslModExp(b, key.e, key.n), value(slot.aR)), fromWords({1})));
    {
        // A pair made with the processor kernels masked off is in the
        // engine's radix.
        const KernelChoice narrowed(0u);
        EXPECT_EQ(vc::bigNumBlindingRadix(&key.n), plainRadix);
    }

    // A copy does not reuse the original's pair.
    const vc::RsaPrivateKey copy = key;
    ASSERT_EQ(decrypt(cipher, copy).out, message);
    ASSERT_EQ(slotsIn(copy, 1), 1u);
    EXPECT_EQ(usedSlot(copy).owner, &copy);
    EXPECT_FALSE(sameValue(value(usedSlot(copy).aR), value(slot.aR)));

    // Signatures are blinded too and still verify.
    EXPECT_EQ(openssl(RSA_public_decrypt, testKey(1024).rsa.get(), sign(message, key).out),
              message);
}

// An e that does not belong to d: blinding would change the answer, so the
// key is marked and decrypts unblinded, as it did without blinding. And
// without random the operation still works, unblinded.
TEST_F(RsaBlindingTest, MismatchedKeyOrUnseededPoolStaysUnblinded) {
    vc::RsaPrivateKey key = testKey(1024).key;
    key.e = fromWords({3});
    const Bytes message = {4, 5, 6};
    const Bytes cipher = cipherOf(message);
    EXPECT_EQ(decrypt(cipher, key).out, message);
    // Every slot knows it, not only the one that found out.
    EXPECT_EQ(slotsIn(key, 2), vc::RSA_BLINDING_SLOTS);
    EXPECT_EQ(decrypt(cipher, key).out, message);
    clearPool();
    const vc::RsaPrivateKey sound = testKey(1024).key;
    EXPECT_EQ(decrypt(cipher, sound).out, message);
    EXPECT_EQ(slotsIn(sound, 0), vc::RSA_BLINDING_SLOTS);
}

class RsaInterop : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        seedPool();
        key_ = &testKey(GetParam());
        // k counts the whole bytes of the modulus (127 for 1016 bits).
        ASSERT_EQ(key_->k, static_cast<uint32_t>(GetParam() + 7) / 8);
    }
    RSA* rsa() const { return key_->rsa.get(); }
    const TestKey* key_ = nullptr;
};

// Both operations of each pair on our side and OpenSSL's on the other.
// OpenSSL's decryption checks the layout of our type 2 blocks (at least 8
// non-zero padding bytes, then the separator), and the padding must differ
// between two encryptions of the same data. Type 1 blocks are
// deterministic, so our signature must equal OpenSSL's byte for byte,
// leading zero bytes included. Our private operations run on a
// quarter of the lengths (the fixed ones always): they dominate the time.
TEST_P(RsaInterop, BothDirectionsAgreeWithOpenSsl) {
    std::mt19937 rng(1000 + GetParam());
    const vc::RsaPublicKey pub = publicOf(key_->key);
    // The empty and the longest data always, random lengths in between;
    // fewer rounds for the long keys, whose private operations dominate.
    const int bits = GetParam();
    const size_t count = 4 * (bits <= 512 ? 100 : bits <= 1024 ? 32 : bits <= 2048 ? 12 : 3);
    std::vector<uint32_t> lengths = {0, key_->k - 11, 16, 34};
    while (lengths.size() < count) {
        lengths.push_back(static_cast<uint32_t>(rng() % (key_->k - 10)));
    }
    for (size_t i = 0; i < lengths.size(); ++i) {
        SCOPED_TRACE(lengths[i]);
        const Bytes data = randomData(rng, lengths[i]);
        const OpResult cipher = encrypt(data, pub);
        ASSERT_EQ(cipher.status, vc::CRYPTO_OK);
        ASSERT_EQ(cipher.out.size(), key_->k);
        EXPECT_EQ(openssl(RSA_private_decrypt, rsa(), cipher.out), data);
        EXPECT_NE(encrypt(data, pub).out, cipher.out) << "padding drawn afresh";
        const Bytes signature = openssl(RSA_private_encrypt, rsa(), data);
        const OpResult recovered = recover(signature, pub);
        ASSERT_EQ(recovered.status, vc::CRYPTO_OK);
        EXPECT_EQ(recovered.out, data);
        if (i < 4 || i % 4 == 0) {
            const OpResult plain = decrypt(openssl(RSA_public_encrypt, rsa(), data), key_->key);
            ASSERT_EQ(plain.status, vc::CRYPTO_OK);
            EXPECT_EQ(plain.out, data);
            const OpResult ours = sign(data, key_->key);
            ASSERT_EQ(ours.status, vc::CRYPTO_OK);
            EXPECT_EQ(ours.out, signature);
        }
    }
    // md5DigestInfoPrefix and a digest give the signature OpenSSL makes for
    // MD5.
    const Bytes digest = randomData(rng, 16);
    const OpResult md5Signature = sign(
        concat({Bytes(vc::md5DigestInfoPrefix, vc::md5DigestInfoPrefix + 18), digest}), key_->key);
    Bytes expected(key_->k);
    unsigned expectedLength = 0;
    ASSERT_EQ(RSA_sign(NID_md5, digest.data(), 16, expected.data(), &expectedLength, rsa()), 1);
    EXPECT_EQ(md5Signature.out, expected);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RsaInterop, ::testing::Values(512, 1016, 1023, 1024, 2048, 4096),
                         [](const ::testing::TestParamInfo<int>& keySize) {
                             return "Bits" + std::to_string(keySize.param);
                         });

// A random odd modulus of each bit length with e = d = 1: whatever the
// operations pad comes back unchanged, so the block itself can be read.
TEST(RsaBlockLayout, BlockLengthCountsWholeBytesOfTheModulus) {
    seedPool();
    Bn n(BN_new());
    for (int bits : {89, 96, 97, 1000, 1001, 1008, 1009, 1016, 1017, 1023, 1024, 4089, 4096}) {
        SCOPED_TRACE(bits);
        ASSERT_EQ(BN_rand(n.get(), bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD), 1);
        vc::RsaPrivateKey key{};
        key.n = fromBn(n.get());
        key.e = key.d = fromWords({1});
        const OpResult cipher = encrypt({0x42}, publicOf(key));
        const OpResult signature = sign({0x42}, key);
        ASSERT_EQ(cipher.status, vc::CRYPTO_OK);
        ASSERT_EQ(signature.status, vc::CRYPTO_OK);
        EXPECT_EQ(cipher.out.size(), static_cast<size_t>(bits + 7) / 8);
        EXPECT_EQ(signature.out, concat({{0x00, 0x01},
                                         Bytes(static_cast<size_t>(bits + 7) / 8 - 4, 0xFF),
                                         {0x00, 0x42}}));
    }
}

class RsaRefusal : public ::testing::Test {
  protected:
    void SetUp() override {
        seedPool();
        key_ = &testKey(1024);
        ASSERT_EQ(key_->k, 128u);
    }
    RSA* rsa() const { return key_->rsa.get(); }
    const vc::RsaPrivateKey& key() const { return key_->key; }
    vc::RsaPublicKey pub() const { return publicOf(key_->key); }

    // Blocks of the 1024-bit key: "N" its modulus and "N+1"; "C" and "S" the
    // cipher block and signature of three bytes, "C-" and "S-" without their
    // first byte; "C+N" and "S+N" such a block of other data plus n, still
    // 128 bytes and the same residue.
    Bytes named(const std::string& piece) {
        const BIGNUM* n = nullptr;
        RSA_get0_key(rsa(), &n, nullptr, nullptr);
        Bytes out(128);
        if (piece[0] == 'N') {
            Bn value(BN_dup(n));
            BN_add_word(value.get(), piece == "N+1" ? 1 : 0);
            BN_bn2binpad(value.get(), out.data(), 128);
            return out;
        }
        const auto op = piece[0] == 'C' ? RSA_public_encrypt : RSA_private_encrypt;
        if (piece.size() <= 2) {
            const Bytes block = openssl(op, rsa(), {1, 2, 3});
            return Bytes(block.begin() + long(piece.size() - 1), block.end());
        }
        for (int attempt = 0; attempt < 64; ++attempt) {
            Bn sum(BN_bin2bn(openssl(op, rsa(), randomData(rng_, 20)).data(), 128, nullptr));
            BN_add(sum.get(), sum.get(), n);
            if (BN_bn2binpad(sum.get(), out.data(), 128) == 128) {
                return out;
            }
        }
        ADD_FAILURE() << "no block stays below 2^1024 with n added";
        return {};
    }

    // Bytes in the notation of rsa_blocks.vec: pieces in order, hex bytes,
    // "hh*n" for n copies of the byte hh, "P<n>" for n random non-zero
    // bytes, "R<n>" for n random bytes, or one of the named blocks; "-" is
    // no bytes at all.
    Bytes blockOf(const std::string& text) {
        static const std::set<std::string> NAMED = {"N", "N+1", "C", "C-", "C+N", "S", "S-", "S+N"};
        Bytes out;
        for (const std::string& piece : readFields(text == "-" ? "" : text)) {
            const size_t star = piece.find('*');
            const Bytes bytes =
                NAMED.contains(piece) ? named(piece)
                : piece[0] == 'P' || piece[0] == 'R'
                    ? randomData(rng_, std::stoul(piece.substr(1)), piece[0] == 'P')
                : star != std::string::npos
                    ? Bytes(std::stoul(piece.substr(star + 1)),
                            static_cast<uint8_t>(std::stoul(piece.substr(0, star), nullptr, 16)))
                    : fromHex(piece);
            out.insert(out.end(), bytes.begin(), bytes.end());
        }
        return out;
    }
    const TestKey* key_ = nullptr;
    std::mt19937 rng_{99};
};

// The refuse rows of rsa_keys.vec: data too long, a tiny modulus, and input
// blocks of the wrong length or value.
TEST_F(RsaRefusal, DataTooLongTinyModulusAndInputBlocks) {
    vc::RsaPrivateKey tiny{};
    tiny.n = fromWords({3233});
    tiny.e = fromWords({17});
    tiny.d = fromWords({2753});
    for (const auto& row : readVec("rsa_keys.vec", "refuse", 34)) {
        SCOPED_TRACE(row.text);
        const auto& f = row.fields;
        const vc::RsaPrivateKey& k = f[1] == "tiny" ? tiny : testKey(std::stoi(f[1])).key;
        const Bytes input = blockOf(f[3]);
        const OpResult result = f[2] == "encrypt"   ? encrypt(input, publicOf(k))
                                : f[2] == "decrypt" ? decrypt(input, k)
                                : f[2] == "sign"    ? sign(input, k)
                                                    : recover(input, publicOf(k));
        EXPECT_EQ(result.status, std::stoi(row.value));
    }
}

// The layouts of rsa_blocks.vec.
TEST_F(RsaRefusal, BlockLayouts) {
    for (const auto& row : readVec("rsa_blocks.vec", "", 25)) {
        SCOPED_TRACE(row.text);
        const Bytes em = blockOf(row.value);
        ASSERT_EQ(em.size(), 128u);
        const OpResult result =
            row.fields[0] == "decrypt"
                ? decrypt(openssl(RSA_public_encrypt, rsa(), em, RSA_NO_PADDING), key())
                : recover(openssl(RSA_private_encrypt, rsa(), em, RSA_NO_PADDING), pub());
        if (row.fields[1] == "refused") {
            EXPECT_EQ(result.status, vc::CRYPTO_BLOCK_REFUSED);
        } else {
            ASSERT_EQ(result.status, vc::CRYPTO_OK);
            EXPECT_EQ(result.out, Bytes(em.end() - std::stol(row.fields[1]), em.end()));
        }
    }
}

// The rows of rsa_keys.vec, then the four operations without a key.
TEST_F(RsaRefusal, KeyChecks) {
    const Bytes cipher = openssl(RSA_public_encrypt, rsa(), {1, 2, 3});
    const Bytes signature = openssl(RSA_private_encrypt, rsa(), {1, 2, 3});
    for (const auto& row : readVec("rsa_keys.vec", "key", 8)) {
        SCOPED_TRACE(row.text);
        vc::RsaPrivateKey k = key();
        for (std::size_t i = 0; i < 3; ++i) {
            BigNum& member = k.*KEY_MEMBERS[i];
            if (row.fields[1 + i] == "even") {
                member.words[0] &= ~1u;
            } else if (row.fields[1 + i] != "key") {
                member = wordsOf(row.fields[1 + i]);
            }
        }
        const std::vector<std::string> statuses = {
            std::to_string(encrypt({1, 2, 3}, publicOf(k)).status),
            std::to_string(decrypt(cipher, k).status), std::to_string(sign({1, 2, 3}, k).status),
            std::to_string(recover(signature, publicOf(k)).status)};
        EXPECT_EQ(statuses, readFields(row.value));
    }

    uint8_t out[8] = {};
    uint32_t length = UNTOUCHED_LENGTH;
    const uint8_t in[1] = {1};
    EXPECT_EQ(vc::rsaPublicEncrypt(in, 1, nullptr, out, &length), vc::CRYPTO_KEY_UNUSABLE);
    EXPECT_EQ(vc::rsaPrivateDecrypt(in, 1, nullptr, out, &length), vc::CRYPTO_KEY_UNUSABLE);
    EXPECT_EQ(vc::rsaPrivateSign(in, 1, nullptr, out, &length), vc::CRYPTO_KEY_UNUSABLE);
    EXPECT_EQ(vc::rsaPublicRecover(in, 1, nullptr, out, &length), vc::CRYPTO_KEY_UNUSABLE);
    EXPECT_EQ(length, UNTOUCHED_LENGTH);
}

// The length check comes first; the operations that draw nothing still work.
TEST_F(RsaRefusal, EncryptionRefusedWhileThePoolIsUnseeded) {
    clearPool();
    ASSERT_EQ(vc::randomIsUnseeded(), 1);
    EXPECT_EQ(encrypt({1, 2, 3}, pub()).status, vc::CRYPTO_NO_RANDOM);
    EXPECT_EQ(encrypt(Bytes(118, 1), pub()).status, vc::CRYPTO_DATA_TOO_LONG);
    EXPECT_EQ(sign({1, 2, 3}, key()).status, vc::CRYPTO_OK);
    seedPool();
    EXPECT_EQ(encrypt({1, 2, 3}, pub()).status, vc::CRYPTO_OK);
}

// CRT members that are absent or with an even p send both private operations
// through d and n, with the results of the sound key. Decryption takes
// usable members at their word (a wrong dP garbles the block); signing
// checks them and never releases a CRT signature that fails.
TEST(RsaCrt, FallbacksAndWrongMembers) {
    seedPool();
    const TestKey& sound = testKey(2048);
    std::mt19937 rng(2048);
    const vc::BigNum two = fromWords({2});
    for (int change = 0; change < 3; ++change) {
        // p, q, dP, dQ and qInv.
        for (size_t m = 3; m < std::size(KEY_MEMBERS); ++m) {
            SCOPED_TRACE(testing::Message() << "change " << change << ", " << KEY_PARAMETERS[m]);
            vc::RsaPrivateKey key = sound.key;
            vc::BigNum& member = key.*KEY_MEMBERS[m];
            if (change == 0) {
                member.length = 0;
            } else if (change == 1) {
                member.words[0] &= ~1u;  // p or q even; the others unusual
            } else {
                vc::bigNumAdd(&member, &two, &member);
            }
            const Bytes data = randomData(rng, 34);
            const OpResult signature = sign(data, key);
            ASSERT_EQ(signature.status, vc::CRYPTO_OK);
            EXPECT_EQ(signature.out, openssl(RSA_private_encrypt, sound.rsa.get(), data));
            const OpResult plain = decrypt(openssl(RSA_public_encrypt, sound.rsa.get(), data), key);
            if (change == 2) {
                EXPECT_EQ(plain.status, vc::CRYPTO_BLOCK_REFUSED);
            } else if (change == 0 || m < 5) {
                ASSERT_EQ(plain.status, vc::CRYPTO_OK);
                EXPECT_EQ(plain.out, data);
            }
        }
    }
}

}  // namespace
