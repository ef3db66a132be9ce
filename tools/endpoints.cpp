// vctool server and vctool client: TCP endpoints that relay standard input to
// the peer and the peer's data to standard output over a sealed link.
// Diagnostics go to standard error, so the data streams stay clean.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "credentials.h"
#include "endpoint_options.h"
#include "sealed_socket.h"
#include "setup.h"
#include "socket_io.h"
#include "veilcastnet.h"

namespace vctool {
namespace {

constexpr std::size_t STDIN_CHUNK = 16384;

using Options = vcoptions::EndpointOptions;

const char* commandName(const Options& options) {
    return options.server ? "vctool server" : "vctool client";
}

int help(const Options& options) {
    if (options.server) {
        std::printf(
            "usage: vctool server --cert FILE --key FILE [--pass-phrase-file FILE]\n"
            "         --ca FILE [--ca FILE]... [--role server|auth-client]\n"
            "         [--ciphers rc4|des|both|MASK]\n"
            "         [--host ADDRESS] [--port PORT] [--seed FILE | --gather]\n"
            "  Accepts one connection (port 4433 unless given; 0 picks a free one, reported\n"
            "  on standard error), relays standard input to the client and the client's data\n"
            "  to standard output, then exits. auth-client asks for a client certificate,\n"
            "  which must come from one of the --ca certificates.\n");
    } else {
        std::printf(
            "usage: vctool client --ca FILE [--ca FILE]... [--host HOST] [--port PORT]\n"
            "         [--name SERVICE] [--cert FILE --key FILE [--pass-phrase-file FILE]]\n"
            "         [--ciphers rc4|des|both|MASK] [--seed FILE | --gather]\n"
            "  Connects to HOST (localhost unless given) port 4433 unless given, checks that\n"
            "  the server certificate's commonName is SERVICE (HOST unless given), relays\n"
            "  standard input to the server and the server's data to standard output.\n");
    }
    std::printf(
        "  The pass phrase is the first line of its file. --gather seeds the library from\n"
        "  mouse and keyboard in its own window (a display is needed); without it or\n"
        "  --seed the library is seeded with 512 fresh bytes from the operating system.\n"
        "  --seed FILE is overwritten with 512 new bytes from the seeded generator at once.\n"
        "  At the end of standard input the sending side of the socket is shut down; the\n"
        "  program ends once the peer has closed its side as well.\n");
    return 0;
}

int usageError(const Options& options, const std::string& message) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", commandName(options), message.c_str(),
                 commandName(options));
    return USAGE_ERROR;
}

// -1 when the arguments are fine and work together, else the exit status.
int parseArguments(int argc, char** argv, Options* options) {
    for (int i = 0; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help") {
            return help(*options);
        }
        if (name == "--gather") {
            options->gather = true;
            continue;
        }
        const vcoptions::OptionRule* rule = vcoptions::findOptionRule(*options, name.c_str());
        if (rule == nullptr) {
            return usageError(*options, "unknown option '" + name + "'");
        }
        if (i + 1 >= argc) {
            return usageError(*options, name + " needs a value");
        }
        if (!rule->apply(options, argv[++i])) {
            return usageError(*options, name + " '" + argv[i] + "': expected " + rule->expected);
        }
    }
    const char* problem = vcoptions::combinationProblem(
        options, options->server ? "a server needs --ca (it checks client certificates against it)"
                                 : "a client needs --ca to check the server against");
    return problem != nullptr ? usageError(*options, problem) : -1;
}

bool loadTexts(const Options& options, CredentialTexts* texts) {
    bool ok = true;
    if (!options.certificate.empty()) {
        ok = readWholeFile(options.certificate, &texts->certificate) &&
             readWholeFile(options.key, &texts->key);
    }
    if (ok && !options.passPhraseFile.empty()) {
        ok = readWholeFile(options.passPhraseFile, &texts->passPhrase);
    }
    texts->caCertificates.resize(options.cas.size());
    for (std::size_t i = 0; ok && i < options.cas.size(); ++i) {
        ok = readWholeFile(options.cas[i], &texts->caCertificates[i]);
    }
    return ok;
}

// The option, and the file it named, to look at when context creation
// refuses.
std::string culprit(const Options& options, int32_t result) {
    struct Culprit {
        int32_t result;
        const char* option;
        std::string Options::*value;  // null when there is no single file
    };
    const Culprit CULPRITS[] = {
        {VC_NO_CERTIFICATE, "--cert", &Options::certificate},
        {VC_CERTIFICATE_BAD, "--cert", &Options::certificate},
        {VC_NO_PRIVATE_KEY, "--key", &Options::key},
        {VC_PASSPHRASE_BAD, "--pass-phrase-file", &Options::passPhraseFile},
        {VC_PRIVATE_KEY_BAD, "--key", &Options::key},
        {VC_KEY_CERT_MISMATCH, "--key", &Options::key},
        {VC_NO_CA_CERTIFICATES, "--ca", nullptr},
        {VC_CA_CERTIFICATES_BAD, "--ca", nullptr},
        {VC_EMPTY_CIPHER_LIST, "--ciphers", nullptr},
        {VC_ROLE_BAD, "--role", nullptr},
    };
    if (result == VC_PASSPHRASE_BAD && options.passPhraseFile.empty()) {
        return "; the key " + options.key + " is encrypted: give --pass-phrase-file";
    }
    for (const Culprit& entry : CULPRITS) {
        if (entry.result == result) {
            return std::string("; check ") + entry.option +
                   (entry.value != nullptr ? " " + options.*entry.value : "");
        }
    }
    return "";
}

// The suite as the certificate callback last reported it; a server that
// does not ask for a client certificate never learns it through the
// public interface.
uint32_t suiteReported = 0;

int32_t VC_API reportCertificate(const uint8_t* der, uint32_t derLength, uint32_t,
                                 uint32_t verifyFlags, uint32_t cipherMask, const uint8_t* md5) {
    std::fprintf(stderr, "vctool: peer certificate\n");
    for (const std::string& line :
         describePeerCertificate(der, derLength, verifyFlags, cipherMask, md5)) {
        std::fprintf(stderr, "vctool:   %s\n", line.c_str());
    }
    suiteReported = cipherMask;
    return verifyFlags == 0 ? 1 : 0;
}

bool writeAll(const std::vector<uint8_t>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = write(STDOUT_FILENO, data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            std::fprintf(stderr, "vctool: standard output: %s\n", std::strerror(errno));
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// One step of standard input: false on failure. At its end the sending
// side is shut down so the peer sees the stream end.
bool forwardInput(SealedSocket* link, bool* inputOpen) {
    static std::vector<uint8_t> chunk(STDIN_CHUNK);
    const ssize_t got = read(STDIN_FILENO, chunk.data(), chunk.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return true;
    }
    if (got < 0) {
        std::fprintf(stderr, "vctool: standard input: %s\n", std::strerror(errno));
        return false;
    }
    if (got == 0) {
        *inputOpen = false;
        link->shutdownSending();
        return true;
    }
    if (!link->send(chunk.data(), static_cast<std::size_t>(got))) {
        std::fprintf(stderr, "vctool: sending: %s\n", link->error().c_str());
        return false;
    }
    return true;
}

// One step of the peer's data: false on failure. *peerOpen goes false when
// the peer has shut down its sending side.
bool forwardPeer(SealedSocket* link, bool* peerOpen) {
    std::vector<uint8_t> data;
    const SealedSocket::Received received = link->receive(&data);
    if (received == SealedSocket::Received::Failed) {
        std::fprintf(stderr, "vctool: receiving: %s\n", link->error().c_str());
        return false;
    }
    *peerOpen = received != SealedSocket::Received::Closed;
    return writeAll(data);
}

// Until both directions have ended: the peer may still be answering after
// our input ends, and still be reading after its own ends. 0 when both
// ended cleanly, 1 on any failure.
int relay(SealedSocket* link) {
    std::vector<uint8_t> early;
    if (!link->openBuffered(&early) || !writeAll(early)) {
        std::fprintf(stderr, "vctool: receiving: %s\n", link->error().c_str());
        return 1;
    }
    bool inputOpen = true;
    bool peerOpen = true;
    while (inputOpen || peerOpen) {
        pollfd watched[2] = {{peerOpen ? link->socket() : -1, POLLIN, 0},
                             {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 && errno != EINTR) {
            std::fprintf(stderr, "vctool: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (watched[1].revents != 0 && !forwardInput(link, &inputOpen)) {
            return 1;
        }
        if (watched[0].revents != 0 && !forwardPeer(link, &peerOpen)) {
            return 1;
        }
    }
    return 0;
}

// What to change when a handshake ends with one of these answers.
std::string handshakeHint(const Options& options, int32_t result) {
    struct Hint {
        int32_t result;
        const char* text;
    };
    constexpr Hint HINTS[] = {
        {VC_NO_CERTIFICATE, "the server asks for a client certificate: give --cert and --key"},
        {VC_NO_COMMON_CIPHER, "the peer offers none of the --ciphers"},
        {VC_CERTIFICATE_INVALID, "the peer's certificate does not check out against --ca"},
        {VC_WRONG_SERVICENAME, "the server's commonName is not the --name"},
    };
    for (const Hint& hint : HINTS) {
        if (hint.result == result) {
            return std::string("; ") + hint.text +
                   (result == VC_WRONG_SERVICENAME ? " " + options.name : "");
        }
    }
    return "";
}

int converse(const Options& options, int socket, VcContext* context) {
    VcConnection* connection = nullptr;
    const int32_t result = vcCreateConnection(
        context, options.server ? nullptr : options.name.c_str(), 0, &connection);
    SealedSocket link(socket, connection);
    if (result != VC_OK) {
        std::fprintf(stderr, "vctool: vcCreateConnection: %s\n", resultText(result).c_str());
        return 1;
    }
    if (!link.handshake([](const MessageEvent&) {})) {
        std::fprintf(stderr, "vctool: handshake failed: %s%s\n", link.error().c_str(),
                     handshakeHint(options, link.failedResult()).c_str());
        return 1;
    }
    std::fprintf(stderr, "vctool: handshake complete%s%s\n", suiteReported != 0 ? ", " : "",
                 suiteReported != 0 ? suiteName(suiteReported).c_str() : "");
    const int status = relay(&link);
    std::fprintf(stderr, "vctool: connection closed; %llu bytes sent, %llu received\n",
                 static_cast<unsigned long long>(link.wireSent()),
                 static_cast<unsigned long long>(link.wireReceived()));
    return status;
}

int serve(const Options& options, VcContext* context) {
    std::string error;
    const int listener = vcsocket::listenOn(options.host, options.port, &error);
    if (listener < 0) {
        std::fprintf(stderr, "vctool: --host/--port: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "vctool: listening on %s port %d\n",
                 options.host.empty() ? "*" : options.host.c_str(), vcsocket::boundPort(listener));
    const int socket = vcsocket::acceptOne(listener, -1, &error);
    close(listener);
    if (socket < 0) {
        std::fprintf(stderr, "vctool: %s\n", error.c_str());
        return 1;
    }
    return converse(options, socket, context);
}

int connectAndConverse(const Options& options, VcContext* context) {
    std::string error;
    const int socket = vcsocket::connectTo(options.host, options.port, &error);
    if (socket < 0) {
        std::fprintf(stderr, "vctool: %s\n", error.c_str());
        return 1;
    }
    return converse(options, socket, context);
}

int32_t initialise(const Options& options) {
    if (options.gather) {
        const int32_t result = initialiseFromWindow();
        if (result != VC_OK) {
            std::fprintf(stderr, "vctool: vcInitialize through the window: %s\n",
                         resultText(result).c_str());
        }
        return result;
    }
    const int32_t result =
        options.seed.empty() ? initialiseFromOs() : initialiseFromFile(options.seed);
    if (result != VC_OK) {
        std::fprintf(stderr, "vctool: vcInitialize%s: %s\n",
                     options.seed.empty() ? "" : (" from --seed " + options.seed).c_str(),
                     resultText(result).c_str());
    }
    return result;
}

int runEndpoint(const Options& options) {
    CredentialTexts texts;
    if (!loadTexts(options, &texts) || initialise(options) != VC_OK) {
        wipeTexts(&texts);
        return 1;
    }
    VcContext* context = nullptr;
    const int32_t result =
        createContext(texts, reportCertificate, options.ciphers,
                      options.server ? options.role : uint32_t{ROLE_CLIENT}, &context);
    wipeTexts(&texts);
    if (result != VC_OK) {
        std::fprintf(stderr, "vctool: vcCreateContext: %s%s\n", resultText(result).c_str(),
                     culprit(options, result).c_str());
        return 1;
    }
    const int status =
        options.server ? serve(options, context) : connectAndConverse(options, context);
    vcDestroyContext(context);
    return status;
}

int endpointCommand(bool server, int argc, char** argv) {
    Options options;
    options.server = server;
    int status = parseArguments(argc, argv, &options);
    if (status < 0) {
        status = runEndpoint(options);
        vcTerminate();
    }
    return status;
}

}  // namespace

int serverCommand(int argc, char** argv) {
    return endpointCommand(true, argc, argv);
}
int clientCommand(int argc, char** argv) {
    return endpointCommand(false, argc, argv);
}

}  // namespace vctool
