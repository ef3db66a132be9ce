// veilcastnet.hpp: a header-only C++20 layer over the C interface in
// veilcastnet.h, for C++ hosts. It adds owners that release what they hold,
// a result type that carries its text, and spans in place of pointer and
// length pairs. Every call is the C call underneath with the same results:
// nothing here decides anything the library does not.
//
// Lifetimes. A Connection must never outlive the library context it was made
// from. Here it cannot: a Context is a shared owner of the library context,
// and every Connection made from it holds a share too, so the library
// context is destroyed when the last Context copy and the last Connection
// from it are gone, whatever order the host drops them in. A connection the
// library has ended (a fatal handshake or record result) is forgotten by its
// Connection at once, so it is never destroyed twice.
//
// Errors. Nothing throws unless the host asks for it: define
// VEILCASTNET_EXCEPTIONS before including this header to get
// veilcastnet::Error and the orThrow() accessors. Without it the header
// contains no throw and builds with exceptions turned off. Its two
// allocations (a small shared count per Context, and the table of CA texts
// during Context::create) use nothrow new and report VC_NO_MEMORY.
//
// Threads. The rules of the C interface hold: a Connection is used by one
// thread at a time; Connections of one Context may run in different
// threads at once; Context copies and Connections may be destroyed from any
// thread (the shared count is atomic).
#ifndef VEILCASTNET_HPP
#define VEILCASTNET_HPP

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "veilcastnet.h"

#ifdef VEILCASTNET_EXCEPTIONS
#include <stdexcept>
#endif

namespace veilcastnet {

// The output room of a handshake step: the longest handshake message.
inline constexpr std::size_t HANDSHAKE_OUTPUT_SIZE = 32768;
// The largest payload of one record, and so the output room vcOpenRecord needs.
inline constexpr std::size_t RECORD_PAYLOAD_MAX = 65516;
// The largest record on the wire, its 2-byte length field included: an input
// buffer of this size holds any record, an output of this size takes the
// largest payload a seal can take.
inline constexpr std::size_t RECORD_SIZE_MAX = 65535;
// What a record adds to its payload: at most 26 bytes (19 with RC4; with
// triple-DES 19 plus up to 7 bytes of padding).
inline constexpr std::size_t RECORD_OVERHEAD_MAX = 26;

// The role of a context, as vcCreateContext takes it.
enum class Role : uint32_t {
    ServerAuthClient = ROLE_SERVER_AUTH_CLIENT,  // a server that asks for a client certificate
    Server = ROLE_SERVER,
    Client = ROLE_CLIENT,
};

// A result code of the C interface with its text. ok() is VC_OK; failed()
// is any code other than VC_OK, VC_RECEIVE_MORE_DATA and VC_SEND_DATA,
// which are requests rather than failures.
class Result {
  public:
    constexpr Result() noexcept = default;
    constexpr explicit Result(int32_t code) noexcept : code_(code) {}

    constexpr int32_t code() const noexcept { return code_; }
    constexpr bool ok() const noexcept { return code_ == VC_OK; }
    constexpr bool failed() const noexcept {
        return code_ != VC_OK && code_ != VC_RECEIVE_MORE_DATA && code_ != VC_SEND_DATA;
    }
    // vcErrorText: a static text, never null ("unknown error" outside 0..26).
    const char* text() const noexcept { return vcErrorText(code_); }

    friend constexpr bool operator==(Result a, Result b) noexcept = default;
    friend constexpr bool operator==(Result a, int32_t code) noexcept { return a.code_ == code; }

#ifdef VEILCASTNET_EXCEPTIONS
    // Throws Error when failed(); returns *this otherwise.
    Result orThrow() const;
#endif

  private:
    int32_t code_ = VC_OK;
};

#ifdef VEILCASTNET_EXCEPTIONS
// Thrown by the orThrow() accessors only; what() is the result's text.
class Error : public std::runtime_error {
  public:
    explicit Error(Result result) : std::runtime_error(result.text()), result_(result) {}
    Result result() const noexcept { return result_; }

  private:
    Result result_;
};

inline Result Result::orThrow() const {
    if (failed()) {
        throw Error(*this);
    }
    return *this;
}
#endif

// What a create function hands back: the result and the owner, which is
// empty unless result.ok(). Made for structured bindings:
//     auto [result, context] = veilcastnet::Context::create(settings);
template <typename T>
struct [[nodiscard]] Created {
    Result result;
    T value;

#ifdef VEILCASTNET_EXCEPTIONS
    // The owner, or Error when result is not VC_OK.
    T orThrow() && {
        if (!result.ok()) {
            throw Error(result);
        }
        return std::move(value);
    }
#endif
};

// vcInitialize from a seed file: absolutePath names a file of at least 512
// bytes by an absolute path, and must not be null (null would open the
// mouse-and-keyboard window instead). VC_OK, or VC_INITIALIZATION_FAILED.
inline Result initializeFromSeedFile(const char* absolutePath) noexcept {
    return Result(vcInitialize(nullptr, nullptr, nullptr, nullptr, absolutePath));
}

// vcInitialize through the mouse-and-keyboard window; blocks until the user
// has produced enough input. The arguments are those of vcInitialize, all
// optional. VC_OK, or VC_INITIALIZATION_FAILED (on Linux also when libX11
// or a display is missing).
inline Result initializeFromWindow(void* parentWindow = nullptr, void* instance = nullptr,
                                   void* bitmap = nullptr,
                                   const char* promptText = nullptr) noexcept {
    return Result(vcInitialize(parentWindow, instance, bitmap, promptText, nullptr));
}

// vcTerminate: no new contexts until the next successful start-up.
inline void terminate() noexcept {
    vcTerminate();
}

// vcInfoText: rewritten by every call, so one thread at a time.
inline const char* infoText() noexcept {
    return vcInfoText();
}

namespace detail {

// The library lengths are 32 bits: a longer span is handed over as its
// first 4 GiB - 1 bytes.
constexpr uint32_t length32(std::size_t size) noexcept {
    return size > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                       : static_cast<uint32_t>(size);
}

// One library context and the number of owners sharing it: Context copies
// and Connections. The last one to let go destroys the library context.
struct ContextShare {
    VcContext* handle = nullptr;
    std::atomic<uint32_t> owners{1};
};

inline ContextShare* acquire(ContextShare* share) noexcept {
    if (share != nullptr) {
        share->owners.fetch_add(1, std::memory_order_relaxed);
    }
    return share;
}

inline void release(ContextShare* share) noexcept {
    if (share != nullptr && share->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        vcDestroyContext(share->handle);
        delete share;
    }
}

}  // namespace detail

// A private key in PEM and, for an encrypted one, its pass phrase (empty:
// none). Both are read during Context::create only; wipe them afterwards.
struct PrivateKeyText {
    std::string_view pem;
    std::string_view passPhrase = {};
};

// The arguments of vcCreateContext. Texts are read during Context::create
// only; the callback must stay callable for as long as the context lives.
struct ContextSettings {
    Role role = Role::Client;
    // The own certificate in PEM: needed by servers, and by clients that
    // answer a server's request for a certificate; absent otherwise.
    std::optional<std::string_view> certificate = std::nullopt;
    // Its private key; given exactly when the certificate is.
    std::optional<PrivateKeyText> privateKey = std::nullopt;
    // The trusted CA certificates, one PEM text each; at least one.
    std::span<const std::string_view> caCertificates = {};
    // Called once per peer certificate (declare it VC_API); null accepts
    // every certificate the library itself finds nothing wrong with.
    CertificateCallback callback = nullptr;
    // VC_CIPHER_RC4_128 and/or VC_CIPHER_DES_EDE3_CBC.
    uint32_t cipherMask = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;
};

class Connection;

// A shared owner of a library context. Copies share it; the library context
// is destroyed once the last copy and the last Connection made from it are
// gone. An empty Context (default, moved-from or after a failed create)
// stands for a null handle: the library answers VC_NO_CONTEXT to it.
class Context {
  public:
    Context() noexcept = default;
    Context(const Context& other) noexcept : share_(detail::acquire(other.share_)) {}
    Context(Context&& other) noexcept : share_(std::exchange(other.share_, nullptr)) {}
    Context& operator=(Context other) noexcept {
        std::swap(share_, other.share_);
        return *this;
    }
    ~Context() { detail::release(share_); }

    // vcCreateContext with the settings. Results: VC_OK; VC_NOT_INITIALIZED;
    // VC_NO_MEMORY; VC_NO_CERTIFICATE to VC_ROLE_BAD (4 to 13) for the
    // credential, mask or role at fault, as vcCreateContext describes.
    static Created<Context> create(const ContextSettings& settings) noexcept {
        const std::size_t caCount = std::min<std::size_t>(settings.caCertificates.size(),
                                                          std::numeric_limits<int32_t>::max());
        std::unique_ptr<PemInput[]> cas;
        if (caCount > 0) {
            cas.reset(new (std::nothrow) PemInput[caCount]);
            if (!cas) {
                return {Result(VC_NO_MEMORY), Context()};
            }
            for (std::size_t i = 0; i < caCount; ++i) {
                const std::string_view text = settings.caCertificates[i];
                cas[i] = PemInput{text.data(), detail::length32(text.size())};
            }
        }
        PemInput certificate{};
        PemKeyInput key{};
        if (settings.certificate) {
            certificate = {settings.certificate->data(),
                           detail::length32(settings.certificate->size())};
        }
        if (settings.privateKey) {
            const PrivateKeyText& text = *settings.privateKey;
            key = {text.pem.data(), detail::length32(text.pem.size()),
                   text.passPhrase.empty() ? nullptr : text.passPhrase.data(),
                   detail::length32(text.passPhrase.size())};
        }
        auto* share = new (std::nothrow) detail::ContextShare;
        if (share == nullptr) {
            return {Result(VC_NO_MEMORY), Context()};
        }
        const Result result(vcCreateContext(
            settings.certificate ? &certificate : nullptr, settings.privateKey ? &key : nullptr,
            cas.get(), static_cast<int32_t>(caCount), settings.callback, settings.cipherMask,
            static_cast<uint32_t>(settings.role), &share->handle));
        if (!result.ok()) {
            delete share;
            return {result, Context()};
        }
        return {result, Context(share)};
    }

    // Takes over a handle that vcCreateContext made, for a host that makes
    // its contexts through the C interface: from now on the owners destroy
    // it, and the host must not. Empty for a null handle, and when there is
    // no memory for the shared count (the handle is then destroyed here).
    static Context adopt(VcContext* handle) noexcept {
        auto* share = handle != nullptr ? new (std::nothrow) detail::ContextShare : nullptr;
        if (share == nullptr) {
            vcDestroyContext(handle);
            return Context();
        }
        share->handle = handle;
        return Context(share);
    }

    // The library handle, for calls this layer does not wrap; still owned here.
    VcContext* handle() const noexcept { return share_ != nullptr ? share_->handle : nullptr; }
    explicit operator bool() const noexcept { return share_ != nullptr; }
    // Gives up this owner's share; the Context is empty afterwards.
    void reset() noexcept { detail::release(std::exchange(share_, nullptr)); }

  private:
    friend class Connection;
    explicit Context(detail::ContextShare* share) noexcept : share_(share) {}

    detail::ContextShare* share_ = nullptr;
};

// What a handshake step asks of the host.
enum class Progress {
    Send,      // VC_SEND_DATA: send toSend, then call again
    NeedMore,  // VC_RECEIVE_MORE_DATA: append received bytes, then call again
    Done,      // VC_OK: the handshake is complete
    Failed,    // anything else: see result; the connection is over
};

struct HandshakeStep {
    Progress progress;
    Result result;
    // The message to send, inside the output buffer; empty unless Send.
    std::span<const uint8_t> toSend;
    // The bytes still at the front of the input after the step; the
    // message it consumed has been removed and the rest moved forward.
    std::size_t inputLeft;
};

struct Sealed {
    // VC_SEND_DATA when a record was made; VC_NO_MEMORY (output below the
    // record overhead), VC_NO_CONNECTION or VC_HANDSHAKE_IN_PROGRESS
    // otherwise, with nothing taken and the connection unchanged.
    Result result;
    // How many bytes of the data went into the record.
    std::size_t taken;
    // The record to send, inside the output buffer.
    std::span<const uint8_t> record;

    bool ok() const noexcept { return result == VC_SEND_DATA; }
};

struct Opened {
    // VC_OK with the payload (possibly empty); VC_RECEIVE_MORE_DATA when no
    // whole record is there yet; VC_DECRYPTION_FAILED (the connection is
    // over), VC_NO_CONNECTION or VC_HANDSHAKE_IN_PROGRESS otherwise.
    Result result;
    // The payload, inside the output buffer.
    std::span<const uint8_t> payload;
    // The bytes still at the front of the input; the record was removed.
    std::size_t inputLeft;
};

// The owner of one library connection, holding a share of its context.
// Move-only. Destroying it destroys the connection, then lets go of the
// context. Empty (default, moved-from, failed create, or ended by the
// library) it stands for a null handle: every call answers VC_NO_CONNECTION.
class Connection {
  public:
    Connection() noexcept = default;
    Connection(Connection&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)),
          context_(std::exchange(other.context_, nullptr)) {}
    Connection& operator=(Connection&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
            context_ = std::exchange(other.context_, nullptr);
        }
        return *this;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { reset(); }

    // vcCreateConnection: serviceName is the commonName a client expects of
    // the server (copied; required for clients, ignored by servers, may be
    // null there); userValue goes to the certificate callback. Results:
    // VC_OK; VC_NO_CONTEXT (empty context); VC_NO_SERVICENAME; VC_NO_MEMORY.
    static Created<Connection> create(const Context& context, const char* serviceName,
                                      uint32_t userValue = 0) noexcept {
        VcConnection* handle = nullptr;
        const Result result(vcCreateConnection(context.handle(), serviceName, userValue, &handle));
        if (!result.ok()) {
            return {result, Connection()};
        }
        return {result, Connection(handle, detail::acquire(context.share_))};
    }

    // One vcHandshake step. input is the received bytes not consumed yet,
    // at the front of the host's buffer; output takes the message to send.
    // A client's first step sends without looking at input. On Failed the
    // library has ended the connection (except for VC_NO_CONNECTION) and
    // this owner is empty. Results: see vcHandshake.
    HandshakeStep handshake(std::span<uint8_t> input,
                            std::span<uint8_t, HANDSHAKE_OUTPUT_SIZE> output) noexcept {
        const uint32_t given = detail::length32(input.size());
        uint32_t left = given;
        uint32_t outputLength = 0;
        const Result result(
            vcHandshake(input.data(), &left, output.data(), &outputLength, handle_));
        HandshakeStep step{Progress::Failed, result, {}, left};
        if (result == VC_SEND_DATA) {
            step.progress = Progress::Send;
            step.toSend = std::span<const uint8_t>(output.data(), outputLength);
        } else if (result == VC_RECEIVE_MORE_DATA) {
            step.progress = Progress::NeedMore;
        } else if (result.ok()) {
            step.progress = Progress::Done;
        } else {
            endedByLibrary(result);
        }
        return step;
    }

    // vcSealRecord: seals as much of data as one record and output can take
    // (at most RECORD_PAYLOAD_MAX bytes, 65511 with triple-DES, and at most
    // output.size() - RECORD_OVERHEAD_MAX in any case).
    Sealed seal(std::span<const uint8_t> data, std::span<uint8_t> output) noexcept {
        uint32_t taken = detail::length32(data.size());
        uint32_t recordLength = detail::length32(output.size());
        const Result result(
            vcSealRecord(data.data(), &taken, output.data(), &recordLength, handle_));
        return {result, taken, std::span<const uint8_t>(output.data(), recordLength)};
    }

    // vcOpenRecord: opens the record at the front of input into output.
    // Records must be opened in the order they were sealed.
    Opened open(std::span<uint8_t> input, std::span<uint8_t, RECORD_PAYLOAD_MAX> output) noexcept {
        uint32_t left = detail::length32(input.size());
        uint32_t payloadLength = 0;
        const Result result(
            vcOpenRecord(input.data(), &left, output.data(), &payloadLength, handle_));
        if (result == VC_DECRYPTION_FAILED) {
            endedByLibrary(result);
        }
        return {result, std::span<const uint8_t>(output.data(), payloadLength), left};
    }

    // The library handle, for calls this layer does not wrap; still owned here.
    VcConnection* handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // vcDestroyConnection, then lets go of the context; empty afterwards.
    void reset() noexcept {
        if (handle_ != nullptr) {
            vcDestroyConnection(std::exchange(handle_, nullptr));
        }
        detail::release(std::exchange(context_, nullptr));
    }

  private:
    Connection(VcConnection* handle, detail::ContextShare* context) noexcept
        : handle_(handle), context_(context) {}

    // The library has already destroyed the connection: forget the handle.
    void endedByLibrary(Result result) noexcept {
        if (result != VC_NO_CONNECTION) {
            handle_ = nullptr;
            detail::release(std::exchange(context_, nullptr));
        }
    }

    VcConnection* handle_ = nullptr;
    detail::ContextShare* context_ = nullptr;
};

}  // namespace veilcastnet

#endif  // VEILCASTNET_HPP
