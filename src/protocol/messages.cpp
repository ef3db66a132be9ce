// Handshake messages and the key exchange. All numbers are big-endian; the
// version is 0x0200 wherever a message carries it.
#include "protocol/messages.h"

#include <cstring>

#include "bignum/rsa.h"
#include "crypto/md5.h"
#include "crypto/random_pool.h"
#include "pki/checks.h"
#include "protocol/record.h"
#include "support/allocator.h"
#include "support/bytes.h"
#include "support/constant_time.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

constexpr uint8_t VERSION_HIGH = 0x02;
constexpr uint8_t VERSION_LOW = 0x00;
constexpr uint32_t SERVER_HELLO_FIXED = 40;
constexpr uint32_t KEY_EXCHANGE_FIXED = 6;
constexpr uint32_t CLIENT_CERTIFICATE_FIXED = 6;
// The key-exchange plaintext: MD5, the 24-byte label, the key length, the key.
constexpr uint32_t KEY_BLOCK_FIXED = 16 + 24 + 2;
constexpr uint32_t SIGNED_BLOCK = sizeof(md5DigestInfoPrefix) + 16;
constexpr uint32_t RSA_BLOCK_MAX = 512;

// Every 16-bit field is written from a count or mask already known to fit.
void put16(uint8_t* p, uint32_t value) noexcept {
    storeBe16(p, static_cast<uint16_t>(value));
}

bool fresh(uint8_t* out, uint32_t count) noexcept {
    return randomBytes(out, count) == 0;
}

// MD5 of the hashed label, the master secret and the label again: the check
// value at the front of the key-exchange plaintext.
void keyBlockDigest(const uint8_t* masterSecret, uint32_t length, uint8_t digest[16]) noexcept {
    Md5Context md5;
    const WipeOnExit wipeMd5(md5);
    md5Init(&md5);
    md5Update(&md5, VERSION_LABEL_TEXT, VERSION_LABEL_HASHED);
    md5Update(&md5, masterSecret, length);
    md5Update(&md5, VERSION_LABEL_TEXT, VERSION_LABEL_HASHED);
    md5Final(digest, &md5);
}

// What the client signs and the server checks: MD5 over both directions'
// keys, the challenge and the server's certificate.
void clientAuthDigest(const Channel* channel, const uint8_t* serverCertificate,
                      uint32_t serverCertificateLength, uint8_t digest[16]) noexcept {
    Md5Context md5;
    const WipeOnExit wipeMd5(md5);
    md5Init(&md5);
    md5Update(&md5, channel->keyMaterial, 2 * CIPHER_SUITES[channel->suite].keyLength);
    md5Update(&md5, channel->clientRandom, sizeof(channel->clientRandom));
    md5Update(&md5, serverCertificate, serverCertificateLength);
    md5Final(digest, &md5);
}

// Narrows the channel to one suite; false when its mask lacks the bit.
bool agreeOnSuite(Channel* channel, uint32_t suite) noexcept {
    if (suite > SUITE_DES_EDE3_CBC || (channel->cipherMask & (1u << suite)) == 0) {
        return false;
    }
    channel->cipherMask = 1u << suite;
    channel->suite = suite;
    return true;
}

}  // namespace

int32_t buildClientHello(Channel* channel, uint8_t* out, uint32_t* length) noexcept {
    if (!fresh(channel->clientRandom, sizeof(channel->clientRandom))) {
        return VC_NOT_INITIALIZED;
    }
    out[0] = CLIENT_HELLO;
    out[1] = VERSION_HIGH;
    out[2] = VERSION_LOW;
    put16(out + 3, channel->cipherMask);
    std::memcpy(out + 5, channel->clientRandom, sizeof(channel->clientRandom));
    *length = CLIENT_HELLO_LENGTH;
    return VC_OK;
}

int32_t readClientHello(Channel* channel, const uint8_t* message, uint32_t length) noexcept {
    if (length != CLIENT_HELLO_LENGTH || message[0] != CLIENT_HELLO || message[1] != VERSION_HIGH ||
        message[2] != VERSION_LOW) {
        return VC_CONNECTION_CLOSED;
    }
    channel->cipherMask &= loadBe16(message + 3);
    if (channel->cipherMask == 0) {
        return VC_NO_COMMON_CIPHER;
    }
    std::memcpy(channel->clientRandom, message + 5, sizeof(channel->clientRandom));
    return VC_OK;
}

int32_t buildServerHello(Channel* channel, const Credentials* credentials, uint8_t* out,
                         uint32_t* length) noexcept {
    if (!fresh(channel->serverRandom, sizeof(channel->serverRandom))) {
        return VC_NOT_INITIALIZED;
    }
    out[0] = SERVER_HELLO;
    out[1] = 1;
    out[2] = VERSION_HIGH;
    out[3] = VERSION_LOW;
    put16(out + 4, channel->cipherMask);
    std::memcpy(out + 6, channel->serverRandom, sizeof(channel->serverRandom));
    put16(out + 38, credentials->ownCertificateLength);
    std::memcpy(out + SERVER_HELLO_FIXED, credentials->ownCertificate,
                credentials->ownCertificateLength);
    *length = SERVER_HELLO_FIXED + credentials->ownCertificateLength;
    return VC_OK;
}

int32_t readServerHello(Channel* channel, const Credentials* credentials, const uint8_t* message,
                        uint32_t length, Certificate* server) noexcept {
    if (length < SERVER_HELLO_FIXED || message[0] != SERVER_HELLO || message[1] != 1 ||
        message[2] != VERSION_HIGH || message[3] != VERSION_LOW) {
        return VC_CONNECTION_CLOSED;
    }
    // The client's preference: RC4 whenever both are on offer.
    const uint32_t offered = channel->cipherMask & loadBe16(message + 4);
    if (offered == 0) {
        channel->cipherMask = 0;
        return VC_NO_COMMON_CIPHER;
    }
    agreeOnSuite(channel, (offered & 1u) != 0 ? SUITE_RC4 : SUITE_DES_EDE3_CBC);
    std::memcpy(channel->serverRandom, message + 6, sizeof(channel->serverRandom));
    const uint32_t certificateLength = loadBe16(message + 38);
    if (certificateLength == 0 || length != SERVER_HELLO_FIXED + certificateLength) {
        return VC_CONNECTION_CLOSED;
    }
    const uint8_t* certificate = message + SERVER_HELLO_FIXED;
    channel->peerCertificate = static_cast<uint8_t*>(allocateZeroed(certificateLength));
    if (channel->peerCertificate == nullptr) {
        return VC_NO_MEMORY;
    }
    std::memcpy(channel->peerCertificate, certificate, certificateLength);
    channel->peerCertificateLength = certificateLength;
    return acceptPeerCertificate(channel, credentials, certificate, certificateLength, server);
}

int32_t buildKeyExchange(Channel* channel, const Certificate* server, uint8_t* out,
                         uint32_t* length) noexcept {
    const CipherSuite& suite = CIPHER_SUITES[channel->suite];
    uint8_t masterSecret[24] = {};
    uint8_t iv[8] = {};
    uint8_t block[KEY_BLOCK_FIXED + 24];
    const WipeOnExit wipeSecret(masterSecret);
    const WipeOnExit wipeIv(iv);
    const WipeOnExit wipeBlock(block);
    if (!fresh(masterSecret, suite.keyLength) || !fresh(iv, suite.ivLength)) {
        return VC_NOT_INITIALIZED;
    }
    keyBlockDigest(masterSecret, suite.keyLength, block);
    std::memcpy(block + 16, VERSION_LABEL_TEXT, sizeof(VERSION_LABEL_TEXT));
    put16(block + 40, suite.keyLength);
    std::memcpy(block + KEY_BLOCK_FIXED, masterSecret, suite.keyLength);
    uint32_t cipherLength = 0;
    if (rsaPublicEncrypt(block, KEY_BLOCK_FIXED + suite.keyLength, &server->publicKey,
                         out + KEY_EXCHANGE_FIXED, &cipherLength) != CRYPTO_OK) {
        return VC_RSA_FAILED;
    }
    out[0] = KEY_EXCHANGE;
    out[1] = static_cast<uint8_t>(channel->suite);
    put16(out + 2, cipherLength);
    put16(out + 4, suite.ivLength);
    std::memcpy(out + KEY_EXCHANGE_FIXED + cipherLength, iv, suite.ivLength);
    *length = KEY_EXCHANGE_FIXED + cipherLength + suite.ivLength;
    deriveKeys(channel, masterSecret, iv);
    return VC_OK;
}

int32_t readKeyExchange(Channel* channel, const Credentials* credentials, const uint8_t* message,
                        uint32_t length, uint8_t* masterSecret, uint8_t* iv) noexcept {
    if (length < KEY_EXCHANGE_FIXED || message[0] != KEY_EXCHANGE ||
        !agreeOnSuite(channel, message[1])) {
        return VC_CONNECTION_CLOSED;
    }
    const CipherSuite& suite = CIPHER_SUITES[channel->suite];
    const uint32_t cipherLength = loadBe16(message + 2);
    const uint32_t ivLength = loadBe16(message + 4);
    if (ivLength != suite.ivLength || length != KEY_EXCHANGE_FIXED + cipherLength + ivLength) {
        return VC_CONNECTION_CLOSED;
    }
    uint8_t block[RSA_BLOCK_MAX];
    uint8_t digest[16];
    const WipeOnExit wipeBlock(block);
    const WipeOnExit wipeDigest(digest);
    uint32_t blockLength = 0;
    if (rsaPrivateDecrypt(message + KEY_EXCHANGE_FIXED, cipherLength, &credentials->privateKey,
                          block, &blockLength) != CRYPTO_OK) {
        return VC_RSA_FAILED;
    }
    if (blockLength != KEY_BLOCK_FIXED + suite.keyLength ||
        std::memcmp(block + 16, VERSION_LABEL_TEXT, sizeof(VERSION_LABEL_TEXT)) != 0 ||
        loadBe16(block + 40) != suite.keyLength) {
        return VC_CONNECTION_CLOSED;
    }
    keyBlockDigest(block + KEY_BLOCK_FIXED, suite.keyLength, digest);
    if (ctMemEqual(digest, block, sizeof(digest)) == 0) {
        return VC_CONNECTION_CLOSED;
    }
    std::memcpy(masterSecret, block + KEY_BLOCK_FIXED, suite.keyLength);
    std::memcpy(iv, message + KEY_EXCHANGE_FIXED + cipherLength, ivLength);
    return VC_OK;
}

uint32_t buildEcho(uint8_t type, const uint8_t random[32], uint8_t* out) noexcept {
    out[0] = type;
    std::memcpy(out + 1, random, 32);
    return ECHO_LENGTH;
}

int32_t readEcho(uint8_t type, const uint8_t expected[32], const uint8_t* message,
                 uint32_t length) noexcept {
    if (length != ECHO_LENGTH || message[0] != type || ctMemEqual(message + 1, expected, 32) == 0) {
        return VC_CONNECTION_CLOSED;
    }
    return VC_OK;
}

int32_t buildCertificateRequest(Channel* channel, uint8_t* out, uint32_t* length) noexcept {
    if (!fresh(channel->clientRandom, sizeof(channel->clientRandom))) {
        return VC_NOT_INITIALIZED;
    }
    out[0] = CERTIFICATE_REQUEST;
    out[1] = 1;
    std::memcpy(out + 2, channel->clientRandom, sizeof(channel->clientRandom));
    *length = CERTIFICATE_REQUEST_LENGTH;
    return VC_OK;
}

int32_t readCertificateRequest(Channel* channel, const Credentials* credentials,
                               const uint8_t* message, uint32_t length) noexcept {
    if (length != CERTIFICATE_REQUEST_LENGTH || message[0] != CERTIFICATE_REQUEST ||
        message[1] != 1) {
        return VC_CONNECTION_CLOSED;
    }
    std::memcpy(channel->clientRandom, message + 2, sizeof(channel->clientRandom));
    return credentials->ownCertificate == nullptr ? VC_NO_CERTIFICATE : VC_OK;
}

int32_t buildClientCertificate(Channel* channel, const Credentials* credentials, uint8_t* out,
                               uint32_t* length) noexcept {
    uint8_t block[SIGNED_BLOCK];
    const WipeOnExit wipeBlock(block);
    std::memcpy(block, md5DigestInfoPrefix, sizeof(md5DigestInfoPrefix));
    clientAuthDigest(channel, channel->peerCertificate, channel->peerCertificateLength,
                     block + sizeof(md5DigestInfoPrefix));
    const uint32_t certificateLength = credentials->ownCertificateLength;
    uint32_t signatureLength = 0;
    if (rsaPrivateSign(block, sizeof(block), &credentials->privateKey,
                       out + CLIENT_CERTIFICATE_FIXED + certificateLength,
                       &signatureLength) != CRYPTO_OK) {
        return VC_RSA_FAILED;
    }
    out[0] = CLIENT_CERTIFICATE;
    out[1] = 1;
    put16(out + 2, certificateLength);
    put16(out + 4, signatureLength);
    std::memcpy(out + CLIENT_CERTIFICATE_FIXED, credentials->ownCertificate, certificateLength);
    *length = CLIENT_CERTIFICATE_FIXED + certificateLength + signatureLength;
    return VC_OK;
}

int32_t readClientCertificate(Channel* channel, const Credentials* credentials,
                              const uint8_t* message, uint32_t length) noexcept {
    if (length < CLIENT_CERTIFICATE_FIXED || message[0] != CLIENT_CERTIFICATE || message[1] != 1) {
        return VC_CONNECTION_CLOSED;
    }
    const uint32_t certificateLength = loadBe16(message + 2);
    const uint32_t signatureLength = loadBe16(message + 4);
    if (CLIENT_CERTIFICATE_FIXED + certificateLength + signatureLength != length) {
        return VC_CONNECTION_CLOSED;
    }
    Certificate client;
    const int32_t accepted = acceptPeerCertificate(
        channel, credentials, message + CLIENT_CERTIFICATE_FIXED, certificateLength, &client);
    if (accepted != VC_OK) {
        return accepted;
    }
    uint8_t recovered[RSA_BLOCK_MAX];
    uint32_t recoveredLength = 0;
    if (rsaPublicRecover(message + CLIENT_CERTIFICATE_FIXED + certificateLength, signatureLength,
                         &client.publicKey, recovered, &recoveredLength) != CRYPTO_OK) {
        return VC_RSA_FAILED;
    }
    uint8_t digest[16];
    clientAuthDigest(channel, credentials->ownCertificate, credentials->ownCertificateLength,
                     digest);
    if (recoveredLength != SIGNED_BLOCK ||
        std::memcmp(recovered, md5DigestInfoPrefix, sizeof(md5DigestInfoPrefix)) != 0 ||
        std::memcmp(recovered + sizeof(md5DigestInfoPrefix), digest, sizeof(digest)) != 0) {
        return VC_CONNECTION_CLOSED;
    }
    return VC_OK;
}

int32_t buildServerFinished(uint8_t* out, uint32_t* length) noexcept {
    out[0] = SERVER_FINISHED;
    if (!fresh(out + 1, ECHO_LENGTH - 1)) {
        return VC_NOT_INITIALIZED;
    }
    *length = ECHO_LENGTH;
    return VC_OK;
}

bool isServerFinished(const uint8_t* message, uint32_t length) noexcept {
    return length == ECHO_LENGTH && message[0] == SERVER_FINISHED;
}

int32_t acceptPeerCertificate(const Channel* channel, const Credentials* credentials,
                              const uint8_t* der, uint32_t length, Certificate* parsed) noexcept {
    uint32_t flags = VERIFY_UNREADABLE;
    if (certificateLoad(der, length, nullptr, nullptr, 0, parsed) == CRYPTO_OK) {
        flags = certificateVerify(parsed, credentials->caCertificates, credentials->caCount);
        if (channel->isServer == 0 &&
            certificateMatchesServiceName(parsed, channel->serviceName) != CRYPTO_OK) {
            flags |= VERIFY_NAME_MISMATCH;
        }
    }
    int32_t answer = 1;
    if (credentials->certificateCallback != nullptr) {
        // Only the host's callback sees the fingerprint.
        uint8_t fingerprint[16];
        Md5Context md5;
        md5Init(&md5);
        md5Update(&md5, der, length);
        md5Final(fingerprint, &md5);
        answer = credentials->certificateCallback(der, length, channel->userValue, flags,
                                                  channel->cipherMask, fingerprint);
    }
    if (channel->isServer == 0 && flags == VERIFY_NAME_MISMATCH) {
        return VC_WRONG_SERVICENAME;
    }
    if (flags != 0) {
        return VC_CERTIFICATE_INVALID;
    }
    return answer == 0 ? VC_CERTIFICATE_REFUSED : VC_OK;
}

}  // namespace vc
