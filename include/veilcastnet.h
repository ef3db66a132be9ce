/*
 * Veilcastnet: a secure-transport library. This is the whole public C
 * interface: eleven operations, exported by name from libveilcastnet32.so
 * and by ordinal (10 to 20, no names) from veilcastnet32.dll.
 *
 * The library never touches a network. The host moves the bytes: each call
 * consumes whole messages or records from the front of the host's input
 * buffer (moving what is left to the front and zeroing the vacated tail)
 * and writes at most one message or record into the host's output buffer.
 *
 * Order of use:
 *   vcInitialize                    once per process, before anything else
 *   vcCreateContext                 per set of credentials and role
 *   vcCreateConnection              per peer, from a context
 *   vcHandshake ... until VC_OK     then vcSealRecord / vcOpenRecord
 *   vcDestroyConnection             every connection the library has not ended
 *   vcDestroyContext                after all of its connections
 *   vcTerminate
 *
 * Handles. A VcContext or VcConnection handle is live from its creation
 * until it is destroyed, by the host or by the library (see vcHandshake and
 * vcOpenRecord). Null or a handle the library does not recognise as live
 * is answered with VC_NO_CONTEXT or VC_NO_CONNECTION and changes nothing.
 * A handle is not the object's address: a destroyed handle, passed again
 * (destroyed twice, or used after the library ended its connection), is
 * recognised as dead without touching released memory and does not reach
 * an object created later (its slot's generation would have to wrap, which
 * takes millions of creations on 32-bit builds). Destroying an object while
 * another thread still uses it remains an error the library cannot catch.
 *
 * Lengths. Every length is a uint32_t the caller owns: in-values are read
 * once on entry, out-values are written before the operation returns (0
 * when nothing is handed back). Buffers belong to the host and are used
 * only during the call.
 *
 * Threads. The start-up state is process-wide: call vcInitialize and
 * vcTerminate while no other thread is using the library. A context is
 * read-only once made: connections of one context may run in different
 * threads at the same time, and vcCreateConnection may be called on it
 * from several threads. A connection is used by one thread at a time.
 * The random generator behind every handshake is locked internally.
 * vcErrorText may be called from any thread; vcInfoText writes a static
 * buffer and is for one thread at a time.
 */
#ifndef VEILCASTNET_H
#define VEILCASTNET_H

#include <stdint.h>

/* The calling convention of the operations and of the certificate callback:
 * __stdcall on 32-bit Windows, the platform's default elsewhere. */
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

/* Result codes of the operations; vcErrorText gives their texts. Below, each
 * operation lists the codes it can return. VC_RECEIVE_MORE_DATA and
 * VC_SEND_DATA are requests to the host, not failures. */
enum {
    VC_OK = 0,
    VC_INITIALIZATION_FAILED = 1, /* no seed: bad seed file, no window system */
    VC_NOT_INITIALIZED = 2,       /* no vcInitialize, or the generator refused */
    VC_NO_MEMORY = 3,             /* an allocation failed, or an output is missing or too small */
    VC_NO_CERTIFICATE = 4,        /* a certificate is needed and there is none */
    VC_CERTIFICATE_BAD = 5,       /* the own certificate cannot be read */
    VC_NO_PRIVATE_KEY = 6,        /* a certificate without its private key */
    VC_PASSPHRASE_BAD = 7,        /* encrypted key: pass phrase missing or wrong */
    VC_PRIVATE_KEY_BAD = 8,       /* the private key cannot be read */
    VC_KEY_CERT_MISMATCH = 9,     /* the key is not the certificate's */
    VC_NO_CA_CERTIFICATES = 10,   /* caCount below 1 */
    VC_CA_CERTIFICATES_BAD = 11,  /* a CA certificate cannot be read */
    VC_EMPTY_CIPHER_LIST = 12,    /* neither cipher bit set */
    VC_ROLE_BAD = 13,             /* not one of the three roles */
    VC_NO_CONTEXT = 14,           /* not a live context */
    VC_NO_SERVICENAME = 15,       /* a client connection without a service name */
    VC_RECEIVE_MORE_DATA = 16,    /* append received bytes to the input, call again */
    VC_SEND_DATA = 17,            /* send the output, call again */
    VC_CONNECTION_CLOSED = 18,    /* a malformed or unexpected message */
    VC_DECRYPTION_FAILED = 19,    /* a sealed record does not open */
    VC_NO_COMMON_CIPHER = 20,     /* the two sides share no cipher */
    VC_CERTIFICATE_INVALID = 21,  /* the peer certificate fails a check */
    VC_CERTIFICATE_REFUSED = 22,  /* the certificate callback refused it */
    VC_WRONG_SERVICENAME = 23,    /* server certificate for another name */
    VC_RSA_FAILED = 24,           /* an RSA operation failed */
    VC_NO_CONNECTION = 25,        /* not a live connection */
    VC_HANDSHAKE_IN_PROGRESS = 26 /* records before the handshake is complete */
};

/* Roles of a context. */
enum {
    ROLE_SERVER_AUTH_CLIENT = 0, /* server that asks for a client certificate */
    ROLE_SERVER = 1,
    ROLE_CLIENT = 2
};

/* Cipher-mask bits: the suites a context offers. A client prefers RC4 when
 * both sides offer both. */
enum {
    VC_CIPHER_RC4_128 = 1,     /* RC4 with a 128-bit key, MD5 MAC */
    VC_CIPHER_DES_EDE3_CBC = 2 /* triple-DES EDE in CBC mode, MD5 MAC */
};

/* VerifyFlags: problems the library found with a peer certificate, handed
 * to the CertificateCallback. Trust is one level: the issuer must be one
 * of the context's CA certificates; the first CA whose subject equals the
 * issuer (as DER bytes) is the one checked. */
enum {
    VERIFY_UNREADABLE = 1,     /* not a certificate the library can read; no other check ran */
    VERIFY_ISSUER_UNKNOWN = 2, /* no CA certificate has the issuer's name */
    VERIFY_SIGNATURE_BAD = 4,  /* the CA's key does not verify the MD5-with-RSA signature */
    VERIFY_PERIOD = 8,         /* now outside the peer certificate's validity */
    VERIFY_CA_PERIOD = 16,     /* now outside the issuing CA's validity */
    VERIFY_NAME_MISMATCH = 32  /* (clients) the commonName is not the service name */
};

/* A PEM text: length bytes at text, no terminator needed. The first block of
 * the kind wanted is used ("CERTIFICATE" or "RSA PRIVATE KEY"), so key and
 * certificate may share one text. Read during vcCreateContext only. */
typedef struct PemInput {
    const char* text;
    uint32_t length;
} PemInput;

/* A PKCS#1 "RSA PRIVATE KEY" in PEM, plain or encrypted with DES-EDE3-CBC,
 * and the pass phrase of an encrypted one (passPhraseLength bytes, no
 * terminator; null or length 0 for none; ignored for a plain key). Read
 * during vcCreateContext only: wipe both afterwards. */
typedef struct PemKeyInput {
    const char* text;
    uint32_t length;
    const char* passPhrase;
    uint32_t passPhraseLength;
} PemKeyInput;

/* Called during vcHandshake, on the calling thread, once per peer
 * certificate received: by a client for the server's, by a server in role
 * ROLE_SERVER_AUTH_CLIENT for the client's.
 *   der, derLength  the certificate as received (DER); valid during the call only
 *   userValue       the value given to vcCreateConnection
 *   verifyFlags     the VERIFY_* problems found, 0 for none
 *   cipherMask      the one suite bit the handshake has agreed on
 *   md5Fingerprint  16 bytes: MD5 of der; valid during the call only
 * Non-zero accepts the certificate. The answer counts only when verifyFlags
 * is 0: a certificate with a problem ends the handshake whatever the answer
 * (VC_CERTIFICATE_INVALID, or VC_WRONG_SERVICENAME when the name is the only
 * problem); refusing a clean one ends it with VC_CERTIFICATE_REFUSED. Without
 * a callback a clean certificate is accepted. The callback must not destroy
 * the connection or its context; with connections of one context running
 * in several threads it may be called from them at the same time. */
typedef int32_t(VC_API* CertificateCallback)(const uint8_t* der, uint32_t derLength,
                                             uint32_t userValue, uint32_t verifyFlags,
                                             uint32_t cipherMask, const uint8_t* md5Fingerprint);

typedef struct VcContext VcContext;
typedef struct VcConnection VcConnection;

/* Seeds the random generator; nothing else works before it has succeeded.
 * With seedFilePath: the absolute path (starting with / or \, or a drive
 * letter, colon and separator) of a file whose first 512 bytes are secret
 * and random; the window arguments are ignored. Without one (null): a small
 * window takes the user's mouse movements and key presses, painting a
 * progress strip, until the generator has enough, then a digest of the
 * whole screen is mixed in; the call blocks until then. The window can
 * neither be moved nor closed.
 *   parentWindow  owner of the window, disabled meanwhile; null: the desktop
 *                 (Windows: an HWND; X11: a Window id cast to a pointer)
 *   instance      Windows: the HINSTANCE the window class is registered for;
 *                 unused on X11
 *   bitmap        a background picture, or null (Windows: an HBITMAP; X11: a
 *                 Pixmap id of the screen's depth, cast to a pointer)
 *   promptText    the window's text; null or empty for the built-in one
 * On Linux the window needs libX11.so.6 (loaded at run time) and the display
 * DISPLAY names; without either the answer is VC_INITIALIZATION_FAILED.
 * Results:
 *   VC_OK                     seeded; also at once, without reseeding, when
 *                             the library is already initialised
 *   VC_INITIALIZATION_FAILED  path not absolute, file unreadable, not a
 *                             regular file (a FIFO, a directory or a device
 *                             is refused at once, never waited on) or
 *                             shorter than 512 bytes, seed judged too poor,
 *                             or no window could be shown
 * A failed call after vcTerminate leaves the generator empty: handshakes of
 * connections still open then end with VC_NOT_INITIALIZED. Process-wide:
 * call it while no other thread uses the library. */
VC_EXPORT int32_t VC_API vcInitialize(void* parentWindow, void* instance, void* bitmap,
                                      const char* promptText, const char* seedFilePath);

/* Ends the initialised state: vcCreateContext answers VC_NOT_INITIALIZED
 * until the next successful vcInitialize. Contexts and connections are not
 * touched (the host destroys them) and go on working on the seeded
 * generator. Process-wide, like vcInitialize. */
VC_EXPORT void VC_API vcTerminate(void);

/* Makes a context: credentials, trusted CAs, cipher suites and role,
 * shared by the connections made from it. All texts are decoded into the
 * context's own memory and may be released (and the key wiped) on return.
 *   certificate     the own certificate; required for the server roles and
 *                   for a client that answers a request for a certificate,
 *                   null for a client without one
 *   privateKey      its key; given exactly when certificate is
 *   caCertificates  caCount texts, one CA certificate each
 *   callback        see CertificateCallback; may be null; must stay callable
 *                   while the context lives
 *   cipherMask      VC_CIPHER_* bits; other bits are ignored
 *   role            ROLE_SERVER_AUTH_CLIENT, ROLE_SERVER or ROLE_CLIENT
 *   contextOut      receives the handle; set to null first
 * Results, checked in this order (VC_NO_MEMORY at any step):
 *   VC_NOT_INITIALIZED      no successful vcInitialize
 *   VC_NO_MEMORY            an allocation failed
 *   VC_NO_CERTIFICATE       certificate null, and role is not ROLE_CLIENT or
 *                           privateKey is given
 *   VC_CERTIFICATE_BAD      the certificate cannot be read (see below), or
 *                           its DER exceeds 32000 bytes
 *   VC_NO_PRIVATE_KEY       certificate given, privateKey null
 *   VC_PASSPHRASE_BAD       encrypted key without a pass phrase, or the pass
 *                           phrase does not decrypt it (a wrong one may, by
 *                           chance, show as VC_PRIVATE_KEY_BAD instead)
 *   VC_PRIVATE_KEY_BAD      the key cannot be read
 *   VC_KEY_CERT_MISMATCH    the key is not the certificate's
 *   VC_NO_CA_CERTIFICATES   caCount < 1
 *   VC_CA_CERTIFICATES_BAD  caCertificates null, or one cannot be read
 *   VC_EMPTY_CIPHER_LIST    neither VC_CIPHER_* bit in cipherMask
 *   VC_ROLE_BAD             role is none of the three
 *   VC_NO_CONTEXT           contextOut null (nothing is kept)
 *   VC_OK                   *contextOut is a live context
 * Certificates must be X.509 v1 to v3, RSA keys of up to 4096 bits,
 * md5WithRSAEncryption, UTCTime validity, PEM with 64-character lines. */
VC_EXPORT int32_t VC_API vcCreateContext(const PemInput* certificate, const PemKeyInput* privateKey,
                                         const PemInput* caCertificates, int32_t caCount,
                                         CertificateCallback callback, uint32_t cipherMask,
                                         uint32_t role, VcContext** contextOut);

/* Destroys a context, wiping its private key. Null or a handle that is not
 * a live context: nothing happens. Destroy every connection made from the
 * context first: a connection must not outlive its context (the library
 * may catch the mistake with VC_NO_CONTEXT, but is not bound to). */
VC_EXPORT void VC_API vcDestroyContext(VcContext* context);

/* Makes a connection in the start state from a live context.
 *   serviceName    clients: the commonName expected in the server's
 *                  certificate (NUL-terminated, compared byte for byte,
 *                  copied); servers: ignored, may be null
 *   userValue      handed to the certificate callback
 *   connectionOut  receives the handle; set to null first
 * Results:
 *   VC_NO_CONTEXT      context not live
 *   VC_NO_SERVICENAME  serviceName null on a client context
 *   VC_NO_CONNECTION   connectionOut null
 *   VC_NO_MEMORY       an allocation failed
 *   VC_OK              *connectionOut is a live connection */
VC_EXPORT int32_t VC_API vcCreateConnection(VcContext* context, const char* serviceName,
                                            uint32_t userValue, VcConnection** connectionOut);

/* Destroys a connection, wiping its keys. Null or a handle that is not a
 * live connection: nothing happens. Not for a connection the library has
 * already ended (see vcHandshake and vcOpenRecord). */
VC_EXPORT void VC_API vcDestroyConnection(VcConnection* connection);

/* One handshake step: consumes at most one message from the front of input
 * (moving the rest forward and lowering *inputLength) and writes at most one
 * message to output.
 *   input, inputLength    the received bytes not yet consumed; a message is
 *                         at most 32768 bytes, its length field included
 *   output                room for 32768 bytes (the longest message)
 *   outputLength          out: the bytes to send, 0 when there are none
 * A client's first step writes its hello without looking at input. A
 * server's last step returns VC_SEND_DATA with its final message; its next
 * call returns VC_OK. The client's last step consumes that message and
 * returns VC_OK with nothing to send. Bytes left in input after VC_OK are
 * records for vcOpenRecord.
 * Results that continue the handshake:
 *   VC_SEND_DATA              send *outputLength bytes of output, call again
 *   VC_RECEIVE_MORE_DATA      no whole message yet (also: input or
 *                             inputLength null): append bytes, call again
 *   VC_OK                     complete; later calls return VC_OK at once
 *   VC_NO_CONNECTION          connection not live; nothing changed
 * Results that end it; the library has then destroyed the connection, and
 * the handle must not be used again:
 *   VC_CONNECTION_CLOSED      output or outputLength null; a message longer
 *                             than 32766 bytes, malformed, out of order, of
 *                             another protocol version, or failing its check
 *   VC_DECRYPTION_FAILED      a sealed handshake record does not open
 *   VC_NO_COMMON_CIPHER       the peer offers none of the context's suites
 *   VC_CERTIFICATE_INVALID    the peer certificate has VERIFY_* problems
 *   VC_WRONG_SERVICENAME      (client) the server certificate is fine but
 *                             for another name
 *   VC_CERTIFICATE_REFUSED    the certificate callback refused it
 *   VC_RSA_FAILED             the key exchange or the client's signature
 *                             failed in RSA
 *   VC_NO_CERTIFICATE         (client) the server asks for a certificate and
 *                             the context has none
 *   VC_NO_MEMORY              (client) no memory to keep the server's
 *                             certificate
 *   VC_NOT_INITIALIZED        the random generator refused (only after a
 *                             failed vcInitialize following vcTerminate)
 *   VC_NO_CONTEXT             the connection's context has been destroyed */
VC_EXPORT int32_t VC_API vcHandshake(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                                     uint32_t* outputLength, VcConnection* connection);

/* Opens the record at the front of input into output and removes it from
 * input. Records must be opened in the order the peer sealed them.
 *   input, inputLength    received bytes; a record is at most 65535 bytes,
 *                         its length field included
 *   output                room for 65516 bytes (the largest payload)
 *   outputLength          out: the payload bytes, 0 to 65516
 * Results:
 *   VC_OK                     a record was opened (its payload may be empty)
 *   VC_RECEIVE_MORE_DATA      no whole record yet (also: input or
 *                             inputLength null); nothing consumed
 *   VC_NO_MEMORY              output or outputLength null; nothing consumed,
 *                             the connection as it was
 *   VC_NO_CONNECTION          connection not live; nothing changed
 *   VC_HANDSHAKE_IN_PROGRESS  the handshake is not complete; nothing changed
 *   VC_DECRYPTION_FAILED      the record's length, MAC or padding is wrong:
 *                             the library has destroyed the connection */
VC_EXPORT int32_t VC_API vcOpenRecord(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                                      uint32_t* outputLength, VcConnection* connection);

/* Seals data into one record.
 *   data          the bytes to seal (null: an empty record)
 *   dataLength    in: bytes offered, any number; out: bytes taken
 *   output        receives the record
 *   outputLength  in: the capacity of output; out: the record's length
 * A record takes min(offered, room) bytes, where room is the capacity
 * (counted up to 65535) less 19 bytes with RC4 and, with triple-DES, less 19
 * and the padding that rounds the rest to 8-byte blocks: at most 65516
 * bytes with RC4 and 65511 with triple-DES. A capacity of N + 26 always
 * takes N bytes (N up to those limits); 65535 always takes the most a
 * record can hold. Every record moves the connection's sequence number on,
 * an empty one too.
 * Results:
 *   VC_SEND_DATA              the record is ready: send *outputLength bytes
 *   VC_NO_MEMORY              output null or the capacity below the record
 *                             overhead (19 bytes with RC4, 26 with
 *                             triple-DES); nothing taken or written, the
 *                             connection as it was
 *   VC_NO_CONNECTION          connection not live; nothing changed
 *   VC_HANDSHAKE_IN_PROGRESS  the handshake is not complete; nothing changed
 * Both out-values are 0 unless a record is handed back. */
VC_EXPORT int32_t VC_API vcSealRecord(const uint8_t* data, uint32_t* dataLength, uint8_t* output,
                                      uint32_t* outputLength, VcConnection* connection);

/* The text of a result code: a static string, never null; "unknown error"
 * for a code outside 0 to 26. Any thread. */
VC_EXPORT const char* VC_API vcErrorText(int32_t code);

/* The library's name, version, build date, protocol version and copyright,
 * several lines. A static buffer, rewritten by every call: one thread at a
 * time, and copy the text if it must outlive the next call. */
VC_EXPORT const char* VC_API vcInfoText(void);

#ifdef __cplusplus
}
#endif

#endif /* VEILCASTNET_H */
