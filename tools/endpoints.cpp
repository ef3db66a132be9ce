// vctool server and vctool client: TCP endpoints that relay standard input to
// the peer and the peer's data to standard output over a sealed link.
// Diagnostics go to standard error, so the data streams stay clean.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "credentials.h"
#include "endpoint_link.h"
#include "endpoint_options.h"
#include "setup.h"
#include "veilcastnet.h"

namespace vctool {
namespace {

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
            "         [--timeout SECONDS]\n"
            "  Accepts clients (port 4433 unless given; 0 picks a free one, reported on\n"
            "  standard error) until one completes its handshake, relays standard input to\n"
            "  that client and its data to standard output, then exits. A client that fails\n"
            "  its handshake, or has not finished it within the time limit, is dropped and\n"
            "  the server goes on accepting. auth-client asks for a client certificate,\n"
            "  which must come from one of the --ca certificates.\n");
    } else {
        std::printf(
            "usage: vctool client --ca FILE [--ca FILE]... [--host HOST] [--port PORT]\n"
            "         [--name SERVICE] [--cert FILE --key FILE [--pass-phrase-file FILE]]\n"
            "         [--ciphers rc4|des|both|MASK] [--seed FILE | --gather]\n"
            "         [--timeout SECONDS]\n"
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
        "  program ends once the peer has closed its side as well. --timeout bounds the\n"
        "  connect, the handshake and any stretch in which no data moves either way;\n"
        "  without it the connect and the handshake get 30 s each, and an idle\n"
        "  connection is kept.\n");
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
        if (name == "--timeout") {
            char* end = nullptr;
            options->timeoutSeconds = i + 1 < argc ? std::strtod(argv[++i], &end) : 0;
            // The upper bound keeps the limit a finite span of the clock.
            if (end == nullptr || *end != '\0' || !(options->timeoutSeconds > 0) ||
                options->timeoutSeconds > 1e6) {
                return usageError(*options, "--timeout needs seconds, above 0 and up to 1000000");
            }
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
    // The connection code takes the context over.
    return options.server ? serve(options, context) : connectAndConverse(options, context);
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
