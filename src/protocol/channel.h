// The protocol's own state: the credentials a handshake works with and the
// per-connection channel (handshake progress, randoms, keys, cipher states).
// The interface layer wraps these in its tagged handles; the engine only
// ever sees these records, so tests and fuzz targets can drive a client and
// a server channel without going through the exported functions.
#pragma once

#include <cstdint>

#include "bignum/rsa.h"
#include "crypto/des.h"
#include "crypto/rc4.h"
#include "pki/certificate.h"
#include "veilcastnet.h"

namespace vc {

// The label both sides put into the key exchange: hashed as its 23
// characters, carried and compared as the 24-byte field with its zero.
constexpr char VERSION_LABEL_TEXT[] = "Veilcastnet Version 2.0";
static_assert(sizeof(VERSION_LABEL_TEXT) == 24);
constexpr uint32_t VERSION_LABEL_HASHED = 23;

// Handshake progress. A client runs 1, 2, 4, 6, (8), 9; a server 1, 3, 5,
// (7), 9. The numbers are those the connection record has always carried.
enum class HandshakeState : uint32_t {
    Start = 1,
    ClientAwaitServerHello = 2,
    ServerAwaitKeyExchange = 3,
    ClientAwaitServerVerify = 4,
    ServerAwaitClientFinished = 5,
    ClientAwaitFinishOrRequest = 6,
    ServerAwaitClientCertificate = 7,
    ClientAwaitFinished = 8,
    Complete = 9,
};

// One row per cipher-mask bit: bit 0 selects row 0, bit 1 row 1.
struct CipherSuite {
    uint32_t keyLength;  // bytes of each direction's key, also its MAC secret
    uint32_t blockSize;
    uint32_t ivLength;
    uint32_t macLength;
};

constexpr CipherSuite CIPHER_SUITES[2] = {
    {16, 1, 0, 16},  // RC4 with a 128-bit key
    {24, 8, 8, 16},  // triple-DES EDE in CBC mode
};
constexpr uint32_t SUITE_RC4 = 0;
constexpr uint32_t SUITE_DES_EDE3_CBC = 1;

// 2-byte length, 16-byte MAC and the padding-count byte in front of every
// sealed payload.
constexpr uint32_t RECORD_HEADER = 2 + 16 + 1;

// What a context lends to its connections' handshakes; read-only once made,
// but for the private key's blinding pairs, which the RSA layer advances
// under their own locks on every private operation.
struct Credentials {
    uint8_t* ownCertificate;  // DER, owned by the context; null without one
    uint32_t ownCertificateLength;
    uint32_t ownCertificateRoom;  // bytes allocated for it, all wiped at teardown
    RsaPrivateKey privateKey;
    Certificate* caCertificates;  // caCount parsed records
    int32_t caCount;
    uint32_t isServer;
    uint32_t requestClientCertificate;
    uint32_t cipherMask;  // bit 0 RC4, bit 1 triple-DES; nothing else
    CertificateCallback certificateCallback;
};

struct RecordState;

// The agreed suite's cipher over one record in place: sealing passes a
// non-zero encrypt, opening zero (RC4 has no use for it). Chosen once per
// direction when the keys are derived, so no record asks for the suite.
using RecordCipher = void (*)(RecordState* state, uint8_t* data, uint32_t length,
                              int encrypt) noexcept;

// Everything one direction of a channel needs to seal or open its next
// record: the write half seals, the read half opens. deriveKeys fills both
// halves; the suite's row, MAC secret and cipher never change afterwards,
// the sequence number, keystream and CBC chain run on from record to record.
struct RecordState {
    uint32_t sequence;
    Rc4State rc4;
    DesKeySchedule des[3];  // first, second, third schedule of the EDE chain
    uint8_t iv[8];          // the last ciphertext block of the previous record
    uint8_t macSecret[24];  // suite->keyLength bytes, the same as the cipher key
    const CipherSuite* suite;
    RecordCipher cipher;
};

struct Channel {
    const char* serviceName;  // the peer's expected commonName (clients)
    uint32_t userValue;       // handed to the certificate callback
    HandshakeState state;
    uint32_t isServer;
    uint32_t encryptionOn;     // every handshake message is sealed once set
    uint8_t* peerCertificate;  // owned copy of the server's DER (clients)
    uint32_t peerCertificateLength;
    uint8_t clientRandom[32];  // later the client-authentication challenge
    uint8_t serverRandom[32];
    uint32_t cipherMask;  // narrowed to the agreed bit by the handshake
    uint32_t suite;       // index into CIPHER_SUITES
    uint8_t keyMaterial[48];
    RecordState read;   // records from the peer
    RecordState write;  // records to the peer
};

// A fresh channel in the start state, for a context with these credentials.
void channelInit(Channel* channel, const Credentials* credentials, const char* serviceName,
                 uint32_t userValue) noexcept;

// Wipes and releases the peer certificate copy, then wipes the whole record.
void channelWipe(Channel* channel) noexcept;

}  // namespace vc
