// What the handshake and record benchmarks share: a seeded library, contexts
// from the committed test credentials, a client and a server connection
// whose handshake bytes are passed between two memory buffers in one thread,
// and cache-line-aligned buffers so that ours and OpenSSL's work on buffers
// placed alike. Only the public C interface is used here.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "veilcastnet.h"

namespace vcbench {

// A std::vector allocator that starts every buffer on a 64-byte boundary.
template <typename T>
struct CacheAligned {
    using value_type = T;
    static constexpr std::align_val_t ALIGNMENT{64};

    CacheAligned() = default;
    template <typename U>
    explicit CacheAligned(const CacheAligned<U>&) noexcept {}

    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), ALIGNMENT)); }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p, ALIGNMENT); }

    template <typename U>
    bool operator==(const CacheAligned<U>&) const noexcept {
        return true;
    }
};

using AlignedBytes = std::vector<uint8_t, CacheAligned<uint8_t>>;

// The output room a handshake step may fill with one message.
constexpr std::size_t HANDSHAKE_MESSAGE_ROOM = 32768;

inline std::string credentialPath(const char* name) {
    return std::string(VC_TEST_DATA_DIR) + "/credentials/" + name;
}

inline std::string readCredential(const char* name) {
    std::ifstream file(credentialPath(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// vcInitialize once per process, from a 512-byte seed file of fresh random
// bytes that is removed again straight away. False when start-up failed.
inline bool libraryReady() {
    static const bool ready = [] {
        std::string path =
            (std::filesystem::temp_directory_path() / "vcbench-seed-XXXXXX").string();
        const int fd = mkstemp(path.data());
        if (fd < 0) {
            return false;
        }
        close(fd);
        {
            std::random_device device;
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            for (int i = 0; i < 512; ++i) {
                file.put(static_cast<char>(device() & 0xFF));
            }
        }
        const int32_t result = vcInitialize(nullptr, nullptr, nullptr, nullptr, path.c_str());
        std::filesystem::remove(path);
        return result == VC_OK;
    }();
    return ready;
}

// The client accepts the server's certificate only when the library found
// nothing wrong with it, so a benchmarked handshake includes a clean check.
inline int32_t VC_API acceptIfClean(const uint8_t*, uint32_t, uint32_t, uint32_t verifyFlags,
                                    uint32_t, const uint8_t*) {
    return verifyFlags == 0 ? 1 : 0;
}

// A server context (role 1) from certificateFile and keyFile and a client
// context without own credentials; both trust ca.pem and offer only the
// suites in cipherMask.
class ContextPair {
  public:
    ContextPair(const char* certificateFile, const char* keyFile, uint32_t cipherMask) {
        const std::string certificate = readCredential(certificateFile);
        const std::string key = readCredential(keyFile);
        const std::string ca = readCredential("ca.pem");
        const PemInput certificateInput = {certificate.data(),
                                           static_cast<uint32_t>(certificate.size())};
        const PemKeyInput keyInput = {key.data(), static_cast<uint32_t>(key.size()), nullptr, 0};
        const PemInput caInput = {ca.data(), static_cast<uint32_t>(ca.size())};
        if (vcCreateContext(&certificateInput, &keyInput, &caInput, 1, nullptr, cipherMask,
                            ROLE_SERVER, &server_) != VC_OK ||
            vcCreateContext(nullptr, nullptr, &caInput, 1, acceptIfClean, cipherMask, ROLE_CLIENT,
                            &client_) != VC_OK) {
            vcDestroyContext(server_);
            vcDestroyContext(client_);
            server_ = nullptr;
            client_ = nullptr;
        }
    }
    ~ContextPair() {
        vcDestroyContext(server_);
        vcDestroyContext(client_);
    }
    ContextPair(const ContextPair&) = delete;
    ContextPair& operator=(const ContextPair&) = delete;

    bool ok() const { return server_ != nullptr; }
    VcContext* server() const { return server_; }
    VcContext* client() const { return client_; }

  private:
    VcContext* server_ = nullptr;
    VcContext* client_ = nullptr;
};

// One direction of the memory wire: bytes written by one side, not yet
// consumed by the other.
struct Wire {
    AlignedBytes bytes = AlignedBytes(2 * HANDSHAKE_MESSAGE_ROOM);
    uint32_t length = 0;
};

// The buffers a handshake passes its messages through, allocated once and
// reused by every handshake.
struct HandshakeBuffers {
    Wire toServer;
    Wire toClient;
    AlignedBytes output = AlignedBytes(HANDSHAKE_MESSAGE_ROOM);
    uint64_t wireBytes = 0;  // all bytes sent by both sides so far
};

// One vcHandshake call for a side that is not done yet: its reply, if any,
// is appended to the peer's wire. False on any failure, after which the
// library has destroyed the connection and *connection is cleared.
inline bool handshakeCall(VcConnection** connection, Wire* in, Wire* out, AlignedBytes* scratch,
                          uint64_t* wireBytes, bool* done) {
    uint32_t outputLength = 0;
    const int32_t result =
        vcHandshake(in->bytes.data(), &in->length, scratch->data(), &outputLength, *connection);
    if (result == VC_OK) {
        *done = true;
        return true;
    }
    if (result == VC_RECEIVE_MORE_DATA) {
        return true;
    }
    if (result != VC_SEND_DATA) {
        *connection = nullptr;
        return false;
    }
    if (outputLength > scratch->size() || out->length + outputLength > out->bytes.size()) {
        return false;
    }
    std::memcpy(out->bytes.data() + out->length, scratch->data(), outputLength);
    out->length += outputLength;
    *wireBytes += outputLength;
    return true;
}

// Runs a complete handshake between fresh connections of the two contexts,
// the client first and the two taking turns. The connections are returned
// (or destroyed and nulled on failure); true when both sides completed.
inline bool handshake(const ContextPair& contexts, const char* serviceName,
                      HandshakeBuffers* buffers, VcConnection** client, VcConnection** server) {
    buffers->toServer.length = 0;
    buffers->toClient.length = 0;
    *client = nullptr;
    *server = nullptr;
    bool ok = vcCreateConnection(contexts.client(), serviceName, 0, client) == VC_OK &&
              vcCreateConnection(contexts.server(), nullptr, 0, server) == VC_OK;
    bool clientDone = false;
    bool serverDone = false;
    // A handshake takes a handful of turns; a stall shows as running out.
    for (int turn = 0; ok && !(clientDone && serverDone) && turn < 64; ++turn) {
        if (!clientDone) {
            ok = handshakeCall(client, &buffers->toClient, &buffers->toServer, &buffers->output,
                               &buffers->wireBytes, &clientDone);
        }
        if (ok && !serverDone) {
            ok = handshakeCall(server, &buffers->toServer, &buffers->toClient, &buffers->output,
                               &buffers->wireBytes, &serverDone);
        }
    }
    ok = ok && clientDone && serverDone && buffers->toServer.length == 0 &&
         buffers->toClient.length == 0;
    if (!ok) {
        vcDestroyConnection(*client);
        vcDestroyConnection(*server);
        *client = nullptr;
        *server = nullptr;
    }
    return ok;
}

}  // namespace vcbench
