/*
 * Veilcastnet: a secure-transport library. The host moves the bytes; every
 * call consumes whole messages from the front of its input and writes at
 * most one message or record. This is the whole public C interface.
 */
#ifndef VEILCASTNET_H
#define VEILCASTNET_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VC_API __stdcall
#else
#define VC_API
#endif

/* Inside the library the eleven operations are the only visible symbols. */
#if defined(VC_BUILDING_LIBRARY) && !defined(_WIN32)
#define VC_EXPORT __attribute__((visibility("default")))
#else
#define VC_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the exported operations; vcErrorText gives their texts.
 * VC_RECEIVE_MORE_DATA and VC_SEND_DATA are requests to the host. */
enum {
    VC_OK = 0,
    VC_INITIALIZATION_FAILED = 1,
    VC_NOT_INITIALIZED = 2,
    VC_NO_MEMORY = 3,
    VC_NO_CERTIFICATE = 4,
    VC_CERTIFICATE_BAD = 5,
    VC_NO_PRIVATE_KEY = 6,
    VC_PASSPHRASE_BAD = 7,
    VC_PRIVATE_KEY_BAD = 8,
    VC_KEY_CERT_MISMATCH = 9,
    VC_NO_CA_CERTIFICATES = 10,
    VC_CA_CERTIFICATES_BAD = 11,
    VC_EMPTY_CIPHER_LIST = 12,
    VC_ROLE_BAD = 13,
    VC_NO_CONTEXT = 14,
    VC_NO_SERVICENAME = 15,
    VC_RECEIVE_MORE_DATA = 16,
    VC_SEND_DATA = 17,
    VC_CONNECTION_CLOSED = 18,
    VC_DECRYPTION_FAILED = 19,
    VC_NO_COMMON_CIPHER = 20,
    VC_CERTIFICATE_INVALID = 21,
    VC_CERTIFICATE_REFUSED = 22,
    VC_WRONG_SERVICENAME = 23,
    VC_RSA_FAILED = 24,
    VC_NO_CONNECTION = 25,
    VC_HANDSHAKE_IN_PROGRESS = 26
};

/* Roles of a context. */
enum {
    ROLE_SERVER_AUTH_CLIENT = 0, /* server that asks for a client certificate */
    ROLE_SERVER = 1,
    ROLE_CLIENT = 2
};

/* Cipher-mask bits. */
enum {
    VC_CIPHER_RC4_128 = 1,     /* RC4 with a 128-bit key, MD5 MAC */
    VC_CIPHER_DES_EDE3_CBC = 2 /* triple-DES EDE in CBC mode, MD5 MAC */
};

/* VerifyFlags: problems found with a peer certificate, handed to the
 * CertificateCallback. */
enum {
    VERIFY_UNREADABLE = 1,
    VERIFY_ISSUER_UNKNOWN = 2,
    VERIFY_SIGNATURE_BAD = 4,
    VERIFY_PERIOD = 8,     /* now outside the peer certificate's validity */
    VERIFY_CA_PERIOD = 16, /* now outside the issuing CA's validity */
    VERIFY_NAME_MISMATCH = 32
};

typedef struct PemInput {
    const char* text;
    uint32_t length;
} PemInput;

typedef struct PemKeyInput {
    const char* text;
    uint32_t length;
    const char* passPhrase;
    uint32_t passPhraseLength;
} PemKeyInput;

/* Called once per received peer certificate; non-zero accepts it. */
typedef int32_t(VC_API* CertificateCallback)(const uint8_t* der, uint32_t derLength,
                                             uint32_t userValue, uint32_t verifyFlags,
                                             uint32_t cipherMask, const uint8_t* md5Fingerprint);

typedef struct VcContext VcContext;
typedef struct VcConnection VcConnection;

VC_EXPORT int32_t VC_API vcInitialize(void* parentWindow, void* instance, void* bitmap,
                                      const char* promptText, const char* seedFilePath);
VC_EXPORT void VC_API vcTerminate(void);

VC_EXPORT int32_t VC_API vcCreateContext(const PemInput* certificate, const PemKeyInput* privateKey,
                                         const PemInput* caCertificates, int32_t caCount,
                                         CertificateCallback callback, uint32_t cipherMask,
                                         uint32_t role, VcContext** contextOut);
VC_EXPORT void VC_API vcDestroyContext(VcContext* context);

VC_EXPORT int32_t VC_API vcCreateConnection(VcContext* context, const char* serviceName,
                                            uint32_t userValue, VcConnection** connectionOut);
VC_EXPORT void VC_API vcDestroyConnection(VcConnection* connection);

/* One handshake step: consumes at most one message from the front of input
 * (moving the rest forward and lowering *inputLength) and writes at most one
 * message to output, which must hold 32768 bytes. VC_SEND_DATA: send
 * *outputLength bytes, call again. VC_RECEIVE_MORE_DATA: append received
 * bytes, call again. VC_OK: complete; bytes left in input are records for
 * vcOpenRecord. Any other result except VC_NO_CONNECTION means the library
 * has destroyed the connection: do not use the handle again. A handshake
 * whose random generator refuses to deliver (only after a failed second
 * vcInitialize) ends with VC_NOT_INITIALIZED; a null output ends it with
 * VC_CONNECTION_CLOSED. */
VC_EXPORT int32_t VC_API vcHandshake(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                                     uint32_t* outputLength, VcConnection* connection);
/* Opens the record at the front of input into output (room for 65516
 * bytes). VC_OK: *outputLength payload bytes, the record removed from
 * input. VC_RECEIVE_MORE_DATA: no complete record yet. VC_DECRYPTION_FAILED:
 * the connection has been destroyed. A null output or outputLength answers
 * VC_NO_MEMORY and consumes nothing. */
VC_EXPORT int32_t VC_API vcOpenRecord(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                                      uint32_t* outputLength, VcConnection* connection);
/* Seals up to 65516 bytes (65511 with triple-DES) of data into one record.
 * In: *dataLength bytes offered, *outputLength the capacity of output.
 * Out: bytes taken, record bytes to send; VC_SEND_DATA. A capacity below
 * the record overhead (19 bytes with RC4, 26 with triple-DES) answers
 * VC_NO_MEMORY: nothing is taken or written and the connection is as it
 * was. */
VC_EXPORT int32_t VC_API vcSealRecord(const uint8_t* data, uint32_t* dataLength, uint8_t* output,
                                      uint32_t* outputLength, VcConnection* connection);

VC_EXPORT const char* VC_API vcErrorText(int32_t code);
VC_EXPORT const char* VC_API vcInfoText(void);

#ifdef __cplusplus
}
#endif

#endif /* VEILCASTNET_H */
