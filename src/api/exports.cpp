// The exported operations: argument and handle checks, construction and
// teardown of contexts and connections, start-up state. No operation throws
// and none writes to a handle or length it was not given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "api/handles.h"
#include "api/library_state.h"
#include "api/objects.h"
#include "crypto/random_pool.h"
#include "entropy/entropy.h"
#include "pki/certificate.h"
#include "pki/checks.h"
#include "pki/private_key.h"
#include "protocol/handshake.h"
#include "protocol/record.h"
#include "support/allocator.h"
#include "support/bytes.h"
#include "support/secure_wipe.h"
#include "veilcastnet.h"

namespace vc {

std::atomic<int32_t> libraryInitialized{0};

namespace {

constexpr char DEFAULT_SERVER_NAME[] = "servicename unbestimmt";

// Room for the DER form of a base64 text of the given length.
std::size_t derRoom(uint32_t pemLength) noexcept {
    return static_cast<std::size_t>((static_cast<uint64_t>(pemLength) * 3) / 4);
}

// A decoding buffer for credentials: it may hold a decrypted private key,
// so it is wiped and released on every way out of its scope.
class ScratchBuffer {
  public:
    explicit ScratchBuffer(std::size_t size) noexcept
        : data_(static_cast<uint8_t*>(allocateZeroed(size))), size_(size) {}
    ~ScratchBuffer() {
        if (data_ != nullptr) {
            secureWipe(data_, size_);
            release(data_);
        }
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;
    uint8_t* get() const noexcept { return data_; }

  private:
    uint8_t* data_;
    std::size_t size_;
};

int32_t loadOwnCredentials(Context* context, const PemInput* certificate,
                           const PemKeyInput* privateKey) {
    context->credentials.ownCertificate =
        static_cast<uint8_t*>(allocateZeroed(derRoom(certificate->length)));
    if (context->credentials.ownCertificate == nullptr) {
        return VC_NO_MEMORY;
    }
    // derRoom of a 32-bit length stays below 2^32.
    context->credentials.ownCertificateRoom = static_cast<uint32_t>(derRoom(certificate->length));
    // The parsed form is only needed to check the key against it.
    Certificate parsed;
    CryptoStatus status = certificateLoad(reinterpret_cast<const uint8_t*>(certificate->text),
                                          certificate->length, context->credentials.ownCertificate,
                                          &context->credentials.ownCertificateLength, 1, &parsed);
    if (status != CRYPTO_OK || context->credentials.ownCertificateLength > OWN_CERTIFICATE_MAX) {
        return VC_CERTIFICATE_BAD;
    }
    if (privateKey == nullptr) {
        return VC_NO_PRIVATE_KEY;
    }
    {
        const ScratchBuffer scratch(derRoom(privateKey->length));
        if (scratch.get() == nullptr) {
            return VC_NO_MEMORY;
        }
        uint32_t decodedLength = 0;
        status = privateKeyLoad(privateKey->text, privateKey->length, privateKey->passPhrase,
                                privateKey->passPhraseLength, scratch.get(), &decodedLength,
                                &context->credentials.privateKey);
    }
    if (status == CRYPTO_NO_PASSPHRASE || status == CRYPTO_BAD_DECRYPT) {
        return VC_PASSPHRASE_BAD;
    }
    if (status != CRYPTO_OK) {
        return VC_PRIVATE_KEY_BAD;
    }
    if (keyMatchesCertificate(&parsed, &context->credentials.privateKey) != CRYPTO_OK) {
        return VC_KEY_CERT_MISMATCH;
    }
    return VC_OK;
}

int32_t loadCaCertificates(Context* context, const PemInput* caCertificates, int32_t caCount) {
    if (caCount < 1) {
        return VC_NO_CA_CERTIFICATES;
    }
    context->credentials.caCount = caCount;
    const auto count = static_cast<std::size_t>(caCount);
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(Certificate)) {
        return VC_NO_MEMORY;
    }
    context->credentials.caCertificates =
        static_cast<Certificate*>(allocateZeroed(count * sizeof(Certificate)));
    if (context->credentials.caCertificates == nullptr) {
        return VC_NO_MEMORY;
    }
    if (caCertificates == nullptr) {
        return VC_CA_CERTIFICATES_BAD;
    }
    uint32_t longest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (caCertificates[i].length > longest) {
            longest = caCertificates[i].length;
        }
    }
    const ScratchBuffer scratch(derRoom(longest));
    if (scratch.get() == nullptr) {
        return VC_NO_MEMORY;
    }
    CryptoStatus status = CRYPTO_OK;
    for (std::size_t i = 0; i < count && status == CRYPTO_OK; ++i) {
        uint32_t derLength = 0;
        status = certificateLoad(reinterpret_cast<const uint8_t*>(caCertificates[i].text),
                                 caCertificates[i].length, scratch.get(), &derLength, 1,
                                 &context->credentials.caCertificates[i]);
    }
    return status == CRYPTO_OK ? VC_OK : VC_CA_CERTIFICATES_BAD;
}

int32_t buildContext(Context* context, const PemInput* certificate, const PemKeyInput* privateKey,
                     const PemInput* caCertificates, int32_t caCount, CertificateCallback callback,
                     uint32_t cipherMask, uint32_t role) {
    if (certificate != nullptr) {
        const int32_t result = loadOwnCredentials(context, certificate, privateKey);
        if (result != VC_OK) {
            return result;
        }
    } else if (role != ROLE_CLIENT || privateKey != nullptr) {
        return VC_NO_CERTIFICATE;
    }
    const int32_t result = loadCaCertificates(context, caCertificates, caCount);
    if (result != VC_OK) {
        return result;
    }
    context->credentials.certificateCallback = callback;
    if ((cipherMask & 3u) == 0) {
        return VC_EMPTY_CIPHER_LIST;
    }
    context->credentials.cipherMask = cipherMask & 3u;
    switch (role) {
        case ROLE_SERVER_AUTH_CLIENT:
            context->credentials.isServer = 1;
            context->credentials.requestClientCertificate = 1;
            break;
        case ROLE_SERVER:
            context->credentials.isServer = 1;
            context->credentials.requestClientCertificate = 0;
            break;
        case ROLE_CLIENT:
            context->credentials.isServer = 0;
            context->credentials.requestClientCertificate = 0;
            break;
        default:
            return VC_ROLE_BAD;
    }
    return VC_OK;
}

// Destroys the connection when a handshake or record result is fatal to it.
int32_t endConnectionOnFailure(Connection* connection, int32_t result) noexcept {
    if (handleClose(connection->handle, HandleKind::Connection) != nullptr) {
        connectionTeardown(connection);
    }
    return result;
}

// Whether the whole record at the front of input carries payload, for a
// host that gave nowhere to put it. Found by opening copies of the record
// and the channel, so that such a host is refused only when there is
// payload, and the refusal leaves the connection and the input as they
// were. An incomplete record or one that fails to open is left to the real
// opening, which answers it as for any host. Without room for the copy
// nothing can be told, and nothing is consumed blind.
bool payloadWithoutRoom(const uint8_t* input, const uint32_t* inputLength,
                        const Channel& channel) noexcept {
    if (input == nullptr || inputLength == nullptr || *inputLength < 2) {
        return false;
    }
    const uint32_t length = loadBe16(input);
    if (length > *inputLength - 2) {
        return false;
    }
    auto* body = static_cast<uint8_t*>(allocateZeroed(length));
    if (body == nullptr) {
        return true;
    }
    std::memcpy(body, input + 2, length);
    Channel trial = channel;
    const int32_t opened = openRecord(body, length, &trial.read);
    secureWipe(body, length);
    release(body);
    secureWipeObject(trial);
    return opened > 0;
}

// Records travel only on a live connection whose handshake is complete;
// neither refusal harms the connection.
int32_t recordConnection(VcConnection* handle, Connection** connection) noexcept {
    *connection = liveConnection(handle);
    if (*connection == nullptr) {
        return VC_NO_CONNECTION;
    }
    if ((*connection)->channel.state != HandshakeState::Complete) {
        return VC_HANDSHAKE_IN_PROGRESS;
    }
    return VC_OK;
}

}  // namespace

// Every block goes back wiped, public ones too: a released block then never
// shows what it held, whatever it held. The handle, if the object had one,
// is closed by the caller before it calls these.
void contextTeardown(Context* context) noexcept {
    context->tag = 0;
    Credentials& credentials = context->credentials;
    if (credentials.ownCertificate != nullptr) {
        secureWipe(credentials.ownCertificate, credentials.ownCertificateRoom);
        release(credentials.ownCertificate);
    }
    if (credentials.caCertificates != nullptr) {
        secureWipe(credentials.caCertificates,
                   static_cast<std::size_t>(credentials.caCount) * sizeof(Certificate));
        release(credentials.caCertificates);
    }
    secureWipeObject(*context);
    release(context);
}

void connectionTeardown(Connection* connection) noexcept {
    connection->tag = 0;
    // The name is the connection's own copy; the channel only points at it.
    char* serviceName = const_cast<char*>(connection->channel.serviceName);
    channelWipe(&connection->channel);
    secureWipe(serviceName, std::strlen(serviceName) + 1);
    release(serviceName);
    secureWipeObject(*connection);
    release(connection);
}

}  // namespace vc

using namespace vc;

extern "C" {

VC_EXPORT int32_t VC_API vcInitialize(void* parentWindow, void* instance, void* bitmap,
                                      const char* promptText, const char* seedFilePath) {
    if (libraryInitialized.load() == 1) {
        return VC_OK;
    }
    if (randomInitialize(parentWindow, instance, bitmap, promptText, seedFilePath) != 0) {
        return VC_INITIALIZATION_FAILED;
    }
    libraryInitialized.store(1);
    return VC_OK;
}

VC_EXPORT void VC_API vcTerminate(void) {
    libraryInitialized.store(0);
}

VC_EXPORT int32_t VC_API vcCreateContext(const PemInput* certificate, const PemKeyInput* privateKey,
                                         const PemInput* caCertificates, int32_t caCount,
                                         CertificateCallback callback, uint32_t cipherMask,
                                         uint32_t role, VcContext** contextOut) {
    if (contextOut != nullptr) {
        *contextOut = nullptr;
    }
    if (randomIsUnseeded() != 0 || libraryInitialized.load() == 0) {
        return VC_NOT_INITIALIZED;
    }
    auto* context = static_cast<Context*>(allocateZeroed(sizeof(Context)));
    if (context == nullptr) {
        return VC_NO_MEMORY;
    }
    const int32_t result = buildContext(context, certificate, privateKey, caCertificates, caCount,
                                        callback, cipherMask, role);
    if (result != VC_OK || contextOut == nullptr) {
        contextTeardown(context);
        // Nowhere to hand the context to is a caller error; nothing is kept.
        return result != VC_OK ? result : VC_NO_CONTEXT;
    }
    context->tag = CONTEXT_TAG;
    const uintptr_t opened = handleOpen(HandleKind::Context, context);
    if (opened == 0) {
        contextTeardown(context);
        return VC_NO_MEMORY;
    }
    *contextOut = reinterpret_cast<VcContext*>(opened);
    return VC_OK;
}

VC_EXPORT void VC_API vcDestroyContext(VcContext* handle) {
    // Closing the handle is what decides: of two destroys, or a destroy of
    // a stale handle, only a live handle's first reaches the record.
    if (void* context = handleClose(reinterpret_cast<uintptr_t>(handle), HandleKind::Context)) {
        contextTeardown(static_cast<Context*>(context));
    }
}

VC_EXPORT int32_t VC_API vcCreateConnection(VcContext* handle, const char* serviceName,
                                            uint32_t userValue, VcConnection** connectionOut) {
    if (connectionOut != nullptr) {
        *connectionOut = nullptr;
    }
    Context* context = liveContext(handle);
    if (context == nullptr) {
        return VC_NO_CONTEXT;
    }
    if (serviceName == nullptr) {
        if (!context->credentials.isServer) {
            return VC_NO_SERVICENAME;
        }
        serviceName = DEFAULT_SERVER_NAME;
    }
    if (connectionOut == nullptr) {
        return VC_NO_CONNECTION;
    }
    auto* connection = static_cast<Connection*>(allocateZeroed(sizeof(Connection)));
    if (connection == nullptr) {
        return VC_NO_MEMORY;
    }
    const std::size_t nameSize = std::strlen(serviceName) + 1;
    auto* name = static_cast<char*>(allocateZeroed(nameSize));
    if (name == nullptr) {
        release(connection);
        return VC_NO_MEMORY;
    }
    std::memcpy(name, serviceName, nameSize);
    connection->contextHandle = reinterpret_cast<uintptr_t>(handle);
    channelInit(&connection->channel, &context->credentials, name, userValue);
    connection->tag = CONNECTION_TAG;
    connection->handle = handleOpen(HandleKind::Connection, connection);
    if (connection->handle == 0) {
        connectionTeardown(connection);
        return VC_NO_MEMORY;
    }
    *connectionOut = reinterpret_cast<VcConnection*>(connection->handle);
    return VC_OK;
}

VC_EXPORT void VC_API vcDestroyConnection(VcConnection* handle) {
    if (void* connection =
            handleClose(reinterpret_cast<uintptr_t>(handle), HandleKind::Connection)) {
        connectionTeardown(static_cast<Connection*>(connection));
    }
}

VC_EXPORT int32_t VC_API vcHandshake(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                                     uint32_t* outputLength, VcConnection* handle) {
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    Connection* connection = liveConnection(handle);
    if (connection == nullptr) {
        return VC_NO_CONNECTION;
    }
    // The context is looked up by its handle: one destroyed before its
    // connections is answered without reading what it left behind.
    const Context* context = liveContext(reinterpret_cast<VcContext*>(connection->contextHandle));
    if (context == nullptr) {
        return endConnectionOnFailure(connection, VC_NO_CONTEXT);
    }
    // Without a length to report a reply has nowhere to go either; the step
    // refuses only when it has a reply to write.
    uint32_t written = 0;
    const int32_t result =
        handshakeStep(&connection->channel, &context->credentials, input, inputLength,
                      outputLength != nullptr ? output : nullptr, &written);
    if (outputLength != nullptr) {
        *outputLength = written;
    }
    if (result != VC_OK && result != VC_RECEIVE_MORE_DATA && result != VC_SEND_DATA) {
        return endConnectionOnFailure(connection, result);
    }
    return result;
}

VC_EXPORT int32_t VC_API vcOpenRecord(uint8_t* input, uint32_t* inputLength, uint8_t* output,
                                      uint32_t* outputLength, VcConnection* handle) {
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    Connection* connection = nullptr;
    if (const int32_t refused = recordConnection(handle, &connection); refused != VC_OK) {
        return refused;
    }
    // Nowhere to put a payload (or its length) is refused only when there
    // is one; the checks of the input come first, as for any host.
    const bool room = output != nullptr && outputLength != nullptr;
    if (!room && payloadWithoutRoom(input, inputLength, connection->channel)) {
        return VC_NO_MEMORY;
    }
    uint8_t none = 0;
    uint32_t written = 0;
    const int32_t result =
        recordOpenData(input, inputLength, room ? output : &none, &written, &connection->channel);
    if (outputLength != nullptr) {
        *outputLength = written;
    }
    if (result == VC_DECRYPTION_FAILED) {
        return endConnectionOnFailure(connection, result);
    }
    return result;
}

VC_EXPORT int32_t VC_API vcSealRecord(const uint8_t* data, uint32_t* dataLength, uint8_t* output,
                                      uint32_t* outputLength, VcConnection* handle) {
    // Both in-values are taken before any check, and both out-values are 0
    // unless a record is handed back.
    const uint32_t offered = dataLength != nullptr ? *dataLength : 0;
    const uint32_t capacity = outputLength != nullptr ? *outputLength : 0;
    if (dataLength != nullptr) {
        *dataLength = 0;
    }
    if (outputLength != nullptr) {
        *outputLength = 0;
    }
    Connection* connection = nullptr;
    if (const int32_t refused = recordConnection(handle, &connection); refused != VC_OK) {
        return refused;
    }
    uint32_t taken = 0;
    uint32_t written = 0;
    const int32_t result =
        recordSealData(data, offered, output, capacity, &connection->channel, &taken, &written);
    if (result == VC_SEND_DATA) {
        if (dataLength != nullptr) {
            *dataLength = taken;
        }
        if (outputLength != nullptr) {
            *outputLength = written;
        }
    }
    return result;
}

}  // extern "C"
