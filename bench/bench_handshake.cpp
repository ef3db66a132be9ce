// Complete handshakes per second between a client and a server in one
// thread, bytes passed through memory, beside an OpenSSL TLS 1.2 handshake
// with RSA key exchange on the same certificate and key in the same run.
// Each iteration creates both connections, runs the handshake to its end
// on both sides and destroys them; contexts are made once.
//
// OpenSSL's side: AES128-SHA only, TLS 1.2 only, no session cache and no
// tickets, security level 0 (the test certificates are signed with MD5).
// Its client checks the server certificate against ca.pem and the expected
// name, as ours does.
//
// handshake-rsa2048-shared runs the same handshakes from one and from two
// threads on one pair of contexts (one SSL_CTX pair for OpenSSL), as a
// server's connections share its key: with real time, the two-thread rate
// over the one-thread rate shows how far handshakes scale with cores.
//
// handshake-rsa2048/rsa-private+public is one of our private decryptions
// and one public encryption with a 2048-bit key, the floor under a
// handshake's cost, so the two can be compared from one run.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <memory>

#include "bignum/rsa.h"
#include "channel_pair.h"
#include "support/openssl_bignum.h"

namespace {

// Handshakes per second, and the bytes both sides sent per handshake.
void reportWireBytes(benchmark::State& state, uint64_t wireBytes) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["wire_bytes"] =
        benchmark::Counter(static_cast<double>(wireBytes), benchmark::Counter::kAvgIterations);
}

// Handshakes on the given contexts until the state is done; each thread
// that runs this has its own buffers.
void runHandshakes(benchmark::State& state, const vcbench::ContextPair& contexts,
                   const char* serviceName) {
    if (!contexts.ok()) {
        state.SkipWithError("context not created");
        return;
    }
    vcbench::HandshakeBuffers buffers;
    for (auto _ : state) {
        VcConnection* client = nullptr;
        VcConnection* server = nullptr;
        if (!vcbench::handshake(contexts, serviceName, &buffers, &client, &server)) {
            state.SkipWithError("handshake failed");
            break;
        }
        vcDestroyConnection(client);
        vcDestroyConnection(server);
    }
    reportWireBytes(state, buffers.wireBytes);
}

void handshakeVeilcastnet(benchmark::State& state, const char* certificate, const char* key,
                          const char* serviceName) {
    if (!vcbench::libraryReady()) {
        state.SkipWithError("vcInitialize failed");
        return;
    }
    const vcbench::ContextPair contexts(certificate, key, VC_CIPHER_RC4_128);
    runHandshakes(state, contexts, serviceName);
}

// One context pair for every thread of the shared benchmark, made once.
void sharedHandshakeVeilcastnet(benchmark::State& state) {
    if (!vcbench::libraryReady()) {
        state.SkipWithError("vcInitialize failed");
        return;
    }
    static const vcbench::ContextPair contexts("server.pem", "server.key", VC_CIPHER_RC4_128);
    runHandshakes(state, contexts, "server.example");
}

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslCtx = std::unique_ptr<SSL_CTX, SslCtxFree>;

// TLS 1.2 only, AES128-SHA only, nothing kept between handshakes.
SslCtx tls12Context(const SSL_METHOD* method) {
    SslCtx ctx(SSL_CTX_new(method));
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(ctx.get(), "AES128-SHA") != 1) {
        return nullptr;
    }
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    return ctx;
}

// A handshake step that did not finish is fine only while it waits for the
// peer's bytes or for room to write.
bool sslStepOk(SSL* ssl, int result) {
    const int error = SSL_get_error(ssl, result);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

// A server SSL_CTX with the certificate and key, a client SSL_CTX that
// checks the server against ca.pem; ok() false when either is not set up.
struct OpenSslContexts {
    SslCtx server = tls12Context(TLS_server_method());
    SslCtx client = tls12Context(TLS_client_method());
    bool ready = false;

    OpenSslContexts(const char* certificate, const char* key) {
        ready =
            server != nullptr && client != nullptr &&
            SSL_CTX_use_certificate_file(server.get(), vcbench::credentialPath(certificate).c_str(),
                                         SSL_FILETYPE_PEM) == 1 &&
            SSL_CTX_use_PrivateKey_file(server.get(), vcbench::credentialPath(key).c_str(),
                                        SSL_FILETYPE_PEM) == 1 &&
            SSL_CTX_check_private_key(server.get()) == 1 &&
            SSL_CTX_load_verify_locations(client.get(), vcbench::credentialPath("ca.pem").c_str(),
                                          nullptr) == 1;
        if (ready) {
            SSL_CTX_set_verify(client.get(), SSL_VERIFY_PEER, nullptr);
        }
        ERR_clear_error();
    }
    bool ok() const { return ready; }
};

// Handshakes on the given contexts until the state is done; each thread
// that runs this has its own BIO pair.
void runOpenSslHandshakes(benchmark::State& state, const OpenSslContexts& contexts,
                          const char* serviceName) {
    if (!contexts.ok()) {
        state.SkipWithError("SSL_CTX not set up");
        return;
    }
    // One BIO pair with 32 KiB each way, made once and reused: each SSL
    // object takes a reference of its own and drops it when freed.
    BIO* clientEnd = nullptr;
    BIO* serverEnd = nullptr;
    if (BIO_new_bio_pair(&clientEnd, vcbench::HANDSHAKE_MESSAGE_ROOM, &serverEnd,
                         vcbench::HANDSHAKE_MESSAGE_ROOM) != 1) {
        state.SkipWithError("BIO pair not made");
        return;
    }
    uint64_t wireBytes = 0;
    for (auto _ : state) {
        SSL* c = SSL_new(contexts.client.get());
        SSL* s = SSL_new(contexts.server.get());
        bool ok = c != nullptr && s != nullptr && SSL_set1_host(c, serviceName) == 1;
        if (ok) {
            BIO_up_ref(clientEnd);
            BIO_up_ref(serverEnd);
            SSL_set_bio(c, clientEnd, clientEnd);
            SSL_set_bio(s, serverEnd, serverEnd);
            SSL_set_connect_state(c);
            SSL_set_accept_state(s);
        }
        const uint64_t writtenBefore =
            BIO_number_written(clientEnd) + BIO_number_written(serverEnd);
        bool clientDone = false;
        bool serverDone = false;
        for (int turn = 0; ok && !(clientDone && serverDone) && turn < 64; ++turn) {
            if (!clientDone) {
                const int result = SSL_do_handshake(c);
                clientDone = result == 1;
                ok = clientDone || sslStepOk(c, result);
            }
            if (ok && !serverDone) {
                const int result = SSL_do_handshake(s);
                serverDone = result == 1;
                ok = serverDone || sslStepOk(s, result);
            }
        }
        ok = ok && clientDone && serverDone && SSL_get_verify_result(c) == X509_V_OK &&
             BIO_ctrl_pending(clientEnd) == 0 && BIO_ctrl_pending(serverEnd) == 0;
        wireBytes += BIO_number_written(clientEnd) + BIO_number_written(serverEnd) - writtenBefore;
        SSL_free(c);
        SSL_free(s);
        if (!ok) {
            ERR_clear_error();
            state.SkipWithError("TLS handshake failed");
            break;
        }
    }
    BIO_free(clientEnd);
    BIO_free(serverEnd);
    reportWireBytes(state, wireBytes);
}

void handshakeOpenSsl(benchmark::State& state, const char* certificate, const char* key,
                      const char* serviceName) {
    const OpenSslContexts contexts(certificate, key);
    runOpenSslHandshakes(state, contexts, serviceName);
}

void sharedHandshakeOpenSsl(benchmark::State& state) {
    static const OpenSslContexts contexts("server.pem", "server.key");
    runOpenSslHandshakes(state, contexts, "server.example");
}

// One public encryption of a 48-byte block and the private decryption of
// the result, as a key exchange does; keys/rsa-2048.pem, like bench_rsa.
void rsaPrivatePlusPublic(benchmark::State& state) {
    vctest::TestKey key;
    if (!vcbench::libraryReady() || !vctest::loadTestKey(2048, &key)) {
        state.SkipWithError("library or test key not ready");
        return;
    }
    const vc::RsaPublicKey pub = vctest::publicOf(key.key);
    uint8_t message[48];
    for (size_t i = 0; i < sizeof message; ++i) {
        message[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    uint8_t cipher[512];
    uint8_t recovered[512];
    for (auto _ : state) {
        uint32_t cipherLength = 0;
        uint32_t recoveredLength = 0;
        if (vc::rsaPublicEncrypt(message, sizeof message, &pub, cipher, &cipherLength) !=
                vc::CRYPTO_OK ||
            vc::rsaPrivateDecrypt(cipher, cipherLength, &key.key, recovered, &recoveredLength) !=
                vc::CRYPTO_OK ||
            recoveredLength != sizeof message) {
            state.SkipWithError("RSA round trip failed");
            break;
        }
        benchmark::DoNotOptimize(recovered);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

// The 1024-bit server uses client.pem, a 1024-bit certificate from ca.pem.
BENCHMARK_CAPTURE(handshakeVeilcastnet, rsa1024, "client.pem", "client.key", "client.example")
    ->Name("handshake-rsa1024/veilcastnet");
BENCHMARK_CAPTURE(handshakeOpenSsl, rsa1024, "client.pem", "client.key", "client.example")
    ->Name("handshake-rsa1024/openssl");
BENCHMARK_CAPTURE(handshakeVeilcastnet, rsa2048, "server.pem", "server.key", "server.example")
    ->Name("handshake-rsa2048/veilcastnet");
BENCHMARK_CAPTURE(handshakeOpenSsl, rsa2048, "server.pem", "server.key", "server.example")
    ->Name("handshake-rsa2048/openssl");
BENCHMARK(sharedHandshakeVeilcastnet)
    ->Name("handshake-rsa2048-shared/veilcastnet")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(sharedHandshakeOpenSsl)
    ->Name("handshake-rsa2048-shared/openssl")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(rsaPrivatePlusPublic)->Name("handshake-rsa2048/rsa-private+public");
