// vctool demo: a server thread and a client thread on the loopback
// interface, three handshakes (RC4-128, triple-DES-CBC, client
// authentication) with 64 KiB sealed each way after each, and a transcript
// of what the host sees. The credentials are the committed test ones,
// compiled in.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "credentials.h"
#include "demo_credentials.h"
#include "sealed_socket.h"
#include "setup.h"
#include "socket_io.h"
#include "veilcastnet.h"

namespace vctool {
namespace {

constexpr std::size_t DATA_BYTES = 64 * 1024;
constexpr int TIMEOUT_SECONDS = 10;
constexpr uint32_t CLIENT_SIDE = 0;
constexpr uint32_t SERVER_SIDE = 1;
constexpr const char* SERVICE_NAME = "server.example";
constexpr uint32_t BOTH_SUITES = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;

struct Scenario {
    const char* title;
    uint32_t serverRole;
    uint32_t clientMask;     // the server always offers both
    uint32_t expectedSuite;  // RC4 wins when both are offered
    bool clientCertificate;
};

constexpr Scenario SCENARIOS[] = {
    {"RC4-128 (the client offers RC4 only)", ROLE_SERVER, VC_CIPHER_RC4_128, VC_CIPHER_RC4_128,
     false},
    {"triple-DES-CBC (the client offers triple-DES only)", ROLE_SERVER, VC_CIPHER_DES_EDE3_CBC,
     VC_CIPHER_DES_EDE3_CBC, false},
    {"client authentication (server role ROLE_SERVER_AUTH_CLIENT, both suites offered)",
     ROLE_SERVER_AUTH_CLIENT, BOTH_SUITES, VC_CIPHER_RC4_128, true},
};

// Both threads write here; a line is printed whole.
std::mutex transcriptLock;
void say(const std::string& line) {
    const std::lock_guard<std::mutex> hold(transcriptLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The suite each side's certificate callback reported in this scenario.
std::atomic<uint32_t> suiteSeen[2];

// The client's callback runs inside the vcHandshake call that consumes the
// server hello, before the transcript can show that message arrive; its
// lines wait here for the message line. Only the client thread touches it.
std::vector<std::string> clientPending;

void flushClientPending() {
    for (const std::string& line : clientPending) {
        say(line);
    }
    clientPending.clear();
}

int32_t VC_API reportCertificate(const uint8_t* der, uint32_t derLength, uint32_t userValue,
                                 uint32_t verifyFlags, uint32_t cipherMask, const uint8_t* md5) {
    const bool client = userValue == CLIENT_SIDE;
    std::vector<std::string> lines = {std::string("  ") + (client ? "client" : "server") +
                                      " checks the " + (client ? "server" : "client") +
                                      "'s certificate:"};
    for (const std::string& line :
         describePeerCertificate(der, derLength, verifyFlags, cipherMask, md5)) {
        lines.push_back("      " + line);
    }
    if (client) {
        clientPending.insert(clientPending.end(), lines.begin(), lines.end());
    } else {
        for (const std::string& line : lines) {
            say(line);
        }
    }
    suiteSeen[client ? CLIENT_SIDE : SERVER_SIDE] = cipherMask;
    return verifyFlags == 0 ? 1 : 0;
}

std::string embedded(const char* name) {
    for (unsigned i = 0; i < DEMO_CREDENTIAL_COUNT; ++i) {
        if (std::strcmp(DEMO_CREDENTIALS[i].name, name) == 0) {
            const auto* bytes = reinterpret_cast<const char*>(DEMO_CREDENTIALS[i].bytes);
            return std::string(bytes, DEMO_CREDENTIALS[i].size);
        }
    }
    return {};
}

// Destroys the context when the scenario is over, whatever happened.
struct ContextHandle {
    VcContext* context = nullptr;
    ~ContextHandle() { vcDestroyContext(context); }
};

bool makeContexts(const Scenario& scenario, ContextHandle* server, ContextHandle* client) {
    // Every context trusts the CA, a server too, whether or not it asks
    // for a client certificate.
    CredentialTexts serverTexts{
        embedded("server.pem"), embedded("server.key"), "", {embedded("ca.pem")}};
    CredentialTexts clientTexts{"", "", "", {embedded("ca.pem")}};
    if (scenario.clientCertificate) {
        clientTexts.certificate = embedded("client.pem");
        clientTexts.key = embedded("client-enc.key");
        clientTexts.passPhrase = embedded("passphrase.txt");
    }
    int32_t result = createContext(serverTexts, reportCertificate, BOTH_SUITES, scenario.serverRole,
                                   &server->context);
    wipeTexts(&serverTexts);
    say(std::string("  server context (server.pem, server.key, CA ca.pem, role ") +
        (scenario.serverRole == ROLE_SERVER_AUTH_CLIENT ? "ROLE_SERVER_AUTH_CLIENT"
                                                        : "ROLE_SERVER") +
        "): " + resultText(result));
    if (result != VC_OK) {
        return false;
    }
    result = createContext(clientTexts, reportCertificate, scenario.clientMask, ROLE_CLIENT,
                           &client->context);
    wipeTexts(&clientTexts);
    say("  client context (CA ca.pem" +
        std::string(scenario.clientCertificate ? ", client.pem, client-enc.key under its pass "
                                                 "phrase"
                                               : "") +
        ", offering " + suiteName(scenario.clientMask) + "): " + resultText(result));
    return result == VC_OK;
}

// A pattern per direction and scenario, so a record delivered to the wrong
// place or twice cannot compare equal.
std::vector<uint8_t> testData(uint32_t seed) {
    std::vector<uint8_t> data(DATA_BYTES);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

bool receiveExactly(SealedSocket* link, std::size_t count, std::vector<uint8_t>* out,
                    std::string* error) {
    out->clear();
    bool ok = link->openBuffered(out);
    while (ok && out->size() < count) {
        const SealedSocket::Received received = link->receive(out);
        if (received == SealedSocket::Received::Closed) {
            *error = "the peer closed after " + std::to_string(out->size()) + " of " +
                     std::to_string(count) + " bytes";
            return false;
        }
        ok = received == SealedSocket::Received::Data;
    }
    if (!ok) {
        *error = link->error();
    } else if (out->size() != count) {
        *error =
            "received " + std::to_string(out->size()) + " bytes, expected " + std::to_string(count);
    }
    return ok && out->size() == count;
}

// What one side brings back from a scenario.
struct SideReport {
    bool ok = false;
    std::string error;
    double handshakeMs = 0;
    uint64_t handshakeSent = 0;
    uint64_t handshakeReceived = 0;
    uint64_t dataWireSent = 0;
    uint64_t recordsSent = 0;
};

// The common course of both sides once connected: handshake, then the
// client's data to the server, then the server's data back.
void converse(SealedSocket* link, bool client, const MessageObserver& observer,
              const std::vector<uint8_t>& clientData, const std::vector<uint8_t>& serverData,
              SideReport* report) {
    const auto start = std::chrono::steady_clock::now();
    if (!link->handshake(observer)) {
        report->error = "handshake: " + link->error();
        return;
    }
    report->handshakeMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    report->handshakeSent = link->wireSent();
    report->handshakeReceived = link->wireReceived();
    const std::vector<uint8_t>& mine = client ? clientData : serverData;
    const std::vector<uint8_t>& theirs = client ? serverData : clientData;
    std::vector<uint8_t> received;
    const bool ok = client ? link->send(mine.data(), mine.size()) &&
                                 receiveExactly(link, theirs.size(), &received, &report->error)
                           : receiveExactly(link, theirs.size(), &received, &report->error) &&
                                 link->send(mine.data(), mine.size());
    if (!ok && report->error.empty()) {
        report->error = link->error();
    } else if (ok && received != theirs) {
        report->error = "the data received differs from the data sent";
    }
    report->ok = ok && received == theirs;
    report->dataWireSent = link->wireSent() - report->handshakeSent;
    report->recordsSent = link->recordsSent();
}

void runServer(int listener, VcContext* context, const std::vector<uint8_t>* clientData,
               const std::vector<uint8_t>* serverData, SideReport* report) {
    const int socket = vcsocket::acceptOne(listener, TIMEOUT_SECONDS * 1000, &report->error);
    if (socket < 0) {
        return;
    }
    vcsocket::setTimeouts(socket, TIMEOUT_SECONDS);
    VcConnection* connection = nullptr;
    const int32_t result = vcCreateConnection(context, nullptr, SERVER_SIDE, &connection);
    SealedSocket link(socket, connection);
    if (result != VC_OK) {
        report->error = "vcCreateConnection: " + resultText(result);
        return;
    }
    converse(
        &link, false, [](const MessageEvent&) {}, *clientData, *serverData, report);
}

void logMessage(const MessageEvent& event) {
    char line[128];
    const std::string what = event.sealed ? "sealed record" : messageName(event.type);
    std::snprintf(line, sizeof(line), "  %s  %-22s %6u bytes",
                  event.sent ? "client -> server" : "client <- server", what.c_str(), event.size);
    say(line);
    flushClientPending();
}

void runClient(int port, VcContext* context, const std::vector<uint8_t>* clientData,
               const std::vector<uint8_t>* serverData, SideReport* report) {
    const int socket = vcsocket::connectTo("127.0.0.1", std::to_string(port), &report->error);
    if (socket < 0) {
        return;
    }
    vcsocket::setTimeouts(socket, TIMEOUT_SECONDS);
    VcConnection* connection = nullptr;
    const int32_t result = vcCreateConnection(context, SERVICE_NAME, CLIENT_SIDE, &connection);
    SealedSocket link(socket, connection);
    if (result != VC_OK) {
        report->error = "vcCreateConnection: " + resultText(result);
        return;
    }
    say(std::string("  client connects to 127.0.0.1 port ") + std::to_string(port) +
        ", expecting service " + SERVICE_NAME);
    converse(&link, true, logMessage, *clientData, *serverData, report);
    flushClientPending();
}

std::string bytesText(uint64_t count) {
    return std::to_string(count) + " bytes";
}

std::string millisecondsText(double milliseconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f ms", milliseconds);
    return text;
}

bool summarise(const Scenario& scenario, const SideReport& client, const SideReport& server) {
    if (!client.ok || !server.ok) {
        say("  FAILED: client: " + (client.error.empty() ? "ok" : client.error) +
            "; server: " + (server.error.empty() ? "ok" : server.error));
        return false;
    }
    say("  handshake complete in " + millisecondsText(client.handshakeMs) +
        " (client side): " + bytesText(client.handshakeSent) + " client -> server, " +
        bytesText(client.handshakeReceived) + " server -> client");
    const uint32_t suite = suiteSeen[CLIENT_SIDE];
    say("  suite " + suiteName(suite) + " (expected " + suiteName(scenario.expectedSuite) + ")");
    say("  data: " + bytesText(DATA_BYTES) + " each way, identical on arrival; " +
        std::to_string(client.recordsSent) + " records / " + bytesText(client.dataWireSent) +
        " sealed client -> server, " + std::to_string(server.recordsSent) + " records / " +
        bytesText(server.dataWireSent) + " sealed server -> client");
    const bool suiteOk = suite == scenario.expectedSuite;
    const bool peerChecked = !scenario.clientCertificate || suiteSeen[SERVER_SIDE] != 0;
    if (!suiteOk || !peerChecked) {
        say(!suiteOk ? "  FAILED: a different suite was agreed"
                     : "  FAILED: the server never saw a client certificate");
    }
    return suiteOk && peerChecked;
}

bool runScenario(int listener, int port, const Scenario& scenario, uint32_t index) {
    say("\n== " + std::to_string(index + 1) + ". " + scenario.title);
    ContextHandle serverContext;
    ContextHandle clientContext;
    if (!makeContexts(scenario, &serverContext, &clientContext)) {
        return false;
    }
    suiteSeen[CLIENT_SIDE] = 0;
    suiteSeen[SERVER_SIDE] = 0;
    const std::vector<uint8_t> clientData = testData(2 * index + 1);
    const std::vector<uint8_t> serverData = testData(2 * index + 2);
    SideReport server;
    SideReport client;
    std::thread serverThread(runServer, listener, serverContext.context, &clientData, &serverData,
                             &server);
    runClient(port, clientContext.context, &clientData, &serverData, &client);
    serverThread.join();
    return summarise(scenario, client, server);
}

int usage(FILE* out) {
    std::fprintf(out,
                 "usage: vctool demo [--seed FILE | --gather]\n"
                 "  Seeds the library (from FILE, which is then overwritten with new bytes from\n"
                 "  the generator, from mouse and keyboard in the library's window with\n"
                 "  --gather, or else 512 fresh bytes from the operating system),\n"
                 "  then runs a server and a client on 127.0.0.1 with the built-in test\n"
                 "  credentials: an RC4-128 handshake, a triple-DES-CBC one and one with client\n"
                 "  authentication, each followed by 64 KiB sealed in each direction.\n"
                 "  Exits 0 only when all of it worked.\n");
    return out == stdout ? 0 : USAGE_ERROR;
}

int32_t initialise(const char* seedFile, bool gather) {
    int32_t result = VC_INITIALIZATION_FAILED;
    std::string source;
    if (gather) {
        result = initialiseFromWindow();
        source = "the mouse-and-keyboard window";
    } else if (seedFile != nullptr) {
        result = initialiseFromFile(seedFile);
        source = "seed file " + std::string(seedFile);
    } else {
        result = initialiseFromOs();
        source = "512 fresh bytes from the operating system";
    }
    say("vcInitialize with " + source + ": " + resultText(result));
    return result;
}

int runAll(const char* seedFile, bool gather) {
    const std::string info = vcInfoText();
    say(info.substr(0, info.find('\n')));
    if (initialise(seedFile, gather) != VC_OK) {
        return 1;
    }
    std::string error;
    const int listener = vcsocket::listenOn("127.0.0.1", "0", &error);
    if (listener < 0) {
        say("listening on 127.0.0.1: " + error);
        return 1;
    }
    say("server listening on 127.0.0.1 port " + std::to_string(vcsocket::boundPort(listener)));
    uint32_t passed = 0;
    for (uint32_t i = 0; i < std::size(SCENARIOS); ++i) {
        passed += runScenario(listener, vcsocket::boundPort(listener), SCENARIOS[i], i) ? 1 : 0;
    }
    close(listener);
    const bool ok = passed == std::size(SCENARIOS);
    say("\ndemo: " + std::to_string(passed) + " of " + std::to_string(std::size(SCENARIOS)) +
        " handshakes and transfers succeeded" + (ok ? "" : " - FAILED"));
    return ok ? 0 : 1;
}

}  // namespace

int demoCommand(int argc, char** argv) {
    const char* seedFile = nullptr;
    bool gather = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            return usage(stdout);
        }
        if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seedFile = argv[++i];
        } else if (std::strcmp(argv[i], "--gather") == 0) {
            gather = true;
        } else {
            std::fprintf(stderr, "vctool demo: unexpected argument '%s'\n", argv[i]);
            return usage(stderr);
        }
    }
    if (gather && seedFile != nullptr) {
        std::fprintf(stderr, "vctool demo: --seed and --gather exclude each other\n");
        return usage(stderr);
    }
    const int status = runAll(seedFile, gather);
    vcTerminate();
    return status;
}

}  // namespace vctool
