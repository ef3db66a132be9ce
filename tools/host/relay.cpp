// vchost server and vchost client: TCP endpoints that behave as vctool's do,
// so that either can face the other across platforms. Standard input goes
// to the peer and the peer's data to standard output; at the end of the
// input the sending side of the socket is shut down, and the program ends
// once the peer has shut down its side too. Diagnostics go to standard
// error, among them what was sent and received with its length and MD5.
//
// Standard input is read in a thread of its own (Windows has no way to wait
// for a pipe or a console together with a socket); the main thread
// receives. The library's calls on the one connection are made one at a
// time, under a lock.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "endpoint_options.h"
#include "library.h"
#include "md5.h"
#include "platform.h"
#include "seed_file.h"

namespace vchost {
namespace {

constexpr std::size_t INPUT_CHUNK = 16384;
// Room for a whole record and most of the next, so that a read never waits
// for the buffer to drain.
constexpr std::size_t RECEIVE_ROOM = 2 * 65536;
// Any handshake message, and the largest record capacity that counts.
constexpr uint32_t OUTPUT_ROOM = 65536 + 2;

void note(const std::string& text) {
    std::fprintf(stderr, "vchost: %s\n", text.c_str());
}

using Options = vcoptions::EndpointOptions;

int usage(const Options& options, const std::string& problem) {
    note(problem);
    std::fprintf(stderr,
                 options.server
                     ? "usage: vchost server --cert FILE --key FILE [--pass-phrase-file FILE]\n"
                       "         --ca FILE [--ca FILE]... [--role server|auth-client]\n"
                       "         [--ciphers rc4|des|both|MASK] [--host ADDRESS] [--port PORT]\n"
                       "         [--seed FILE]\n"
                     : "usage: vchost client --ca FILE [--ca FILE]... [--host HOST] [--port PORT]\n"
                       "         [--name SERVICE] [--cert FILE --key FILE [--pass-phrase-file "
                       "FILE]]\n"
                       "         [--ciphers rc4|des|both|MASK] [--seed FILE]\n");
    return 2;
}

// -1 when the arguments are usable, else the exit status.
int parseArguments(int argc, char** argv, Options* options) {
    for (int i = 0; i < argc; ++i) {
        const vcoptions::OptionRule* rule = vcoptions::findOptionRule(*options, argv[i]);
        if (rule == nullptr) {
            return usage(*options, std::string("unknown option '") + argv[i] + "'");
        }
        if (i + 1 >= argc || !rule->apply(options, argv[i + 1])) {
            return usage(*options, std::string("bad or missing value for ") + argv[i]);
        }
        ++i;
    }
    const char* problem = vcoptions::combinationProblem(options, "--ca is needed");
    return problem != nullptr ? usage(*options, problem) : -1;
}

bool readFile(const std::string& path, std::string* out) {
    std::string error;
    if (!readRegularFile(path, out, &error)) {
        note(error);
        return false;
    }
    return true;
}

// Seeds from the named file, which is renewed at once, or else from 512
// fresh bytes of the operating system's, written to a private file that is
// removed again at once. ca serves the renewal.
int32_t initialise(const Library& library, const Options& options, const std::string& ca) {
    std::string path;
    if (!options.seed.empty()) {
        std::string error;
        const int32_t result = initialiseFromSeedFile(library, options.seed, ca, &error);
        if (result != VC_OK && !error.empty()) {
            note(error);
        }
        return result;
    }
    std::string directory;
    std::string error;
    if (!makePrivateDirectory(&directory, &error)) {
        note(error);
        return VC_INITIALIZATION_FAILED;
    }
    path = directory + PATH_SEPARATOR + "seed.bin";
    uint8_t seed[512];
    int32_t result = VC_INITIALIZATION_FAILED;
    if (systemRandom(seed, sizeof(seed))) {
        std::ofstream file(path, std::ios::binary);
        if (file.write(reinterpret_cast<const char*>(seed), sizeof(seed)) && file.flush()) {
            file.close();
            result = library.initialize(nullptr, nullptr, nullptr, nullptr, path.c_str());
        }
    }
    std::memset(seed, 0, sizeof(seed));
    removeFile(path);
    removeDirectory(directory);
    return result;
}

// The suite the certificate callback last reported; a server that does
// not ask for a client certificate never learns it.
uint32_t suiteReported = 0;

const char* suiteName(uint32_t mask) {
    return mask == VC_CIPHER_RC4_128        ? "RC4-128"
           : mask == VC_CIPHER_DES_EDE3_CBC ? "triple-DES-CBC"
                                            : "cipher mask other than one suite";
}

int32_t VC_API reportCertificate(const uint8_t* der, uint32_t derLength, uint32_t,
                                 uint32_t verifyFlags, uint32_t cipherMask, const uint8_t* md5) {
    char fingerprint[33] = {};
    for (int i = 0; i < 16; ++i) {
        std::snprintf(fingerprint + 2 * i, 3, "%02x", md5[i]);
    }
    note("peer certificate: " + std::to_string(derLength) + " bytes of DER, MD5 " + fingerprint +
         (md5Hex(der, derLength) == fingerprint ? "" : " (NOT the MD5 of the DER)") +
         ", verify flags " + std::to_string(verifyFlags) + ", " + suiteName(cipherMask));
    suiteReported = cipherMask;
    return verifyFlags == 0 ? 1 : 0;
}

struct Relay {
    const Library* library = nullptr;
    Socket socket = NO_SOCKET;
    VcConnection* connection = nullptr;
    // Serialises the library's calls on the connection.
    Mutex lock;
    bool gone = false;  // the connection is destroyed; under the lock
    std::vector<uint8_t> input = std::vector<uint8_t>(RECEIVE_ROOM);
    uint32_t inputLength = 0;
    // The sending thread's account, read only after it has been joined.
    bool sendFailed = false;
    std::string sendError;
    uint64_t sent = 0;
    Md5 sentDigest;
    uint64_t received = 0;
    Md5 receivedDigest;

    // Destroys the connection unless the library already has.
    void end() {
        LockGuard guard(lock);
        if (!gone) {
            library->destroyConnection(connection);
            gone = true;
        }
    }
};

std::string failure(const Library& library, const char* call, int32_t result) {
    return std::string(call) + ": " + resultText(library, result);
}

bool handshake(Relay* relay) {
    const Library& library = *relay->library;
    std::vector<uint8_t> output(OUTPUT_ROOM);
    std::string error;
    for (;;) {
        uint32_t outputLength = 0;
        const int32_t result = library.handshake(relay->input.data(), &relay->inputLength,
                                                 output.data(), &outputLength, relay->connection);
        if ((result == VC_SEND_DATA || result == VC_OK) && outputLength > 0 &&
            !sendAll(relay->socket, output.data(), outputLength, &error)) {
            note("handshake: " + error);
            return false;
        }
        if (result == VC_OK) {
            return true;
        }
        if (result == VC_RECEIVE_MORE_DATA) {
            const long got = receiveSome(relay->socket, relay->input.data() + relay->inputLength,
                                         relay->input.size() - relay->inputLength, &error);
            if (got <= 0) {
                note(got == 0 ? "the peer closed the connection during the handshake"
                              : "handshake: " + error);
                return false;
            }
            relay->inputLength += static_cast<uint32_t>(got);
        } else if (result != VC_SEND_DATA) {
            // Every refusal but an unknown handle ends the connection.
            relay->gone = result != VC_NO_CONNECTION;
            note("handshake failed: " + failure(library, "vcHandshake", result));
            return false;
        }
    }
}

// Seals and sends one piece of standard input; false with sendError set
// when the library or the socket refuses.
bool sendPiece(Relay* relay, const uint8_t* data, uint32_t size, std::vector<uint8_t>* record) {
    while (size > 0) {
        uint32_t taken = size;
        auto recordLength = static_cast<uint32_t>(record->size());
        int32_t result = VC_NO_CONNECTION;
        {
            LockGuard guard(relay->lock);
            if (!relay->gone) {
                result = relay->library->sealRecord(data, &taken, record->data(), &recordLength,
                                                    relay->connection);
            }
        }
        if (result != VC_SEND_DATA || taken == 0) {
            relay->sendError = failure(*relay->library, "vcSealRecord", result);
            return false;
        }
        if (!sendAll(relay->socket, record->data(), recordLength, &relay->sendError)) {
            return false;
        }
        data += taken;
        size -= taken;
    }
    return true;
}

// The sending thread: standard input, sealed, to the peer. At its end the
// sending side of the socket is shut down; on a failure both sides are, which
// wakes the receiving thread.
void sendInput(void* argument) {
    Relay* relay = static_cast<Relay*>(argument);
    std::vector<uint8_t> chunk(INPUT_CHUNK);
    std::vector<uint8_t> record(OUTPUT_ROOM);
    for (;;) {
        const long got = readInput(chunk.data(), chunk.size());
        if (got == 0) {
            shutdownSending(relay->socket);
            return;
        }
        if (got < 0) {
            relay->sendError = "cannot read standard input";
            break;
        }
        relay->sent += static_cast<uint64_t>(got);
        relay->sentDigest.update(chunk.data(), static_cast<std::size_t>(got));
        if (!sendPiece(relay, chunk.data(), static_cast<uint32_t>(got), &record)) {
            break;
        }
    }
    relay->sendFailed = true;
    shutdownBoth(relay->socket);
}

// Opens the complete records in the input; false when one does not open.
bool openBuffered(Relay* relay, std::vector<uint8_t>* payload) {
    static std::vector<uint8_t> output(OUTPUT_ROOM);
    LockGuard guard(relay->lock);
    while (relay->inputLength >= 2) {
        uint32_t outputLength = 0;
        const int32_t result =
            relay->library->openRecord(relay->input.data(), &relay->inputLength, output.data(),
                                       &outputLength, relay->connection);
        if (result == VC_RECEIVE_MORE_DATA) {
            break;
        }
        if (result != VC_OK) {
            relay->gone = relay->gone || result == VC_DECRYPTION_FAILED;
            note("receiving: " + failure(*relay->library, "vcOpenRecord", result));
            return false;
        }
        payload->insert(payload->end(), output.data(), output.data() + outputLength);
    }
    return true;
}

// The receiving side, in the calling thread; false on any failure.
bool receiveAll(Relay* relay) {
    std::vector<uint8_t> payload;
    std::string error;
    for (;;) {
        payload.clear();
        if (!openBuffered(relay, &payload)) {
            return false;
        }
        if (!writeOutput(payload.data(), payload.size())) {
            note("cannot write standard output");
            return false;
        }
        relay->received += payload.size();
        relay->receivedDigest.update(payload.data(), payload.size());
        if (relay->inputLength == relay->input.size()) {
            note("the peer sent more than a record without completing one");
            return false;
        }
        const long got = receiveSome(relay->socket, relay->input.data() + relay->inputLength,
                                     relay->input.size() - relay->inputLength, &error);
        if (got < 0) {
            note("receiving: " + error);
            return false;
        }
        if (got == 0) {
            if (relay->inputLength != 0) {
                note("the peer closed the connection in the middle of a record");
                return false;
            }
            return true;
        }
        relay->inputLength += static_cast<uint32_t>(got);
    }
}

int converse(const Library& library, const Options& options, Socket socket, VcContext* context) {
    // Left behind on purpose when the receiving side fails: the sending
    // thread may still be waiting for input and must find it intact.
    auto* relay = new Relay;
    relay->library = &library;
    relay->socket = socket;
    const int32_t created = library.createConnection(
        context, options.server ? nullptr : options.name.c_str(), 0, &relay->connection);
    relay->gone = created != VC_OK;
    if (created != VC_OK || !handshake(relay)) {
        if (created != VC_OK) {
            note(failure(library, "vcCreateConnection", created));
        }
        relay->end();
        closeSocket(socket);
        delete relay;
        return 1;
    }
    note(std::string("handshake complete") +
         (suiteReported != 0 ? std::string(", ") + suiteName(suiteReported) : ""));
    Thread sender;
    const bool started = sender.start(sendInput, relay);
    if (!started || !receiveAll(relay)) {
        if (!started) {
            note("cannot start the sending thread");
        }
        relay->end();
        shutdownBoth(socket);
        return 1;
    }
    sender.join();
    relay->end();
    closeSocket(socket);
    int status = 0;
    if (relay->sendFailed) {
        note("sending: " + relay->sendError);
        status = 1;
    } else {
        note("sent " + std::to_string(relay->sent) + " bytes, MD5 " + relay->sentDigest.hex());
        note("received " + std::to_string(relay->received) + " bytes, MD5 " +
             relay->receivedDigest.hex());
    }
    delete relay;
    return status;
}

int runEndpoint(const Library& library, bool server, int argc, char** argv) {
    Options options;
    options.server = server;
    if (const int status = parseArguments(argc, argv, &options); status >= 0) {
        return status;
    }
    std::string certificate, key, passPhrase;
    std::vector<std::string> cas(options.cas.size());
    bool read = options.certificate.empty() ||
                (readFile(options.certificate, &certificate) && readFile(options.key, &key));
    read =
        read && (options.passPhraseFile.empty() || readFile(options.passPhraseFile, &passPhrase));
    for (std::size_t i = 0; read && i < cas.size(); ++i) {
        read = readFile(options.cas[i], &cas[i]);
    }
    if (!read) {
        return 1;
    }
    const int32_t started = initialise(library, options, cas.front());
    if (started != VC_OK) {
        note(failure(library, "vcInitialize", started));
        return 1;
    }
    // The pass phrase is the first line of its file.
    passPhrase = passPhrase.substr(0, passPhrase.find_first_of("\r\n"));
    const PemInput ownCertificate{certificate.data(), static_cast<uint32_t>(certificate.size())};
    const PemKeyInput ownKey{key.data(), static_cast<uint32_t>(key.size()), passPhrase.data(),
                             static_cast<uint32_t>(passPhrase.size())};
    std::vector<PemInput> caInputs;
    for (const std::string& ca : cas) {
        caInputs.push_back(PemInput{ca.data(), static_cast<uint32_t>(ca.size())});
    }
    const bool own = !certificate.empty();
    VcContext* context = nullptr;
    const int32_t result = library.createContext(
        own ? &ownCertificate : nullptr, own ? &ownKey : nullptr, caInputs.data(),
        static_cast<int32_t>(caInputs.size()), reportCertificate, options.ciphers,
        options.server ? options.role : uint32_t{ROLE_CLIENT}, &context);
    if (result != VC_OK) {
        note(failure(library, "vcCreateContext", result));
        library.terminate();
        return 1;
    }
    std::string error;
    Socket socket = NO_SOCKET;
    if (options.server) {
        const Socket listener = listenOn(options.host, options.port, &error);
        if (listener != NO_SOCKET) {
            note("listening on " + (options.host.empty() ? "*" : options.host) + " port " +
                 std::to_string(boundPort(listener)));
            socket = acceptOne(listener, &error);
            closeSocket(listener);
        }
    } else {
        socket = connectTo(options.host, options.port, &error);
    }
    int status = 1;
    if (socket == NO_SOCKET) {
        note(error);
    } else {
        status = converse(library, options, socket, context);
    }
    library.destroyContext(context);
    library.terminate();
    return status;
}

}  // namespace

int runServer(const Library& library, int argc, char** argv) {
    return runEndpoint(library, true, argc, argv);
}

int runClient(const Library& library, int argc, char** argv) {
    return runEndpoint(library, false, argc, argv);
}

}  // namespace vchost
