// RSA with PKCS#1 v1.5 blocks: agreement with OpenSSL's libcrypto on the
// committed test keys (tests/data/keys, made by make-keys.sh), the exact block
// layouts, and every way a key or an input block is refused.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bignum/bignum.h"
#include "bignum/rsa.h"
#include "crypto/random_pool.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Keys and conversions

struct RsaDeleter {
    void operator()(RSA* rsa) const { RSA_free(rsa); }
};
struct BnDeleter {
    void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using RsaPtr = std::unique_ptr<RSA, RsaDeleter>;
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;

vc::BigNum toBigNum(const BIGNUM* bn) {
    vc::BigNum out{};
    Bytes bytes(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, bytes.data());
    vc::bigNumFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), &out);
    return out;
}

vc::BigNum smallBigNum(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    vc::BigNum out{};
    vc::bigNumFromBytes(bytes, 4, &out);
    return out;
}

Bytes toBytes(const vc::BigNum& value, uint32_t count) {
    Bytes out(count);
    vc::bigNumToBytes(out.data(), count, &value);
    return out;
}

struct TestKey {
    RsaPtr rsa;
    vc::RsaPrivateKey key;
    uint32_t k;
};

// Keys are read once per process; the map keeps them for every later test.
const TestKey& testKey(uint32_t bits) {
    static std::map<uint32_t, std::unique_ptr<TestKey>> cache;
    auto found = cache.find(bits);
    if (found != cache.end()) {
        return *found->second;
    }
    const std::string path =
        std::string(VC_TEST_DATA_DIR) + "/keys/rsa-" + std::to_string(bits) + ".pem";
    BIO* bio = BIO_new_file(path.c_str(), "r");
    EXPECT_NE(bio, nullptr) << path;
    auto entry = std::make_unique<TestKey>();
    entry->rsa.reset(bio != nullptr ? PEM_read_bio_RSAPrivateKey(bio, nullptr, nullptr, nullptr)
                                    : nullptr);
    BIO_free(bio);
    EXPECT_NE(entry->rsa, nullptr) << path;
    if (entry->rsa == nullptr) {
        // Let the caller's test fail on the missing key instead of crashing.
        entry->rsa.reset(RSA_new());
        entry->key = vc::RsaPrivateKey{};
        entry->k = 0;
    } else {
        const BIGNUM *n, *e, *d, *p, *q, *dP, *dQ, *qInv;
        RSA_get0_key(entry->rsa.get(), &n, &e, &d);
        RSA_get0_factors(entry->rsa.get(), &p, &q);
        RSA_get0_crt_params(entry->rsa.get(), &dP, &dQ, &qInv);
        entry->key.n = toBigNum(n);
        entry->key.e = toBigNum(e);
        entry->key.d = toBigNum(d);
        entry->key.p = toBigNum(p);
        entry->key.q = toBigNum(q);
        entry->key.dP = toBigNum(dP);
        entry->key.dQ = toBigNum(dQ);
        entry->key.qInv = toBigNum(qInv);
        entry->k = static_cast<uint32_t>(RSA_size(entry->rsa.get()));
    }
    return *cache.emplace(bits, std::move(entry)).first->second;
}

vc::RsaPublicKey publicOf(const vc::RsaPrivateKey& key) {
    vc::RsaPublicKey out{};
    out.n = key.n;
    out.e = key.e;
    return out;
}

Bytes randomBytes(std::mt19937& rng, size_t count) {
    Bytes out(count);
    for (auto& byte : out) {
        byte = static_cast<uint8_t>(rng());
    }
    return out;
}

Bytes nonZeroBytes(std::mt19937& rng, size_t count) {
    Bytes out(count);
    for (auto& byte : out) {
        byte = static_cast<uint8_t>(1 + rng() % 255);
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Clears the pool (a relative seed path fails at once, after the clear) and
// seeds it with 255 distinct bytes, enough for the entropy goal and one wrap.
void seedPool() {
    vc::randomInitialize(nullptr, nullptr, nullptr, nullptr, "relative");
    uint8_t seed[255];
    for (uint32_t i = 0; i < sizeof seed; ++i) {
        seed[i] = static_cast<uint8_t>(i);
    }
    ASSERT_EQ(vc::vcSeedCallback(seed, sizeof seed), -1) << "pool did not seed";
}

// ---------------------------------------------------------------------------
// Running our operations: a failure must leave output and length untouched,
// and a success must write nothing past the length it reports.

constexpr uint8_t UNTOUCHED = 0xA5;
constexpr uint32_t UNTOUCHED_LENGTH = 0xDEADBEEF;
constexpr size_t OUTPUT_ROOM = 600;

struct OpResult {
    vc::CryptoStatus status;
    Bytes out;
};

template <typename Key>
using RsaOperation = vc::CryptoStatus (*)(const uint8_t*, uint32_t, const Key*, uint8_t*,
                                          uint32_t*);

template <typename Key>
OpResult run(RsaOperation<Key> operation, const Bytes& input, const Key& key) {
    Bytes out(OUTPUT_ROOM, UNTOUCHED);
    uint32_t length = UNTOUCHED_LENGTH;
    const vc::CryptoStatus status =
        operation(input.data(), static_cast<uint32_t>(input.size()), &key, out.data(), &length);
    if (status != vc::CRYPTO_OK) {
        EXPECT_EQ(length, UNTOUCHED_LENGTH) << "length written on failure " << status;
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == UNTOUCHED; }))
            << "output written on failure " << status;
        return {status, {}};
    }
    EXPECT_LE(length, 512u);
    length = std::min<uint32_t>(length, 512u);
    EXPECT_TRUE(std::all_of(out.begin() + length, out.end(), [](uint8_t b) {
        return b == UNTOUCHED;
    })) << "output written past its length";
    out.resize(length);
    return {status, out};
}

OpResult encrypt(const Bytes& data, const vc::RsaPublicKey& key) {
    return run(vc::rsaPublicEncrypt, data, key);
}
OpResult decrypt(const Bytes& block, const vc::RsaPrivateKey& key) {
    return run(vc::rsaPrivateDecrypt, block, key);
}
OpResult sign(const Bytes& data, const vc::RsaPrivateKey& key) {
    return run(vc::rsaPrivateSign, data, key);
}
OpResult recover(const Bytes& block, const vc::RsaPublicKey& key) {
    return run(vc::rsaPublicRecover, block, key);
}

// ---------------------------------------------------------------------------
// OpenSSL as the oracle

Bytes opensslDecrypt(RSA* rsa, const Bytes& block) {
    Bytes out(static_cast<size_t>(RSA_size(rsa)));
    const int n = RSA_private_decrypt(static_cast<int>(block.size()), block.data(), out.data(), rsa,
                                      RSA_PKCS1_PADDING);
    EXPECT_GE(n, 0) << "OpenSSL refused our cipher block";
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
}

Bytes opensslEncrypt(RSA* rsa, const Bytes& data) {
    Bytes out(static_cast<size_t>(RSA_size(rsa)));
    const int n = RSA_public_encrypt(static_cast<int>(data.size()), data.data(), out.data(), rsa,
                                     RSA_PKCS1_PADDING);
    EXPECT_EQ(n, RSA_size(rsa));
    return out;
}

Bytes opensslSign(RSA* rsa, const Bytes& data) {
    Bytes out(static_cast<size_t>(RSA_size(rsa)));
    const int n = RSA_private_encrypt(static_cast<int>(data.size()), data.data(), out.data(), rsa,
                                      RSA_PKCS1_PADDING);
    EXPECT_EQ(n, RSA_size(rsa));
    return out;
}

Bytes opensslRecover(RSA* rsa, const Bytes& signature) {
    Bytes out(static_cast<size_t>(RSA_size(rsa)));
    const int n = RSA_public_decrypt(static_cast<int>(signature.size()), signature.data(),
                                     out.data(), rsa, RSA_PKCS1_PADDING);
    EXPECT_GE(n, 0) << "OpenSSL refused our signature";
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
}

// block^e mod n and block^d mod n without padding: the way to hand our
// operations a block of any layout.
Bytes rawPublic(RSA* rsa, const Bytes& block) {
    Bytes out(block.size());
    EXPECT_EQ(RSA_public_encrypt(static_cast<int>(block.size()), block.data(), out.data(), rsa,
                                 RSA_NO_PADDING),
              RSA_size(rsa));
    return out;
}

Bytes rawPrivate(RSA* rsa, const Bytes& block) {
    Bytes out(block.size());
    EXPECT_EQ(RSA_private_encrypt(static_cast<int>(block.size()), block.data(), out.data(), rsa,
                                  RSA_NO_PADDING),
              RSA_size(rsa));
    return out;
}

// Data lengths for a differential run: the empty and the longest block
// always, random lengths in between.
std::vector<uint32_t> dataLengths(uint32_t k, int count, std::mt19937& rng) {
    std::vector<uint32_t> lengths = {0, k - 11, 16, 34};
    while (static_cast<int>(lengths.size()) < count) {
        lengths.push_back(static_cast<uint32_t>(rng() % (k - 10)));
    }
    lengths.resize(static_cast<size_t>(count));
    return lengths;
}

// The private operations dominate; fewer rounds for the long keys.
int roundsFor(uint32_t bits) {
    if (bits <= 512) {
        return 100;
    }
    if (bits <= 1024) {
        return 32;
    }
    return bits <= 2048 ? 12 : 3;
}

// ---------------------------------------------------------------------------
// Agreement with OpenSSL on every committed key size

class RsaInterop : public ::testing::TestWithParam<uint32_t> {
  protected:
    void SetUp() override {
        seedPool();
        key_ = &testKey(GetParam());
        ASSERT_GT(key_->k, 0u);
    }
    RSA* rsa() const { return key_->rsa.get(); }
    const TestKey* key_ = nullptr;
};

TEST_P(RsaInterop, BlockLengthIsTheModulusInWholeBytes) {
    EXPECT_EQ(key_->k, (GetParam() + 7) / 8);
    const OpResult cipher = encrypt({}, publicOf(key_->key));
    ASSERT_EQ(cipher.status, vc::CRYPTO_OK);
    EXPECT_EQ(cipher.out.size(), key_->k);
    const OpResult signature = sign({}, key_->key);
    ASSERT_EQ(signature.status, vc::CRYPTO_OK);
    EXPECT_EQ(signature.out.size(), key_->k);
}

TEST_P(RsaInterop, OurEncryptionOpensWithOpenSSL) {
    std::mt19937 rng(1000 + GetParam());
    const vc::RsaPublicKey pub = publicOf(key_->key);
    for (uint32_t length : dataLengths(key_->k, 4 * roundsFor(GetParam()), rng)) {
        const Bytes data = randomBytes(rng, length);
        const OpResult cipher = encrypt(data, pub);
        ASSERT_EQ(cipher.status, vc::CRYPTO_OK) << "length " << length;
        ASSERT_EQ(cipher.out.size(), key_->k);
        EXPECT_EQ(opensslDecrypt(rsa(), cipher.out), data) << "length " << length;
    }
}

TEST_P(RsaInterop, OpenSSLEncryptionOpensWithOurs) {
    std::mt19937 rng(2000 + GetParam());
    for (uint32_t length : dataLengths(key_->k, roundsFor(GetParam()), rng)) {
        const Bytes data = randomBytes(rng, length);
        const OpResult plain = decrypt(opensslEncrypt(rsa(), data), key_->key);
        ASSERT_EQ(plain.status, vc::CRYPTO_OK) << "length " << length;
        EXPECT_EQ(plain.out, data) << "length " << length;
    }
}

// Type 1 blocks are deterministic, so our signature must equal OpenSSL's
// byte for byte, leading zero bytes included.
TEST_P(RsaInterop, SignatureEqualsOpenSSLs) {
    std::mt19937 rng(3000 + GetParam());
    for (uint32_t length : dataLengths(key_->k, roundsFor(GetParam()), rng)) {
        const Bytes data = randomBytes(rng, length);
        const OpResult signature = sign(data, key_->key);
        ASSERT_EQ(signature.status, vc::CRYPTO_OK) << "length " << length;
        EXPECT_EQ(signature.out, opensslSign(rsa(), data)) << "length " << length;
        EXPECT_EQ(opensslRecover(rsa(), signature.out), data) << "length " << length;
    }
}

TEST_P(RsaInterop, OpenSSLSignatureRecoversWithOurs) {
    std::mt19937 rng(4000 + GetParam());
    const vc::RsaPublicKey pub = publicOf(key_->key);
    for (uint32_t length : dataLengths(key_->k, 4 * roundsFor(GetParam()), rng)) {
        const Bytes data = randomBytes(rng, length);
        const OpResult recovered = recover(opensslSign(rsa(), data), pub);
        ASSERT_EQ(recovered.status, vc::CRYPTO_OK) << "length " << length;
        EXPECT_EQ(recovered.out, data) << "length " << length;
    }
}

// An MD5 signature made over md5DigestInfoPrefix and the digest is the one
// OpenSSL makes from the bare digest.
TEST_P(RsaInterop, Md5SignatureEqualsOpenSSLs) {
    std::mt19937 rng(5000 + GetParam());
    const Bytes digest = randomBytes(rng, 16);
    const Bytes digestInfo =
        concat({Bytes(vc::md5DigestInfoPrefix, vc::md5DigestInfoPrefix + 18), digest});
    const OpResult signature = sign(digestInfo, key_->key);
    ASSERT_EQ(signature.status, vc::CRYPTO_OK);
    Bytes expected(key_->k);
    unsigned expectedLength = 0;
    ASSERT_EQ(RSA_sign(NID_md5, digest.data(), 16, expected.data(), &expectedLength, rsa()), 1);
    EXPECT_EQ(signature.out, expected);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, RsaInterop,
                         ::testing::Values(512u, 1016u, 1023u, 1024u, 2048u, 4096u),
                         [](const ::testing::TestParamInfo<uint32_t>& keySize) {
                             return "Bits" + std::to_string(keySize.param);
                         });

// ---------------------------------------------------------------------------
// Block layouts, seen through an exponent of 1 (the block is its own image)

class RsaBlockLayout : public ::testing::Test {
  protected:
    void SetUp() override { seedPool(); }
    // A random odd modulus of the given bit length with e = d = 1: whatever
    // the operations pad is returned unchanged.
    static vc::RsaPrivateKey identityKey(int bits) {
        BnPtr n(BN_new());
        EXPECT_EQ(BN_rand(n.get(), bits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ODD), 1);
        vc::RsaPrivateKey key{};
        key.n = toBigNum(n.get());
        key.e = smallBigNum(1);
        key.d = smallBigNum(1);
        return key;
    }
};

// The modulus length in whole bytes, whatever the top word holds.
TEST_F(RsaBlockLayout, BlockLengthCountsWholeBytesOfTheModulus) {
    for (int bits : {89, 96, 97, 1000, 1001, 1008, 1009, 1016, 1017, 1023, 1024, 4089, 4096}) {
        const vc::RsaPrivateKey key = identityKey(bits);
        const uint32_t k = static_cast<uint32_t>(bits + 7) / 8;
        const OpResult cipher = encrypt({0x42}, publicOf(key));
        ASSERT_EQ(cipher.status, vc::CRYPTO_OK) << bits;
        EXPECT_EQ(cipher.out.size(), k) << bits;
        const OpResult signature = sign({0x42}, key);
        ASSERT_EQ(signature.status, vc::CRYPTO_OK) << bits;
        EXPECT_EQ(signature.out.size(), k) << bits;
    }
}

TEST_F(RsaBlockLayout, EncryptionBlockHasNonZeroRandomPadding) {
    const vc::RsaPrivateKey key = identityKey(1024);
    std::mt19937 rng(7);
    for (uint32_t length : {0u, 1u, 48u, 116u, 117u}) {
        const Bytes data = randomBytes(rng, length);
        const OpResult cipher = encrypt(data, publicOf(key));
        ASSERT_EQ(cipher.status, vc::CRYPTO_OK);
        const Bytes& em = cipher.out;
        ASSERT_EQ(em.size(), 128u);
        EXPECT_EQ(em[0], 0x00);
        EXPECT_EQ(em[1], 0x02);
        const size_t separator = 128 - length - 1;
        EXPECT_TRUE(std::none_of(em.begin() + 2, em.begin() + static_cast<long>(separator),
                                 [](uint8_t b) { return b == 0; }))
            << "zero in padding, length " << length;
        EXPECT_EQ(em[separator], 0x00);
        EXPECT_TRUE(
            std::equal(data.begin(), data.end(), em.begin() + static_cast<long>(separator) + 1));
    }
    // Fresh padding every time.
    const OpResult first = encrypt({1, 2, 3}, publicOf(key));
    const OpResult second = encrypt({1, 2, 3}, publicOf(key));
    EXPECT_NE(first.out, second.out);
}

TEST_F(RsaBlockLayout, SignatureBlockIsPaddedWithFF) {
    const vc::RsaPrivateKey key = identityKey(1016);
    const Bytes data = {0xde, 0xad, 0xbe, 0xef};
    const OpResult signature = sign(data, key);
    ASSERT_EQ(signature.status, vc::CRYPTO_OK);
    const Bytes expected = concat({{0x00, 0x01}, Bytes(127 - 4 - 3, 0xFF), {0x00}, data});
    EXPECT_EQ(signature.out, expected);
}

// ---------------------------------------------------------------------------
// Refused inputs (1024-bit key unless said otherwise)

class RsaRefusal : public ::testing::Test {
  protected:
    void SetUp() override {
        seedPool();
        key_ = &testKey(1024);
        ASSERT_EQ(key_->k, 128u);
        pub_ = publicOf(key_->key);
    }
    RSA* rsa() const { return key_->rsa.get(); }
    const vc::RsaPrivateKey& key() const { return key_->key; }

    // 00 type padding [00] data, encrypted for rsaPrivateDecrypt.
    OpResult decryptBlock(const Bytes& em) const { return decrypt(rawPublic(rsa(), em), key()); }
    // The same, signed for rsaPublicRecover.
    OpResult recoverBlock(const Bytes& em) const { return recover(rawPrivate(rsa(), em), pub_); }

    const TestKey* key_ = nullptr;
    vc::RsaPublicKey pub_{};
    std::mt19937 rng_{99};
};

TEST_F(RsaRefusal, DataLongerThanKMinus11) {
    EXPECT_EQ(encrypt(Bytes(117, 7), pub_).status, vc::CRYPTO_OK);
    EXPECT_EQ(encrypt(Bytes(118, 7), pub_).status, vc::CRYPTO_DATA_TOO_LONG);
    EXPECT_EQ(sign(Bytes(117, 7), key()).status, vc::CRYPTO_OK);
    EXPECT_EQ(sign(Bytes(118, 7), key()).status, vc::CRYPTO_DATA_TOO_LONG);
    EXPECT_EQ(sign(Bytes(512, 7), key()).status, vc::CRYPTO_DATA_TOO_LONG);

    const TestKey& odd = testKey(1016);
    EXPECT_EQ(encrypt(Bytes(116, 7), publicOf(odd.key)).status, vc::CRYPTO_OK);
    EXPECT_EQ(encrypt(Bytes(117, 7), publicOf(odd.key)).status, vc::CRYPTO_DATA_TOO_LONG);
    EXPECT_EQ(sign(Bytes(117, 7), odd.key).status, vc::CRYPTO_DATA_TOO_LONG);
}

TEST_F(RsaRefusal, InputBlockOfWrongLength) {
    const Bytes good = opensslEncrypt(rsa(), {1, 2, 3});
    Bytes longer = concat({{0x00}, good});  // same value, k + 1 bytes
    Bytes shorter(good.begin() + 1, good.end());
    EXPECT_EQ(decrypt(longer, key()).status, vc::CRYPTO_BLOCK_REFUSED);
    EXPECT_EQ(decrypt(shorter, key()).status, vc::CRYPTO_BLOCK_REFUSED);
    EXPECT_EQ(decrypt({}, key()).status, vc::CRYPTO_BLOCK_REFUSED);

    const Bytes signature = opensslSign(rsa(), {1, 2, 3});
    EXPECT_EQ(recover(concat({{0x00}, signature}), pub_).status, vc::CRYPTO_BLOCK_REFUSED);
    EXPECT_EQ(recover(Bytes(signature.begin() + 1, signature.end()), pub_).status,
              vc::CRYPTO_BLOCK_REFUSED);
}

TEST_F(RsaRefusal, InputValueZeroOrNotBelowModulus) {
    vc::BigNum nPlusOne{};
    const vc::BigNum one = smallBigNum(1);
    vc::bigNumAdd(&key().n, &one, &nPlusOne);
    const Bytes refused[] = {Bytes(128, 0x00), toBytes(key().n, 128), toBytes(nPlusOne, 128),
                             Bytes(128, 0xFF)};
    for (const Bytes& block : refused) {
        EXPECT_EQ(decrypt(block, key()).status, vc::CRYPTO_BLOCK_REFUSED);
        EXPECT_EQ(recover(block, pub_).status, vc::CRYPTO_BLOCK_REFUSED);
    }
}

TEST_F(RsaRefusal, DecryptPaddingLengths) {
    const Bytes data = randomBytes(rng_, 128 - 11);
    // Exactly 8 padding bytes: the longest data there is.
    const OpResult eight =
        decryptBlock(concat({{0x00, 0x02}, nonZeroBytes(rng_, 8), {0x00}, data}));
    ASSERT_EQ(eight.status, vc::CRYPTO_OK);
    EXPECT_EQ(eight.out, data);
    // 7 padding bytes: the separator comes too early.
    const Bytes longer = randomBytes(rng_, 128 - 10);
    EXPECT_EQ(decryptBlock(concat({{0x00, 0x02}, nonZeroBytes(rng_, 7), {0x00}, longer})).status,
              vc::CRYPTO_BLOCK_REFUSED);
    // A zero directly after the block type.
    EXPECT_EQ(decryptBlock(concat({{0x00, 0x02, 0x00}, nonZeroBytes(rng_, 125)})).status,
              vc::CRYPTO_BLOCK_REFUSED);
    // Separator as the last byte: no data at all.
    const OpResult empty = decryptBlock(concat({{0x00, 0x02}, nonZeroBytes(rng_, 125), {0x00}}));
    ASSERT_EQ(empty.status, vc::CRYPTO_OK);
    EXPECT_TRUE(empty.out.empty());
    // No separator anywhere.
    EXPECT_EQ(decryptBlock(concat({{0x00, 0x02}, nonZeroBytes(rng_, 126)})).status,
              vc::CRYPTO_BLOCK_REFUSED);
}

TEST_F(RsaRefusal, DecryptBlockTypeAndLeadingByte) {
    const Bytes tail = concat({nonZeroBytes(rng_, 20), {0x00}, randomBytes(rng_, 105)});
    EXPECT_EQ(decryptBlock(concat({{0x00, 0x02}, tail})).status, vc::CRYPTO_OK);
    for (uint8_t type : {0x00, 0x01, 0x03, 0x82}) {
        EXPECT_EQ(decryptBlock(concat({{0x00, type}, tail})).status, vc::CRYPTO_BLOCK_REFUSED)
            << int{type};
    }
    // A signature block (type 1 with FF padding) is not an encryption block.
    EXPECT_EQ(decryptBlock(concat({{0x00, 0x01}, Bytes(20, 0xFF), {0x00}, Bytes(105, 1)})).status,
              vc::CRYPTO_BLOCK_REFUSED);
    // Still below n (its top bit is set), but the leading byte is not zero.
    EXPECT_EQ(decryptBlock(concat({{0x01, 0x02}, tail})).status, vc::CRYPTO_BLOCK_REFUSED);
}

TEST_F(RsaRefusal, RecoverPaddingLengthsAndBytes) {
    const Bytes data = randomBytes(rng_, 117);
    const OpResult eight = recoverBlock(concat({{0x00, 0x01}, Bytes(8, 0xFF), {0x00}, data}));
    ASSERT_EQ(eight.status, vc::CRYPTO_OK);
    EXPECT_EQ(eight.out, data);
    EXPECT_EQ(
        recoverBlock(concat({{0x00, 0x01}, Bytes(7, 0xFF), {0x00}, randomBytes(rng_, 118)})).status,
        vc::CRYPTO_BLOCK_REFUSED);
    const OpResult empty = recoverBlock(concat({{0x00, 0x01}, Bytes(125, 0xFF), {0x00}}));
    ASSERT_EQ(empty.status, vc::CRYPTO_OK);
    EXPECT_TRUE(empty.out.empty());
    EXPECT_EQ(recoverBlock(concat({{0x00, 0x01}, Bytes(126, 0xFF)})).status,
              vc::CRYPTO_BLOCK_REFUSED);
    // Any padding byte other than FF, wherever it stands.
    for (size_t position : {2u, 5u, 9u, 60u}) {
        Bytes em = concat({{0x00, 0x01}, Bytes(60, 0xFF), {0x00}, randomBytes(rng_, 65)});
        em[position] = 0xFE;
        EXPECT_EQ(recoverBlock(em).status, vc::CRYPTO_BLOCK_REFUSED) << position;
    }
}

TEST_F(RsaRefusal, RecoverBlockTypeAndLeadingByte) {
    const Bytes data = randomBytes(rng_, 34);
    // An encryption block: type 2 with random non-zero padding.
    EXPECT_EQ(recoverBlock(concat({{0x00, 0x02}, nonZeroBytes(rng_, 91), {0x00}, data})).status,
              vc::CRYPTO_BLOCK_REFUSED);
    // Even FF padding does not make type 2, or type 0, a signature block.
    for (uint8_t type : {0x00, 0x02}) {
        EXPECT_EQ(recoverBlock(concat({{0x00, type}, Bytes(91, 0xFF), {0x00}, data})).status,
                  vc::CRYPTO_BLOCK_REFUSED);
    }
    EXPECT_EQ(recoverBlock(concat({{0x01, 0x01}, Bytes(91, 0xFF), {0x00}, data})).status,
              vc::CRYPTO_BLOCK_REFUSED);
}

// n = 61 * 53 has k = 2: no data fits, and no block can carry a type.
TEST_F(RsaRefusal, TinyModulusRefusesEverything) {
    vc::RsaPrivateKey tiny{};
    tiny.n = smallBigNum(3233);
    tiny.e = smallBigNum(17);
    tiny.d = smallBigNum(2753);
    EXPECT_EQ(encrypt({}, publicOf(tiny)).status, vc::CRYPTO_DATA_TOO_LONG);
    EXPECT_EQ(sign({}, tiny).status, vc::CRYPTO_DATA_TOO_LONG);
    EXPECT_EQ(decrypt({0x00, 0x02}, tiny).status, vc::CRYPTO_BLOCK_REFUSED);
    EXPECT_EQ(recover({0x00, 0x01}, publicOf(tiny)).status, vc::CRYPTO_BLOCK_REFUSED);
    EXPECT_EQ(decrypt({0x01, 0x23}, tiny).status, vc::CRYPTO_BLOCK_REFUSED);
    EXPECT_EQ(recover({0x01, 0x23}, publicOf(tiny)).status, vc::CRYPTO_BLOCK_REFUSED);
}

// ---------------------------------------------------------------------------
// Key checks: over-long modulus first, then missing parts or an even modulus

class RsaKeyChecks : public ::testing::Test {
  protected:
    void SetUp() override {
        seedPool();
        sound_ = testKey(1024).key;
        cipher_ = opensslEncrypt(testKey(1024).rsa.get(), {1, 2, 3});
        signature_ = opensslSign(testKey(1024).rsa.get(), {1, 2, 3});
    }
    // The four operations on one key, each with input that would otherwise
    // succeed.
    std::vector<vc::CryptoStatus> statuses(const vc::RsaPrivateKey& key) const {
        return {encrypt({1, 2, 3}, publicOf(key)).status, decrypt(cipher_, key).status,
                sign({1, 2, 3}, key).status, recover(signature_, publicOf(key)).status};
    }
    vc::RsaPrivateKey sound_{};
    Bytes cipher_;
    Bytes signature_;
};

using Statuses = std::vector<vc::CryptoStatus>;
constexpr vc::CryptoStatus OK = vc::CRYPTO_OK;
constexpr vc::CryptoStatus UNUSABLE = vc::CRYPTO_KEY_UNUSABLE;

TEST_F(RsaKeyChecks, SoundKeyPassesEveryOperation) {
    EXPECT_EQ(statuses(sound_), (Statuses{OK, OK, OK, OK}));
}

TEST_F(RsaKeyChecks, ModulusOf129WordsIsTooLongWhateverElseIsWrong) {
    vc::RsaPrivateKey key{};
    key.n.length = 129;
    for (uint32_t i = 0; i < 129; ++i) {
        key.n.words[i] = 0xFFFFFFFEu;  // even, and no exponents at all
    }
    EXPECT_EQ(statuses(key), Statuses(4, vc::CRYPTO_MODULUS_TOO_LONG));
    key.e = sound_.e;
    key.d = sound_.d;
    key.n.words[0] |= 1;
    EXPECT_EQ(statuses(key), Statuses(4, vc::CRYPTO_MODULUS_TOO_LONG));
    // 128 words is still allowed: only the evenness is wrong.
    key.n.words[0] &= ~1u;
    key.n.length = 128;
    EXPECT_EQ(statuses(key), Statuses(4, UNUSABLE));
}

TEST_F(RsaKeyChecks, EvenOrAbsentModulus) {
    vc::RsaPrivateKey even = sound_;
    even.n.words[0] &= ~1u;
    EXPECT_EQ(statuses(even), Statuses(4, UNUSABLE));
    vc::RsaPrivateKey absent = sound_;
    absent.n.length = 0;
    EXPECT_EQ(statuses(absent), Statuses(4, UNUSABLE));
}

TEST_F(RsaKeyChecks, EachOperationNeedsItsOwnExponents) {
    vc::RsaPrivateKey noE = sound_;
    noE.e.length = 0;
    // Decryption needs d only; signing needs e for its check.
    EXPECT_EQ(statuses(noE), (Statuses{UNUSABLE, OK, UNUSABLE, UNUSABLE}));

    vc::RsaPrivateKey noD = sound_;
    noD.d.length = 0;
    // The CRT members would do, but d is required all the same.
    EXPECT_EQ(statuses(noD), (Statuses{OK, UNUSABLE, UNUSABLE, OK}));
}

TEST_F(RsaKeyChecks, NullKeyIsUnusable) {
    uint8_t out[8] = {};
    uint32_t length = UNTOUCHED_LENGTH;
    const uint8_t in[1] = {1};
    EXPECT_EQ(vc::rsaPublicEncrypt(in, 1, nullptr, out, &length), UNUSABLE);
    EXPECT_EQ(vc::rsaPrivateDecrypt(in, 1, nullptr, out, &length), UNUSABLE);
    EXPECT_EQ(vc::rsaPrivateSign(in, 1, nullptr, out, &length), UNUSABLE);
    EXPECT_EQ(vc::rsaPublicRecover(in, 1, nullptr, out, &length), UNUSABLE);
    EXPECT_EQ(length, UNTOUCHED_LENGTH);
}

// ---------------------------------------------------------------------------
// Random padding needs a seeded pool

TEST(RsaRandom, EncryptionRefusedWhileThePoolIsUnseeded) {
    const vc::RsaPublicKey pub = publicOf(testKey(1024).key);
    vc::randomInitialize(nullptr, nullptr, nullptr, nullptr, "relative");
    ASSERT_EQ(vc::randomIsUnseeded(), 1);
    EXPECT_EQ(encrypt({1, 2, 3}, pub).status, vc::CRYPTO_NO_RANDOM);
    // The length check comes first.
    EXPECT_EQ(encrypt(Bytes(118, 1), pub).status, vc::CRYPTO_DATA_TOO_LONG);
    // The operations that draw nothing still work.
    EXPECT_EQ(sign({1, 2, 3}, testKey(1024).key).status, vc::CRYPTO_OK);

    seedPool();
    EXPECT_EQ(encrypt({1, 2, 3}, pub).status, vc::CRYPTO_OK);
}

// ---------------------------------------------------------------------------
// The Chinese remainder path and its fallbacks

class RsaCrt : public ::testing::Test {
  protected:
    void SetUp() override {
        seedPool();
        key_ = &testKey(2048);
    }
    RSA* rsa() const { return key_->rsa.get(); }
    const TestKey* key_ = nullptr;
    std::mt19937 rng_{2048};
};

// Members present but p even: the key is used through d and n, with the same
// results as the CRT path of the sound key.
TEST_F(RsaCrt, EvenPrimeFallsBackToPrivateExponent) {
    vc::RsaPrivateKey key = key_->key;
    key.p.words[0] &= ~1u;
    for (int round = 0; round < 3; ++round) {
        const Bytes data = randomBytes(rng_, 34);
        const OpResult plain = decrypt(opensslEncrypt(rsa(), data), key);
        ASSERT_EQ(plain.status, vc::CRYPTO_OK);
        EXPECT_EQ(plain.out, data);
        const OpResult viaD = sign(data, key);
        const OpResult viaCrt = sign(data, key_->key);
        ASSERT_EQ(viaD.status, vc::CRYPTO_OK);
        ASSERT_EQ(viaCrt.status, vc::CRYPTO_OK);
        EXPECT_EQ(viaD.out, viaCrt.out);
        EXPECT_EQ(viaD.out, opensslSign(rsa(), data));
    }
}

TEST_F(RsaCrt, AbsentMemberFallsBackToPrivateExponent) {
    const Bytes data = randomBytes(rng_, 100);
    const Bytes cipher = opensslEncrypt(rsa(), data);
    const Bytes expected = opensslSign(rsa(), data);
    for (vc::BigNum vc::RsaPrivateKey::*member :
         {&vc::RsaPrivateKey::p, &vc::RsaPrivateKey::q, &vc::RsaPrivateKey::dP,
          &vc::RsaPrivateKey::dQ, &vc::RsaPrivateKey::qInv}) {
        vc::RsaPrivateKey key = key_->key;
        (key.*member).length = 0;
        const OpResult plain = decrypt(cipher, key);
        ASSERT_EQ(plain.status, vc::CRYPTO_OK);
        EXPECT_EQ(plain.out, data);
        EXPECT_EQ(sign(data, key).out, expected);
    }
}

// Decryption takes usable CRT members at their word: with a wrong dP the
// block comes out garbled and its padding is refused.
TEST_F(RsaCrt, DecryptionUsesTheCrtMembers) {
    vc::RsaPrivateKey key = key_->key;
    const vc::BigNum two = smallBigNum(2);
    vc::bigNumAdd(&key.dP, &two, &key.dP);
    EXPECT_EQ(decrypt(opensslEncrypt(rsa(), {1, 2, 3}), key).status, vc::CRYPTO_BLOCK_REFUSED);
}

// A signature from CRT members that do not belong to the key fails its check
// and is never released; the signature made with d is.
TEST_F(RsaCrt, SignatureWithWrongCrtMembersIsStillCorrect) {
    const vc::BigNum two = smallBigNum(2);
    for (vc::BigNum vc::RsaPrivateKey::*member :
         {&vc::RsaPrivateKey::dP, &vc::RsaPrivateKey::dQ, &vc::RsaPrivateKey::qInv}) {
        vc::RsaPrivateKey key = key_->key;
        vc::bigNumAdd(&(key.*member), &two, &(key.*member));
        const Bytes data = randomBytes(rng_, 34);
        const OpResult signature = sign(data, key);
        ASSERT_EQ(signature.status, vc::CRYPTO_OK);
        EXPECT_EQ(signature.out, opensslSign(rsa(), data));
    }
}

}  // namespace
