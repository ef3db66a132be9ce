// vctool speed: how fast this machine runs what a connection spends its time
// on: MD5, RC4 and triple-DES over buffers of three sizes, RSA private and
// public operations on the 1024- and 2048-bit test keys, and whole
// handshakes between a client and a server in memory. Each item runs for a
// fixed time (0.3 s unless --seconds says otherwise) on one thread. With
// --kernels: the engines the private operations may run on instead, the
// time each took on this processor and the one chosen, per key size.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bignum/bignum_internal.h"
#include "bignum/rsa.h"
#include "commands.h"
#include "credentials.h"
#include "crypto/des.h"
#include "crypto/md5.h"
#include "crypto/rc4.h"
#include "demo_credentials.h"
#include "pki/private_key.h"
#include "setup.h"
#include "support/cpu_features.h"
#include "support/secure_wipe.h"
#include "veilcastnet.hpp"

namespace vctool {
namespace {

using Clock = std::chrono::steady_clock;
namespace vn = veilcastnet;

constexpr double DEFAULT_SECONDS = 0.3;
constexpr std::size_t BUFFER_SIZES[] = {64, 1024, 16384};

std::string embeddedText(const char* name) {
    for (unsigned i = 0; i < DEMO_CREDENTIAL_COUNT; ++i) {
        if (std::strcmp(DEMO_CREDENTIALS[i].name, name) == 0) {
            return std::string(reinterpret_cast<const char*>(DEMO_CREDENTIALS[i].bytes),
                               DEMO_CREDENTIALS[i].size);
        }
    }
    return {};
}

// Calls step() in batches until `seconds` have passed and answers calls per
// second. A batch doubles while it takes under 1/64 of the time, so the
// clock is read rarely and the run overshoots by little. False from step()
// stops the run: the answer is then -1.
template <typename Step>
double perSecond(double seconds, Step step) {
    uint64_t calls = 0;
    uint64_t batch = 1;
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    while (elapsed < seconds) {
        const Clock::time_point batchStart = Clock::now();
        for (uint64_t i = 0; i < batch; ++i) {
            if (!step()) {
                return -1;
            }
        }
        calls += batch;
        const Clock::time_point now = Clock::now();
        elapsed = std::chrono::duration<double>(now - start).count();
        if (std::chrono::duration<double>(now - batchStart).count() < seconds / 64) {
            batch *= 2;
        }
    }
    return static_cast<double>(calls) / elapsed;
}

// MB/s (10^6 bytes) of one primitive over each buffer size, on one line.
template <typename Run>
void throughputLine(const char* name, double seconds, Run run) {
    std::printf("%-22s", name);
    for (const std::size_t size : BUFFER_SIZES) {
        std::vector<uint8_t> buffer(size);
        for (std::size_t i = 0; i < size; ++i) {
            buffer[i] = static_cast<uint8_t>(i * 131 + 7);
        }
        const double rate = perSecond(seconds, [&] {
            run(buffer.data(), static_cast<uint32_t>(size));
            return true;
        });
        std::printf(" %12.2f", rate * static_cast<double>(size) / 1e6);
        std::fflush(stdout);
    }
    std::printf("\n");
}

void symmetricTable(double seconds) {
    std::printf("%-22s %9zu B %10zu B %10zu B   (MB/s)\n", "", BUFFER_SIZES[0], BUFFER_SIZES[1],
                BUFFER_SIZES[2]);
    throughputLine("md5", seconds, [](const uint8_t* data, uint32_t length) {
        vc::Md5Context md5;
        uint8_t digest[16];
        vc::md5Init(&md5);
        vc::md5Update(&md5, data, length);
        vc::md5Final(digest, &md5);
    });
    vc::Rc4State rc4{};
    const uint8_t key[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                             13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    vc::rc4SetKey(key, 16, &rc4);
    throughputLine("rc4-128", seconds,
                   [&](uint8_t* data, uint32_t length) { vc::rc4Crypt(data, length, &rc4); });
    vc::DesKeySchedule des[3];
    for (int i = 0; i < 3; ++i) {
        vc::desSetKey(key + 8 * i, &des[i]);
    }
    uint8_t iv[8] = {};
    throughputLine("triple-des-cbc", seconds, [&](uint8_t* data, uint32_t length) {
        vc::desEde3CbcCrypt(data, data, static_cast<int32_t>(length), &des[0], &des[1], &des[2], iv,
                            1);
    });
    vc::secureWipeObject(rc4);
    vc::secureWipeObject(des);
}

// Private operation: a PKCS#1 signature of an MD5 DigestInfo, as a client
// certificate carries; public operation: recovering it again, as the
// server checks it. The round trip is checked once before timing.
bool rsaLine(const char* file, const char* label, double seconds) {
    const std::string pem = embeddedText(file);
    std::vector<uint8_t> scratch(pem.size());
    vc::RsaPrivateKey key{};
    uint32_t decoded = 0;
    const vc::CryptoStatus loaded = vc::privateKeyLoad(
        pem.data(), static_cast<uint32_t>(pem.size()), nullptr, 0, scratch.data(), &decoded, &key);
    vc::secureWipe(scratch.data(), scratch.size());
    uint8_t block[sizeof(vc::md5DigestInfoPrefix) + 16] = {};
    std::memcpy(block, vc::md5DigestInfoPrefix, sizeof(vc::md5DigestInfoPrefix));
    uint8_t signature[512];
    uint8_t recovered[512];
    uint32_t signatureLength = 0;
    uint32_t recoveredLength = 0;
    const vc::RsaPublicKey publicKey{key.n, key.e};
    const auto sign = [&] {
        return vc::rsaPrivateSign(block, sizeof(block), &key, signature, &signatureLength) ==
               vc::CRYPTO_OK;
    };
    const auto recover = [&] {
        return vc::rsaPublicRecover(signature, signatureLength, &publicKey, recovered,
                                    &recoveredLength) == vc::CRYPTO_OK;
    };
    if (loaded != vc::CRYPTO_OK || !sign() || !recover() || recoveredLength != sizeof(block) ||
        std::memcmp(recovered, block, sizeof(block)) != 0) {
        std::fprintf(stderr, "vctool speed: %s: the RSA round trip failed\n", file);
        return false;
    }
    const double privateRate = perSecond(seconds, sign);
    const double publicRate = perSecond(seconds, recover);
    std::printf("%-22s %9.3f ms %9.4f ms %12.1f %12.1f\n", label, 1e3 / privateRate,
                1e3 / publicRate, privateRate, publicRate);
    vc::secureWipeObject(key);
    return privateRate > 0 && publicRate > 0;
}

// One side of an in-memory handshake: its connection and the bytes the peer
// has sent it that it has not consumed yet.
struct Side {
    vn::Connection connection;
    std::vector<uint8_t> input = std::vector<uint8_t>(2 * vn::HANDSHAKE_OUTPUT_SIZE);
    std::size_t inputLength = 0;
    bool done = false;
};

// One step of self; what it sends lands in peer's input.
bool step(Side& self, Side& peer, std::span<uint8_t, vn::HANDSHAKE_OUTPUT_SIZE> output) {
    const vn::HandshakeStep result =
        self.connection.handshake(std::span(self.input).first(self.inputLength), output);
    self.inputLength = result.inputLeft;
    if (result.progress == vn::Progress::Send) {
        if (peer.inputLength + result.toSend.size() > peer.input.size()) {
            return false;
        }
        std::memcpy(peer.input.data() + peer.inputLength, result.toSend.data(),
                    result.toSend.size());
        peer.inputLength += result.toSend.size();
    }
    self.done = result.progress == vn::Progress::Done;
    return result.progress != vn::Progress::Failed;
}

// A whole handshake between fresh connections, the two sides taking turns.
bool handshake(const vn::Context& server, const vn::Context& client,
               std::span<uint8_t, vn::HANDSHAKE_OUTPUT_SIZE> output) {
    Side serverSide{vn::Connection::create(server, nullptr).value};
    Side clientSide{vn::Connection::create(client, "server.example").value};
    for (int turn = 0; turn < 16 && !(serverSide.done && clientSide.done); ++turn) {
        if ((!clientSide.done && !step(clientSide, serverSide, output)) ||
            (!serverSide.done && !step(serverSide, clientSide, output))) {
            return false;
        }
    }
    return serverSide.done && clientSide.done;
}

bool handshakeLine(const char* label, uint32_t cipherMask, bool clientCertificate, double seconds) {
    const std::string ca = embeddedText("ca.pem");
    const std::string serverCertificate = embeddedText("server.pem");
    const std::string serverKey = embeddedText("server.key");
    const std::string clientCertificateText = embeddedText("client.pem");
    const std::string clientKey = embeddedText("client-enc.key");
    const std::string passPhrase = embeddedText("passphrase.txt");
    const std::string_view cas[] = {ca};
    vn::ContextSettings serverSettings{
        .role = clientCertificate ? vn::Role::ServerAuthClient : vn::Role::Server,
        .certificate = serverCertificate,
        .privateKey = vn::PrivateKeyText{serverKey},
        .caCertificates = cas,
    };
    vn::ContextSettings clientSettings{
        .role = vn::Role::Client, .caCertificates = cas, .cipherMask = cipherMask};
    if (clientCertificate) {
        clientSettings.certificate = clientCertificateText;
        clientSettings.privateKey = vn::PrivateKeyText{clientKey, passPhrase};
    }
    const auto [serverResult, server] = vn::Context::create(serverSettings);
    const auto [clientResult, client] = vn::Context::create(clientSettings);
    auto output = std::make_unique<std::array<uint8_t, vn::HANDSHAKE_OUTPUT_SIZE>>();
    const double rate = perSecond(seconds, [&] { return handshake(server, client, *output); });
    if (!serverResult.ok() || !clientResult.ok() || rate <= 0) {
        std::fprintf(stderr, "vctool speed: handshake %s failed (%s, %s)\n", label,
                     resultText(serverResult.code()).c_str(),
                     resultText(clientResult.code()).c_str());
        return false;
    }
    std::printf("%-40s %12.1f /s  %9.3f ms\n", label, rate, 1e3 / rate);
    return true;
}

// The processor's own name from cpuid's brand string, where it has one.
std::string processorName() {
    char name[64];
    return vc::cpuBrand(name, sizeof name) ? std::string(name) : std::string("unknown processor");
}

// Per key size, the best of a few dummy CRT exponentiations on each engine
// this processor has (as the library measures them at its first private
// operation of that size), and of exponentiations to 65537 for public
// operations, in microseconds, and the engine chosen.
int kernelTable() {
    std::printf("veilcastnet %s, RSA engines on %s\n", VC_VERSION_TEXT, processorName().c_str());
    std::printf(
        "(microseconds per dummy CRT exponentiation, or exponentiation to 65537 for\n"
        "public operations, best of a few; - not available here or not timed)\n\n");
    std::printf("%-12s", "key bits");
    for (uint32_t e = 0; e < vc::BIGNUM_ENGINE_COUNT; ++e) {
        std::printf(" %11s", vc::bigNumEngineName(e));
    }
    std::printf("   chosen\n");
    for (const uint32_t row : {1024u, 2048u, 4096u, 1u, 2u, 3u}) {
        const bool publicOp = row < 4;
        const uint32_t bits = publicOp ? 512u << row : row;
        vc::BigNumEngineTimes times{};
        const uint32_t chosen = publicOp ? vc::bigNumPublicEngine(bits / 32, &times)
                                         : vc::bigNumPrivateEngine(bits / 64, &times);
        std::printf("%4u %-7s", bits, publicOp ? "public" : "private");
        for (const uint64_t ns : times.nanoseconds) {
            if (ns == 0) {
                std::printf(" %11s", "-");
            } else {
                std::printf(" %11.1f", static_cast<double>(ns) / 1e3);
            }
        }
        std::printf("   %s\n", vc::bigNumEngineName(chosen));
    }
    return 0;
}

int speedUsage(FILE* out) {
    std::fprintf(out,
                 "usage: vctool speed [--seconds S] | --kernels\n"
                 "  Times MD5, RC4-128 and triple-DES-CBC over 64, 1024 and 16384 bytes,\n"
                 "  RSA private and public operations on 1024- and 2048-bit keys, and\n"
                 "  whole handshakes in memory, each for S seconds (default 0.3) on one\n"
                 "  thread. --kernels instead shows, per RSA key size, how long each\n"
                 "  engine for private operations took here and which one is used.\n");
    return out == stdout ? 0 : USAGE_ERROR;
}

}  // namespace

int speedCommand(int argc, char** argv) {
    double seconds = DEFAULT_SECONDS;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            return speedUsage(stdout);
        }
        if (std::strcmp(argv[i], "--kernels") == 0 && argc == 1) {
            return kernelTable();
        }
        if (std::strcmp(argv[i], "--seconds") != 0 || i + 1 == argc) {
            std::fprintf(stderr, "vctool speed: unexpected argument: %s\n", argv[i]);
            return speedUsage(stderr);
        }
        char* end = nullptr;
        seconds = std::strtod(argv[++i], &end);
        if (*end != '\0' || !(seconds > 0 && seconds <= 60)) {
            std::fprintf(stderr, "vctool speed: --seconds takes a number above 0, at most 60\n");
            return speedUsage(stderr);
        }
    }
    std::printf("veilcastnet %s, %.2f s per item, one thread\n\n", VC_VERSION_TEXT, seconds);
    symmetricTable(seconds);

    std::printf("\n%-22s %12s %12s %12s %12s\n", "rsa", "private", "public", "private/s",
                "public/s");
    bool ok = rsaLine("rsa-1024.pem", "1024 bits", seconds);
    ok = rsaLine("rsa-2048.pem", "2048 bits", seconds) && ok;

    // Handshakes need a seeded generator.
    if (initialiseFromOs() != VC_OK) {
        std::fprintf(stderr, "vctool speed: vcInitialize failed\n");
        return 1;
    }
    std::printf("\nhandshakes, 2048-bit server key, both sides in this thread\n");
    ok = handshakeLine("rc4-128", VC_CIPHER_RC4_128, false, seconds) && ok;
    ok = handshakeLine("triple-des-cbc", VC_CIPHER_DES_EDE3_CBC, false, seconds) && ok;
    ok = handshakeLine("rc4-128, client certificate (1024 bits)", VC_CIPHER_RC4_128, true,
                       seconds) &&
         ok;
    vcTerminate();
    return ok ? 0 : 1;
}

}  // namespace vctool
