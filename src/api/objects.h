// The two records the host holds as opaque handles. Each begins with a tag
// that is written last when the object is complete and cleared first when
// it is torn down, so a handle to a dying object fails the check.
#pragma once

#include <cstdint>

#include "bignum/rsa.h"
#include "crypto/des.h"
#include "crypto/rc4.h"
#include "pki/certificate.h"
#include "veilcastnet.h"

namespace vc {

constexpr uint32_t CONTEXT_TAG = 0x12345678;
constexpr uint32_t CONNECTION_TAG = 0x87654321;
constexpr uint32_t OWN_CERTIFICATE_MAX = 32000;

struct Context {
    uint32_t tag;
    uint8_t* ownCertificate;  // DER, owned; null without a certificate
    uint32_t ownCertificateLength;
    RsaPrivateKey privateKey;     // inside the record, so wiping it wipes the key
    Certificate* caCertificates;  // owned array of caCount records
    int32_t caCount;
    uint32_t isServer;
    uint32_t requestClientCertificate;
    uint32_t cipherMask;  // bit 0 RC4, bit 1 triple-DES; nothing else
    CertificateCallback certificateCallback;
};

struct Connection {
    uint32_t tag;
    Context* context;   // not owned; must outlive the connection
    char* serviceName;  // owned copy
    uint32_t userValue;
    uint32_t state;  // handshake state 1..9, 9 = complete
    uint32_t isServer;
    uint32_t encryptionOn;
    uint8_t* peerCertificate;  // owned copy of the server's DER (client side)
    uint32_t peerCertificateLength;
    uint8_t clientRandom[32];
    uint8_t serverRandom[32];
    uint32_t cipherMask;
    uint32_t suite;
    uint8_t keyMaterial[48];
    uint32_t sendSequence;
    uint32_t receiveSequence;
    Rc4State readRc4;
    Rc4State writeRc4;
    DesKeySchedule readDes[3];
    DesKeySchedule writeDes[3];
    uint8_t readIv[8];
    uint8_t writeIv[8];
};

constexpr uint32_t HANDSHAKE_COMPLETE = 9;

// Null when the handle is null or does not carry the live tag of its kind.
inline Context* liveContext(VcContext* handle) noexcept {
    auto* context = reinterpret_cast<Context*>(handle);
    return context != nullptr && context->tag == CONTEXT_TAG ? context : nullptr;
}

inline Connection* liveConnection(VcConnection* handle) noexcept {
    auto* connection = reinterpret_cast<Connection*>(handle);
    return connection != nullptr && connection->tag == CONNECTION_TAG ? connection : nullptr;
}

// Teardown shared by the exported destroy operations and by the operations
// that must destroy a connection on a fatal result.
void contextTeardown(Context* context) noexcept;
void connectionTeardown(Connection* connection) noexcept;

}  // namespace vc
