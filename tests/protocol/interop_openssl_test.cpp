// The wire format checked by an independent reading built on OpenSSL's
// primitives: the key exchange block opened with the server's key, the
// keys derived from it and the two hello randoms, every sealed message and
// an application record opened and MAC-checked, and the client's signature
// verified. A symmetric mistake on both of our sides cannot pass this.
#include <openssl/des.h>
#include <openssl/md5.h>
#include <openssl/rc4.h>
#include <openssl/rsa.h>

#include "protocol/channel_support.h"

namespace {

using vctest::Bytes;
using vctest::Side;

Bytes md5(const std::vector<Bytes>& pieces) {
    MD5_CTX md5;
    MD5_Init(&md5);
    for (const Bytes& piece : pieces) {
        MD5_Update(&md5, piece.data(), piece.size());
    }
    Bytes digest(16);
    MD5_Final(digest.data(), &md5);
    return digest;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + long(from), bytes.begin() + long(from + count));
}

// One direction of the record layer, built from the derived key alone.
struct Reader {
    Bytes key;
    Bytes iv;
    uint32_t sequence = 0;
    RC4_KEY rc4{};
    DES_key_schedule des[3]{};

    Reader(const Bytes& directionKey, const Bytes& initialIv) : key(directionKey), iv(initialIv) {
        if (key.size() == 16) {
            RC4_set_key(&rc4, 16, key.data());
        }
        for (int i = 0; i < 3 && key.size() == 24; ++i) {
            DES_set_key_unchecked(reinterpret_cast<const_DES_cblock*>(key.data() + 8 * i), &des[i]);
        }
    }

    // The payload of one record, after its MAC and padding were checked.
    Bytes open(const Bytes& wire) {
        Bytes body(wire.begin() + 2, wire.end());
        EXPECT_EQ(body.size(), (std::size_t(wire[0]) << 8 | wire[1]));
        if (key.size() == 16) {
            RC4(&rc4, body.size(), body.data(), body.data());
        } else {
            DES_ede3_cbc_encrypt(body.data(), body.data(), long(body.size()), &des[0], &des[1],
                                 &des[2], reinterpret_cast<DES_cblock*>(iv.data()), DES_DECRYPT);
        }
        const Bytes sequenceBytes = {uint8_t(sequence >> 24), uint8_t(sequence >> 16),
                                     uint8_t(sequence >> 8), uint8_t(sequence)};
        ++sequence;
        EXPECT_EQ(slice(body, 0, 16), md5({key, slice(body, 16, body.size() - 16), sequenceBytes}));
        const std::size_t padding = body[16];
        EXPECT_LT(padding, key.size() == 16 ? 1u : 8u);
        return slice(body, 17, body.size() - 17 - padding);
    }
};

using Interop = vctest::ChannelTest;

TEST_F(Interop, WireFormatAgainstAnIndependentReading) {
    for (uint32_t mask : {1u, 2u}) {
        SCOPED_TRACE(mask);
        reset();
        connectPair(ROLE_SERVER_AUTH_CLIENT, "client.pem:client.key", mask, mask);
        std::vector<Bytes> wire;
        runHandshake(client, server, [&](int, Bytes& message, Side&) { wire.push_back(message); });
        ASSERT_EQ(wire.size(), 8u);
        const std::size_t keyLength = mask == 1 ? 16 : 24;
        const Bytes clientRandom = slice(wire[0], 7, 32);
        const Bytes serverRandom = slice(wire[1], 8, 32);
        const Bytes serverCertificate = slice(wire[1], 42, wire[1].size() - 42);

        // The key exchange block under the server's RSA key.
        const std::size_t cipherLength = std::size_t(wire[2][4]) << 8 | wire[2][5];
        const vctest::Rsa serverKey(
            EVP_PKEY_get1_RSA(vctest::opensslKey(vctest::credential("server.key")).get()));
        Bytes block(256);
        const int blockLength =
            RSA_private_decrypt(int(cipherLength), wire[2].data() + 8, block.data(),
                                serverKey.get(), RSA_PKCS1_PADDING);
        ASSERT_EQ(blockLength, int(keyLength + 42));
        block.resize(std::size_t(blockLength));
        const Bytes label(vc::VERSION_LABEL_TEXT, vc::VERSION_LABEL_TEXT + 24);
        const Bytes hashedLabel = slice(label, 0, 23);
        const Bytes masterSecret = slice(block, 42, keyLength);
        EXPECT_EQ(slice(block, 0, 16), md5({hashedLabel, masterSecret, hashedLabel}));
        EXPECT_EQ(slice(block, 16, 24), label);
        EXPECT_EQ(slice(block, 40, 2), Bytes({0, uint8_t(keyLength)}));
        const Bytes iv = slice(wire[2], 8 + cipherLength, mask == 1 ? 0 : 8);

        Bytes keyMaterial;
        for (uint8_t i = 0; i < 3; ++i) {
            const Bytes piece = md5({masterSecret, {uint8_t('0' + i)}, clientRandom, serverRandom});
            keyMaterial.insert(keyMaterial.end(), piece.begin(), piece.end());
        }
        Reader fromServer(slice(keyMaterial, 0, keyLength), iv);
        Reader fromClient(slice(keyMaterial, keyLength, keyLength), iv);

        EXPECT_EQ(fromServer.open(wire[3]), vctest::concat({{4}, clientRandom}));
        EXPECT_EQ(fromClient.open(wire[4]), vctest::concat({{5}, serverRandom}));
        const Bytes request = fromServer.open(wire[5]);
        ASSERT_EQ(request.size(), 34u);
        EXPECT_EQ(slice(request, 0, 2), Bytes({6, 1}));

        // The client's signature over both directions' keys, the challenge
        // and the server's certificate.
        const Bytes certificate = fromClient.open(wire[6]);
        const std::size_t c = std::size_t(certificate[2]) << 8 | certificate[3];
        const std::size_t s = std::size_t(certificate[4]) << 8 | certificate[5];
        ASSERT_EQ(certificate.size(), 6 + c + s);
        const auto clientCertificate = vctest::opensslCertificate(vctest::credential("client.pem"));
        const vctest::Rsa clientKey(EVP_PKEY_get1_RSA(X509_get0_pubkey(clientCertificate.get())));
        Bytes recovered(128);
        ASSERT_EQ(RSA_public_decrypt(int(s), certificate.data() + 6 + c, recovered.data(),
                                     clientKey.get(), RSA_PKCS1_PADDING),
                  34);
        EXPECT_EQ(slice(recovered, 18, 16), md5({slice(keyMaterial, 0, 2 * keyLength),
                                                 slice(request, 2, 32), serverCertificate}));
        EXPECT_EQ(fromServer.open(wire[7]).size(), 33u);

        // Application data continues both streams.
        const Bytes data(1000, 0x6B);
        EXPECT_EQ(fromClient.open(seal(client, data)), data);
        EXPECT_EQ(fromServer.open(seal(server, data)), data);
    }
}

}  // namespace
