// Blinding of the private operations: with a seeded pool the key gets its
// pair on first use and squares it on every use after, a copied key makes
// its own, connections sharing one key may decrypt at the same time, and
// without random the operations still work, unblinded.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "bignum/rsa.h"
#include "crypto/random_pool.h"
#include "support/openssl_bignum.h"
#include "support/test_vectors.h"

namespace {

using namespace vctest;

// R is 2^(32 L) for the 1024-bit key's L = 32 words with either limb width.
constexpr uint32_t radixRounding = 0;

class RsaBlindingTest : public ::testing::Test {
  protected:
    void SetUp() override { saved_ = vc::randomPoolSnapshot(); }
    void TearDown() override { vc::randomPoolRestore(saved_); }

    // A cipher block of message under the 1024-bit test key, by OpenSSL.
    Bytes cipherOf(const Bytes& message) {
        const TestKey& key = testKey(1024);
        Bytes out(key.k);
        EXPECT_EQ(RSA_public_encrypt(static_cast<int>(message.size()), message.data(), out.data(),
                                     key.rsa.get(), RSA_PKCS1_PADDING),
                  static_cast<int>(key.k));
        return out;
    }

    static Bytes decrypt(const Bytes& cipher, const vc::RsaPrivateKey& key) {
        uint8_t out[512];
        uint32_t length = 0;
        if (vc::rsaPrivateDecrypt(cipher.data(), static_cast<uint32_t>(cipher.size()), &key, out,
                                  &length) != vc::CRYPTO_OK) {
            return {};
        }
        return Bytes(out, out + length);
    }

    vc::RandomPool saved_{};
};

TEST_F(RsaBlindingTest, MadeOnceAndSquaredOnEveryUse) {
    seedPool();
    vc::RsaPrivateKey key = testKey(1024).key;
    const Bytes message = {1, 2, 3, 4, 5};
    const Bytes cipher = cipherOf(message);
    EXPECT_EQ(key.blinding.ready, 0u);
    ASSERT_EQ(decrypt(cipher, key), message);
    ASSERT_EQ(key.blinding.ready, 1u);
    EXPECT_EQ(key.blinding.owner, &key);
    // The pair is kept times R: x R -> x^2 R is (x R)^2 / R.
    Bn n = toBn(key.n);
    BnCtx ctx(BN_CTX_new());
    Bn r(BN_new());
    Bn rInverse(BN_new());
    BN_set_bit(r.get(), static_cast<int>(32 * (key.n.length + radixRounding)));
    BN_nnmod(r.get(), r.get(), n.get(), ctx.get());
    BN_mod_inverse(rInverse.get(), r.get(), n.get(), ctx.get());
    auto plain = [&](const vc::BigNum& x) {
        Bn out(BN_new());
        BN_mod_mul(out.get(), toBn(x).get(), rInverse.get(), n.get(), ctx.get());
        return fromBn(out.get());
    };
    for (int i = 0; i < 4; ++i) {
        const vc::BigNum before = plain(key.blinding.aR);
        const vc::BigNum beforeInverse = plain(key.blinding.bR);
        ASSERT_EQ(decrypt(cipher, key), message);
        Bn square(BN_new());
        BN_mod_sqr(square.get(), toBn(before).get(), n.get(), ctx.get());
        EXPECT_TRUE(sameValue(plain(key.blinding.aR), fromBn(square.get())));
        BN_mod_sqr(square.get(), toBn(beforeInverse).get(), n.get(), ctx.get());
        EXPECT_TRUE(sameValue(plain(key.blinding.bR), fromBn(square.get())));
    }
    // The pair still belongs together: a b^e = 1.
    Bn product(BN_new());
    BN_mod_exp(product.get(), toBn(plain(key.blinding.bR)).get(), toBn(key.e).get(), n.get(),
               ctx.get());
    BN_mod_mul(product.get(), product.get(), toBn(plain(key.blinding.aR)).get(), n.get(),
               ctx.get());
    EXPECT_TRUE(BN_is_one(product.get()));

    // A copy does not reuse the original's pair.
    const vc::RsaPrivateKey copy = key;
    ASSERT_EQ(decrypt(cipher, copy), message);
    EXPECT_EQ(copy.blinding.owner, &copy);
    EXPECT_FALSE(sameValue(copy.blinding.aR, key.blinding.aR));

    // Signatures are blinded too and still verify.
    uint8_t signature[512];
    uint32_t length = 0;
    ASSERT_EQ(vc::rsaPrivateSign(message.data(), 5, &key, signature, &length), vc::CRYPTO_OK);
    Bytes recovered(key.n.length * 4);
    EXPECT_EQ(RSA_public_decrypt(static_cast<int>(length), signature, recovered.data(),
                                 testKey(1024).rsa.get(), RSA_PKCS1_PADDING),
              5);
    recovered.resize(5);
    EXPECT_EQ(recovered, message);
}

TEST_F(RsaBlindingTest, SharedKeyAcrossThreads) {
    seedPool();
    const vc::RsaPrivateKey key = testKey(1024).key;
    std::vector<Bytes> messages;
    std::vector<Bytes> ciphers;
    for (uint8_t i = 0; i < 8; ++i) {
        messages.push_back(Bytes(10 + i, i));
        ciphers.push_back(cipherOf(messages.back()));
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < wrong.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round) {
                const size_t i = (t + static_cast<size_t>(round)) % messages.size();
                wrong[t] += decrypt(ciphers[i], key) == messages[i] ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int count : wrong) {
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(key.blinding.ready, 1u);
}

// An e that does not belong to d: blinding would change the answer, so the
// key is marked and decrypts unblinded, as it did without blinding.
TEST_F(RsaBlindingTest, KeyWhoseMembersDisagreeStaysUnblinded) {
    seedPool();
    vc::RsaPrivateKey key = testKey(1024).key;
    key.e = fromWords({3});
    const Bytes message = {4, 5, 6};
    const Bytes cipher = cipherOf(message);
    EXPECT_EQ(decrypt(cipher, key), message);
    EXPECT_EQ(key.blinding.ready, 2u);
    EXPECT_EQ(decrypt(cipher, key), message);
}

TEST_F(RsaBlindingTest, UnseededPoolLeavesTheOperationUnblinded) {
    clearPool();
    const vc::RsaPrivateKey key = testKey(1024).key;
    const Bytes message = {9, 8, 7};
    const Bytes cipher = cipherOf(message);
    EXPECT_EQ(decrypt(cipher, key), message);
    EXPECT_EQ(key.blinding.ready, 0u);
}

}  // namespace
