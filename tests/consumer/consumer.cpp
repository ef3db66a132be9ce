// A C++ host built against the installed library through find_package and
// veilcastnet.hpp: a server and a client in one process, with the bytes
// passed between memory buffers. Two handshakes (RC4 with a plain server;
// triple-DES with a client certificate), 200 KiB each way after each, and
// a client that expects another name and must be turned away.
//   consumer_cxx CREDENTIAL_DIR SEED_FILE
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>
#include <veilcastnet.hpp>

namespace vn = veilcastnet;

namespace {

std::string directory;

[[noreturn]] void fail(const std::string& what, vn::Result result) {
    std::fprintf(stderr, "consumer_cxx: %s: %d (%s)\n", what.c_str(), result.code(), result.text());
    std::exit(1);
}

std::string readFile(const char* name) {
    std::ifstream file(directory + "/" + name, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.empty()) {
        fail(std::string("cannot read ") + name, vn::Result(VC_NO_CERTIFICATE));
    }
    return text;
}

vn::Context makeContext(const vn::ContextSettings& settings, const char* what) {
#ifdef VEILCASTNET_EXCEPTIONS
    try {
        return vn::Context::create(settings).orThrow();
    } catch (const vn::Error& error) {
        fail(what, error.result());
    }
#else
    vn::Created<vn::Context> created = vn::Context::create(settings);
    if (!created.result.ok()) {
        fail(what, created.result);
    }
    return std::move(created.value);
#endif
}

// One side: its connection and the bytes the peer has sent it.
struct Side {
    vn::Connection connection;
    std::vector<uint8_t> wire = std::vector<uint8_t>(1 << 20);
    std::size_t length = 0;
    bool done = false;

    void receive(std::span<const uint8_t> bytes) {
        if (bytes.empty()) {
            return;
        }
        std::memcpy(wire.data() + length, bytes.data(), bytes.size());
        length += bytes.size();
    }
};

// Both sides take turns until both are done; the result that ended it.
vn::Result handshake(Side& client, Side& server) {
    std::array<uint8_t, vn::HANDSHAKE_OUTPUT_SIZE> output{};
    for (int turn = 0; turn < 16 && !(client.done && server.done); ++turn) {
        for (auto [self, peer] : {std::pair{&client, &server}, std::pair{&server, &client}}) {
            if (self->done) {
                continue;
            }
            const vn::HandshakeStep step =
                self->connection.handshake(std::span(self->wire).first(self->length), output);
            self->length = step.inputLeft;
            if (step.progress == vn::Progress::Failed) {
                return step.result;
            }
            peer->receive(step.toSend);
            self->done = step.progress == vn::Progress::Done;
        }
    }
    return vn::Result(client.done && server.done ? VC_OK : VC_CONNECTION_CLOSED);
}

// Seals 200 KiB on one side and opens it on the other, comparing.
void transfer(Side& from, Side& to) {
    std::vector<uint8_t> data(200 * 1024);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    std::vector<uint8_t> received;
    auto record = std::make_unique<std::array<uint8_t, vn::RECORD_SIZE_MAX>>();
    auto payload = std::make_unique<std::array<uint8_t, vn::RECORD_PAYLOAD_MAX>>();
    for (std::span<const uint8_t> rest(data); !rest.empty();) {
        const vn::Sealed sealed = from.connection.seal(rest, *record);
        if (!sealed.ok() || sealed.taken == 0) {
            fail("seal", sealed.result);
        }
        to.receive(sealed.record);
        rest = rest.subspan(sealed.taken);
        while (to.length > 0) {
            const vn::Opened opened =
                to.connection.open(std::span(to.wire).first(to.length), *payload);
            if (!opened.result.ok()) {
                fail("open", opened.result);
            }
            to.length = opened.inputLeft;
            received.insert(received.end(), opened.payload.begin(), opened.payload.end());
        }
    }
    if (received != data) {
        fail("the data arrived changed", vn::Result(VC_DECRYPTION_FAILED));
    }
}

// A server of the given role and a client expecting serviceName, offering
// the suites of cipherMask (0: the settings' default). With the
// right name, the handshake and 200 KiB each way. With another name, the
// handshake fails with 23 and the library ends the client's connection,
// which the owner then no longer holds.
void run(const char* name, vn::Role role, uint32_t cipherMask, bool clientCertificate,
         const char* serviceName = "server.example") {
    const std::string ca = readFile("ca.pem");
    const std::string_view cas[] = {ca};
    const std::string clientPem = readFile("client.pem");
    const std::string clientKey = readFile("client.key");
    Side client;
    Side server;
    {
        // The library reads the texts when a context is made, and the
        // Context objects go out of scope before the handshake: the
        // connections keep the library contexts alive.
        const vn::Context serverContext =
            makeContext({.role = role,
                         .certificate = readFile("server.pem"),
                         .privateKey = vn::PrivateKeyText{readFile("server-enc.key"),
                                                          readFile("passphrase.txt")},
                         .caCertificates = cas},
                        "server context");
        vn::ContextSettings settings{.caCertificates = cas};
        if (cipherMask != 0) {
            settings.cipherMask = cipherMask;
        }
        if (clientCertificate) {
            settings.certificate = clientPem;
            settings.privateKey = vn::PrivateKeyText{clientKey};
        }
        client.connection =
            vn::Connection::create(makeContext(settings, "client context"), serviceName).value;
        server.connection = vn::Connection::create(serverContext, nullptr).value;
    }
    const vn::Result result = handshake(client, server);
    if (std::string_view(serviceName) != "server.example") {
        if (result != VC_WRONG_SERVICENAME || client.connection) {
            fail(std::string(name) + ": a client expecting " + serviceName, result);
        }
        std::printf("%s: %d (%s), connection ended\n", name, result.code(), result.text());
        return;
    }
    if (!result.ok()) {
        fail(std::string(name) + ": handshake", result);
    }
    transfer(client, server);
    transfer(server, client);
    std::printf("%s: handshake and 200 KiB each way\n", name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer_cxx CREDENTIAL_DIR SEED_FILE\n");
        return 2;
    }
    directory = argv[1];
    if (const vn::Result result = vn::initializeFromSeedFile(argv[2]); !result.ok()) {
        fail("vcInitialize", result);
    }
    run("rc4-128", vn::Role::Server, VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC, false);
    run("triple-des-cbc, client certificate", vn::Role::ServerAuthClient, VC_CIPHER_DES_EDE3_CBC,
        true);
    run("wrong name", vn::Role::Server, 0, false, "other.example");
    vn::terminate();
    std::printf("consumer_cxx: ok\n");
    return 0;
}
