// vchost session: one scripted run through all eleven operations, printed as
// a transcript that depends only on what the library answers: result codes,
// texts, lengths, digests of plaintext and what each certificate callback
// was shown, never ciphertext or anything random. The same program built
// for Windows and for Linux must print the same transcript; a script
// compares the two. Besides that, the session checks what needs no second
// platform: every record arrives as it was sealed, and the fingerprint the
// library hands the callback is the MD5 of the certificate it shows.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "commands.h"
#include "library.h"
#include "md5.h"
#include "platform.h"

namespace vchost {
namespace {

constexpr uint32_t BOTH = VC_CIPHER_RC4_128 | VC_CIPHER_DES_EDE3_CBC;
constexpr uint32_t CLIENT_USER_VALUE = 0xC1;
constexpr uint32_t SERVER_USER_VALUE = 0x5E;
// Output room for any handshake message or record.
constexpr uint32_t OUTPUT_ROOM = 65536 + 2;
constexpr uint8_t KEY_EXCHANGE_TYPE = 3;
// What an output length or handle holds before a call, so that the
// transcript shows whether the call wrote it: a length no call answers, and
// an address that is no handle.
constexpr uint32_t UNTOUCHED = 12345;
char placeholder;

int failures = 0;

void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::putchar('\n');
}

// A check this platform can make on its own; the transcript says which.
void check(bool holds, const char* what) {
    if (!holds) {
        ++failures;
        line("  CHECK FAILED: %s", what);
    }
}

std::string quoted(const char* text) {
    if (text == nullptr) {
        return "(null)";
    }
    std::string out = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            out += "\\n";
        } else {
            if (*c == '"' || *c == '\\') {
                out.push_back('\\');
            }
            out.push_back(*c);
        }
    }
    return out + "\"";
}

const char* suiteName(uint32_t mask) {
    switch (mask) {
        case VC_CIPHER_RC4_128:
            return "RC4-128";
        case VC_CIPHER_DES_EDE3_CBC:
            return "triple-DES-CBC";
        case BOTH:
            return "RC4-128 or triple-DES-CBC";
        default:
            return "other";
    }
}

std::string flagNames(uint32_t flags) {
    constexpr const char* NAMES[] = {"VERIFY_UNREADABLE",    "VERIFY_ISSUER_UNKNOWN",
                                     "VERIFY_SIGNATURE_BAD", "VERIFY_PERIOD",
                                     "VERIFY_CA_PERIOD",     "VERIFY_NAME_MISMATCH"};
    std::string text;
    for (uint32_t bit = 0; bit < 6; ++bit) {
        if ((flags & (1u << bit)) != 0) {
            text.append(text.empty() ? "" : " ").append(NAMES[bit]);
        }
    }
    if ((flags >> 6) != 0) {
        text.append(text.empty() ? "" : " ").append(std::to_string(flags >> 6 << 6));
    }
    return text.empty() ? "none" : text;
}

std::string hex(const uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// --- the certificate callback

// The user value whose callback refuses a clean certificate; 0 accepts all.
uint32_t refusingUserValue = 0;

// Declared as a Windows host declares it: VC_API is __stdcall on 32-bit
// Windows, and a callback without it would unbalance the library's stack.
int32_t VC_API onCertificate(const uint8_t* der, uint32_t derLength, uint32_t userValue,
                             uint32_t verifyFlags, uint32_t cipherMask,
                             const uint8_t* md5Fingerprint) {
    static_assert(std::is_same_v<decltype(&onCertificate), CertificateCallback>);
    const int32_t answer = userValue == refusingUserValue ? 0 : 1;
    const std::string fingerprint = hex(md5Fingerprint, 16);
    line("    callback for user value 0x%X: %u bytes of DER, fingerprint %s", userValue, derLength,
         fingerprint.c_str());
    line("      verify flags %s; cipher mask %u (%s); answers %d", flagNames(verifyFlags).c_str(),
         cipherMask, suiteName(cipherMask), answer);
    check(der != nullptr && md5Hex(der, derLength) == fingerprint,
          "the fingerprint is the MD5 of the certificate shown");
    return answer;
}

// --- credentials

struct Texts {
    std::string ca, otherCa, expiredCa;
    std::string server, serverKey, serverEncKey;
    std::string client, clientKey, clientEncKey;
    std::string expired, expiredKey, byExpiredCa, byExpiredCaKey, unknownCa, unknownCaKey;
    std::string passPhrase;
};

bool readFile(const std::string& directory, const char* name, std::string* out) {
    const std::string path = directory + "/" + name;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "vchost: cannot read %s\n", path.c_str());
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

bool readTexts(const std::string& directory, Texts* t) {
    const struct {
        const char* name;
        std::string Texts::*text;
    } FILES[] = {
        {"ca.pem", &Texts::ca},
        {"other-ca.pem", &Texts::otherCa},
        {"expired-ca.pem", &Texts::expiredCa},
        {"server.pem", &Texts::server},
        {"server.key", &Texts::serverKey},
        {"server-enc.key", &Texts::serverEncKey},
        {"client.pem", &Texts::client},
        {"client.key", &Texts::clientKey},
        {"client-enc.key", &Texts::clientEncKey},
        {"expired.pem", &Texts::expired},
        {"expired.key", &Texts::expiredKey},
        {"by-expired-ca.pem", &Texts::byExpiredCa},
        {"by-expired-ca.key", &Texts::byExpiredCaKey},
        {"unknown-ca.pem", &Texts::unknownCa},
        {"unknown-ca.key", &Texts::unknownCaKey},
        {"passphrase.txt", &Texts::passPhrase},
    };
    for (const auto& file : FILES) {
        if (!readFile(directory, file.name, &(t->*file.text))) {
            return false;
        }
    }
    return true;
}

PemInput pem(const std::string& text) {
    return PemInput{text.data(), static_cast<uint32_t>(text.size())};
}

// One vcCreateContext call: who it is for and with what.
struct ContextRequest {
    const std::string* certificate = nullptr;
    const std::string* key = nullptr;
    const std::string* passPhrase = nullptr;
    std::vector<const std::string*> cas;
    bool callback = true;
    uint32_t cipherMask = BOTH;
    uint32_t role = ROLE_SERVER;
};

int32_t createContext(const Library& library, const ContextRequest& request, VcContext** context) {
    PemInput certificate{};
    PemKeyInput key{};
    if (request.certificate != nullptr) {
        certificate = pem(*request.certificate);
    }
    if (request.key != nullptr) {
        key = PemKeyInput{request.key->data(), static_cast<uint32_t>(request.key->size()), nullptr,
                          0};
        if (request.passPhrase != nullptr) {
            key.passPhrase = request.passPhrase->data();
            key.passPhraseLength = static_cast<uint32_t>(request.passPhrase->size());
        }
    }
    std::vector<PemInput> cas;
    for (const std::string* ca : request.cas) {
        cas.push_back(pem(*ca));
    }
    return library.createContext(
        request.certificate != nullptr ? &certificate : nullptr,
        request.key != nullptr ? &key : nullptr, cas.empty() ? nullptr : cas.data(),
        static_cast<int32_t>(cas.size()), request.callback ? onCertificate : nullptr,
        request.cipherMask, request.role, context);
}

// --- the sections

// The shape of __DATE__ " " __TIME__, as in "Dec  6 2026 03:11:18": L a
// letter, D a digit, _ a digit or a space, anything else itself.
bool hasBuildTimeShape(const std::string& text) {
    constexpr char SHAPE[] = "LLL _D DDDD DD:DD:DD";
    if (text.size() != sizeof(SHAPE) - 1) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        const bool fits = SHAPE[i] == 'L'   ? letter
                          : SHAPE[i] == 'D' ? digit
                          : SHAPE[i] == '_' ? digit || c == ' '
                                            : c == SHAPE[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

void texts(const Library& library) {
    line("== result texts");
    constexpr int32_t EXTREMES[] = {INT32_MIN, -1, VC_HANDSHAKE_IN_PROGRESS + 1, INT32_MAX};
    for (int32_t code = 0; code <= VC_HANDSHAKE_IN_PROGRESS; ++code) {
        line("vcErrorText(%d) = %s", code, quoted(library.errorText(code)).c_str());
    }
    for (const int32_t code : EXTREMES) {
        line("vcErrorText(%ld) = %s", static_cast<long>(code),
             quoted(library.errorText(code)).c_str());
    }

    line("== information text");
    std::string first = library.infoText();
    const std::string second = library.infoText();
    line("vcInfoText: %u characters; a second call gives %s", static_cast<unsigned>(first.size()),
         first == second ? "the same text" : "ANOTHER text");
    check(first == second, "vcInfoText starts afresh on every call");
    // The build's date and time differ between any two builds; only their
    // shape is compared.
    const std::size_t stamp = first.find(" compiled ");
    if (stamp != std::string::npos && hasBuildTimeShape(first.substr(stamp + 10, 20))) {
        first.replace(stamp + 10, 20, "<build date and time>");
    }
    line("  %s", quoted(first.c_str()).c_str());
}

void beforeStartUp(const Library& library, const Texts& t) {
    line("== before start-up");
    ContextRequest request;
    request.certificate = &t.server;
    request.key = &t.serverKey;
    request.cas = {&t.ca};
    VcContext* context = reinterpret_cast<VcContext*>(&placeholder);
    int32_t result = createContext(library, request, &context);
    line("vcCreateContext(server credentials) -> %s; context %s",
         resultText(library, result).c_str(), context == nullptr ? "null" : "SET");

    VcConnection* connection = reinterpret_cast<VcConnection*>(&placeholder);
    result = library.createConnection(nullptr, "server.example", 1, &connection);
    line("vcCreateConnection(no context) -> %s; connection %s", resultText(library, result).c_str(),
         connection == nullptr ? "null" : "SET");

    uint8_t in[64] = {};
    uint8_t out[64] = {};
    uint32_t inLength = 0;
    uint32_t outLength = UNTOUCHED;
    result = library.handshake(in, &inLength, out, &outLength, nullptr);
    line("vcHandshake(no connection) -> %s; output length %u", resultText(library, result).c_str(),
         outLength);
    outLength = UNTOUCHED;
    result = library.openRecord(in, &inLength, out, &outLength, nullptr);
    line("vcOpenRecord(no connection) -> %s; output length %u", resultText(library, result).c_str(),
         outLength);
    uint32_t dataLength = 10;
    outLength = sizeof(out);
    result = library.sealRecord(in, &dataLength, out, &outLength, nullptr);
    line("vcSealRecord(no connection) -> %s; taken %u, record %u",
         resultText(library, result).c_str(), dataLength, outLength);
    library.destroyConnection(nullptr);
    library.destroyContext(nullptr);
    library.terminate();
    line("vcDestroyConnection(null), vcDestroyContext(null), vcTerminate(): returned");
}

// The seed files live in a private directory of their own, removed at the
// end; only their shapes appear in the transcript, never their paths.
bool startUp(const Library& library, const Texts& t) {
    line("== start-up from a seed file");
    std::string directory;
    std::string error;
    if (!makePrivateDirectory(&directory, &error)) {
        std::fprintf(stderr, "vchost: %s\n", error.c_str());
        return false;
    }
    const std::string base = directory + PATH_SEPARATOR;
    const struct {
        const char* name;
        std::size_t size;
    } FILES[] = {{"short.bin", 511}, {"seed.bin", 512}, {"long.bin", 4096}};
    bool written = true;
    for (const auto& file : FILES) {
        std::vector<uint8_t> bytes(file.size);
        std::ofstream out(base + file.name, std::ios::binary);
        written = written && systemRandom(bytes.data(), bytes.size()) &&
                  out.write(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<std::streamsize>(bytes.size())) &&
                  out.flush();
    }
    const struct {
        const char* what;
        std::string path;
    } ATTEMPTS[] = {
        {"a relative path", "seed.bin"},
        {"a drive-relative path", "C:seed.bin"},
        {"an empty path", ""},
        {"the absolute path of no file", base + "missing.bin"},
        {"the absolute path of a directory", directory},
        {"the absolute path of a 511-byte file", base + "short.bin"},
        {"the absolute path of a 512-byte file", base + "seed.bin"},
    };
    for (const auto& attempt : ATTEMPTS) {
        const int32_t result =
            library.initialize(nullptr, nullptr, nullptr, nullptr, attempt.path.c_str());
        line("vcInitialize(seed file: %s) -> %s", attempt.what,
             resultText(library, result).c_str());
    }
    // Started already: no seed file needed, and no window either.
    int32_t result = library.initialize(nullptr, nullptr, nullptr, nullptr, nullptr);
    line("vcInitialize(no seed file) once started -> %s", resultText(library, result).c_str());

    library.terminate();
    ContextRequest request;
    request.cas = {&t.ca};
    request.role = ROLE_CLIENT;
    VcContext* context = nullptr;
    result = createContext(library, request, &context);
    line("vcTerminate(); vcCreateContext(client) -> %s", resultText(library, result).c_str());
    library.destroyContext(context);
    const std::string longFile = base + "long.bin";
    result = library.initialize(nullptr, nullptr, nullptr, nullptr, longFile.c_str());
    line("vcInitialize(seed file: the absolute path of a 4096-byte file) -> %s",
         resultText(library, result).c_str());

    for (const auto& file : FILES) {
        removeFile(base + file.name);
    }
    removeDirectory(directory);
    return written && result == VC_OK;
}

void contexts(const Library& library, const Texts& t) {
    line("== contexts");
    const std::string wrongPhrase = "wrong pass phrase";
    const std::string notPem = "not a PEM text at all\n";
    const std::string halfCertificate = t.server.substr(0, t.server.size() / 2);
    ContextRequest server;
    server.certificate = &t.server;
    server.key = &t.serverKey;
    server.cas = {&t.ca};
    ContextRequest client;
    client.role = ROLE_CLIENT;
    client.cas = {&t.ca};

    struct Row {
        const char* what;
        ContextRequest request;
        bool place = true;
    };
    std::vector<Row> rows;
    const auto add = [&rows](const char* what, const ContextRequest& base, auto change) {
        ContextRequest request = base;
        change(request);
        rows.push_back(Row{what, request});
    };
    const auto same = [](ContextRequest&) {};
    add("server: server.pem, server.key, ca.pem", server, same);
    add("server: server-enc.key with its pass phrase", server, [&](ContextRequest& r) {
        r.key = &t.serverEncKey;
        r.passPhrase = &t.passPhrase;
    });
    add("server: server-enc.key with a wrong pass phrase", server, [&](ContextRequest& r) {
        r.key = &t.serverEncKey;
        r.passPhrase = &wrongPhrase;
    });
    add("server: server-enc.key without a pass phrase", server,
        [&](ContextRequest& r) { r.key = &t.serverEncKey; });
    add("server: server.pem with client.key", server,
        [&](ContextRequest& r) { r.key = &t.clientKey; });
    add("server: server.pem without a key", server, [&](ContextRequest& r) { r.key = nullptr; });
    add("server: no certificate", server, [&](ContextRequest& r) {
        r.certificate = nullptr;
        r.key = nullptr;
    });
    add("server asking for client certificates: no certificate", server, [&](ContextRequest& r) {
        r.certificate = nullptr;
        r.key = nullptr;
        r.role = ROLE_SERVER_AUTH_CLIENT;
    });
    add("server: a certificate that is no PEM", server,
        [&](ContextRequest& r) { r.certificate = &notPem; });
    add("server: the first half of server.pem", server,
        [&](ContextRequest& r) { r.certificate = &halfCertificate; });
    add("server: a key that is no PEM", server, [&](ContextRequest& r) { r.key = &notPem; });
    add("server: no CA certificates", server, [&](ContextRequest& r) { r.cas.clear(); });
    add("server: a CA certificate that is no PEM", server,
        [&](ContextRequest& r) { r.cas = {&notPem}; });
    add("server: ca.pem and other-ca.pem", server, [&](ContextRequest& r) {
        r.cas = {&t.ca, &t.otherCa};
    });
    add("server: cipher mask 0", server, [&](ContextRequest& r) { r.cipherMask = 0; });
    add("server: cipher mask 4", server, [&](ContextRequest& r) { r.cipherMask = 4; });
    add("server: cipher mask 7", server, [&](ContextRequest& r) { r.cipherMask = 7; });
    add("server: role 3", server, [&](ContextRequest& r) { r.role = 3; });
    add("server: no callback", server, [&](ContextRequest& r) { r.callback = false; });
    add("client: no certificate", client, same);
    add("client: client.pem, client-enc.key with its pass phrase", client, [&](ContextRequest& r) {
        r.certificate = &t.client;
        r.key = &t.clientEncKey;
        r.passPhrase = &t.passPhrase;
    });
    add("client: a key without a certificate", client,
        [&](ContextRequest& r) { r.key = &t.clientKey; });
    rows.push_back(Row{"server: nowhere to put the context", server, false});

    for (const Row& row : rows) {
        VcContext* context = reinterpret_cast<VcContext*>(&placeholder);
        const int32_t result = createContext(library, row.request, row.place ? &context : nullptr);
        line("vcCreateContext(%s) -> %s%s", row.what, resultText(library, result).c_str(),
             !row.place                                  ? ""
             : (context != nullptr) == (result == VC_OK) ? ""
                                                         : "; CONTEXT POINTER WRONG");
        check(!row.place || (context != nullptr) == (result == VC_OK),
              "a context is handed out exactly when the result is 0");
        if (row.place && context != nullptr && result == VC_OK) {
            library.destroyContext(context);
        }
    }
}

// --- connections in one process

struct Side {
    const char* name;
    VcConnection* connection = nullptr;
    std::vector<uint8_t> input = std::vector<uint8_t>(4 * 65536);
    uint32_t inputLength = 0;
    bool sealed = false;                        // after the key exchange, messages are records
    bool done = false;                          // handshake complete
    bool gone = false;                          // the library has destroyed the connection
    std::deque<std::vector<uint8_t>> expected;  // sealed by the peer, not yet opened
};

bool deliver(Side* to, const uint8_t* bytes, uint32_t size) {
    if (to->inputLength + size > to->input.size()) {
        line("  (%s's input buffer is full)", to->name);
        return false;
    }
    std::memcpy(to->input.data() + to->inputLength, bytes, size);
    to->inputLength += size;
    return true;
}

const char* messageName(uint8_t type) {
    constexpr const char* NAMES[] = {"client hello",       "server hello",    "key exchange",
                                     "server verify",      "client finished", "certificate request",
                                     "client certificate", "server finished"};
    return type >= 1 && type <= 8 ? NAMES[type - 1] : "unknown message";
}

// One vcHandshake call on one side; what it sent goes to the other.
int32_t handshakeStep(const Library& library, Side* side, Side* peer) {
    static std::vector<uint8_t> output(OUTPUT_ROOM);
    const uint32_t before = side->inputLength;
    const uint8_t receivedType = before > 2 ? side->input[2] : 0;
    uint32_t outputLength = UNTOUCHED;
    const int32_t result = library.handshake(side->input.data(), &side->inputLength, output.data(),
                                             &outputLength, side->connection);
    std::string took;
    if (side->inputLength < before) {
        took = ", took " + std::to_string(before - side->inputLength) + " bytes" +
               (side->sealed ? "" : std::string(" (") + messageName(receivedType) + ")");
        side->sealed = side->sealed || receivedType == KEY_EXCHANGE_TYPE;
    }
    std::string gave;
    if (outputLength > 0 && outputLength != UNTOUCHED) {
        gave = ", gives " + std::to_string(outputLength) + " bytes" +
               (side->sealed ? " (sealed)" : std::string(" (") + messageName(output[2]) + ")");
        side->sealed = side->sealed || output[2] == KEY_EXCHANGE_TYPE;
    }
    line("  %s: vcHandshake -> %s%s%s", side->name, resultText(library, result).c_str(),
         took.c_str(), gave.c_str());
    if (result == VC_SEND_DATA ||
        (result == VC_OK && outputLength > 0 && outputLength != UNTOUCHED)) {
        deliver(peer, output.data(), outputLength);
    }
    if (result == VC_OK) {
        side->done = true;
    } else if (result != VC_SEND_DATA && result != VC_RECEIVE_MORE_DATA) {
        // Every other answer but an unknown handle ends the connection.
        side->gone = result != VC_NO_CONNECTION;
    }
    return result;
}

// Runs both sides until both are complete or one has failed: a side that
// asked to send is called again, one that waits for data hands over to
// its peer.
bool runHandshake(const Library& library, Side* client, Side* server) {
    Side* side = client;
    Side* peer = server;
    int idle = 0;
    for (int step = 0; step < 64; ++step) {
        if (client->gone || server->gone || (client->done && server->done)) {
            break;
        }
        if (side->done) {
            std::swap(side, peer);
            continue;
        }
        const uint32_t waiting = side->inputLength;
        const int32_t result = handshakeStep(library, side, peer);
        if (result == VC_SEND_DATA) {
            idle = 0;
            continue;
        }
        if (result == VC_RECEIVE_MORE_DATA && side->inputLength == waiting && ++idle >= 2) {
            line("  both sides wait for data: the handshake has stalled");
            break;
        }
        if (result != VC_RECEIVE_MORE_DATA) {
            idle = 0;
        }
        std::swap(side, peer);
    }
    line("  handshake: client %s, server %s", client->done ? "complete" : "not complete",
         server->done ? "complete" : "not complete");
    return client->done && server->done;
}

// Data whose every byte depends on its position and on a tag, so that any
// two payloads of a run differ.
std::vector<uint8_t> payload(uint32_t size, uint32_t tag) {
    std::vector<uint8_t> data(size);
    for (uint32_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>((i * 131u + tag * 7u + (i >> 8)) & 0xffu);
    }
    return data;
}

// One vcSealRecord call; the record goes to the peer's input.
int32_t seal(const Library& library, Side* from, Side* to, uint32_t offered, uint32_t capacity,
             uint32_t tag, bool deliverRecord = true, std::vector<uint8_t>* record = nullptr) {
    static std::vector<uint8_t> output(OUTPUT_ROOM);
    const std::vector<uint8_t> data = payload(offered, tag);
    uint32_t taken = offered;
    uint32_t written = capacity;
    const int32_t result = library.sealRecord(data.empty() ? nullptr : data.data(), &taken,
                                              output.data(), &written, from->connection);
    line("  %s seals: offers %u bytes, room %u -> %s; took %u, record %u bytes", from->name,
         offered, capacity, resultText(library, result).c_str(), taken, written);
    if (result == VC_SEND_DATA) {
        from->sealed = true;
        to->expected.emplace_back(data.data(), data.data() + taken);
        if (record != nullptr) {
            record->assign(output.data(), output.data() + written);
        }
        if (deliverRecord) {
            deliver(to, output.data(), written);
        }
    }
    return result;
}

// vcOpenRecord until it wants more data or refuses; each payload is
// compared with what the peer sealed.
void openAll(const Library& library, Side* side) {
    static std::vector<uint8_t> output(OUTPUT_ROOM);
    for (;;) {
        const uint32_t before = side->inputLength;
        uint32_t outputLength = UNTOUCHED;
        const int32_t result = library.openRecord(side->input.data(), &side->inputLength,
                                                  output.data(), &outputLength, side->connection);
        if (result != VC_OK) {
            line("  %s opens -> %s; %u bytes wait in its input", side->name,
                 resultText(library, result).c_str(), side->inputLength);
            side->gone = result == VC_DECRYPTION_FAILED;
            return;
        }
        const bool intact =
            !side->expected.empty() && side->expected.front().size() == outputLength &&
            (outputLength == 0 ||
             std::memcmp(side->expected.front().data(), output.data(), outputLength) == 0);
        line("  %s opens -> %s; took %u bytes, payload %u bytes, MD5 %s, %s", side->name,
             resultText(library, result).c_str(), before - side->inputLength, outputLength,
             md5Hex(output.data(), outputLength).c_str(), intact ? "as sealed" : "NOT AS SEALED");
        check(intact, "a record opens to what was sealed");
        if (!side->expected.empty()) {
            side->expected.pop_front();
        }
    }
}

// Records both ways: the sizes around each limit, offers larger than a
// record, rooms too small for any, several records in one buffer and one
// record arriving in two parts.
void records(const Library& library, Side* client, Side* server) {
    constexpr uint32_t OFFERS[] = {0,     1,     7,     8,     9,     1000,  65510,
                                   65511, 65512, 65515, 65516, 65517, 200000};
    constexpr uint32_t ROOMS[] = {0, 18, 19, 20, 25, 26, 27, 1000, 65536, 65537};
    uint32_t tag = 0;
    for (Side* from : {client, server}) {
        Side* to = from == client ? server : client;
        line(" %s to %s, full room:", from->name, to->name);
        for (const uint32_t offered : OFFERS) {
            seal(library, from, to, offered, OUTPUT_ROOM, ++tag);
            openAll(library, to);
        }
        line(" %s to %s, 100 bytes offered, limited room:", from->name, to->name);
        for (const uint32_t room : ROOMS) {
            seal(library, from, to, 100, room, ++tag);
            openAll(library, to);
        }
        line(" %s to %s, three records in one buffer:", from->name, to->name);
        for (const uint32_t offered : {100u, 2000u, 30000u}) {
            seal(library, from, to, offered, OUTPUT_ROOM, ++tag);
        }
        openAll(library, to);
        line(" %s to %s, one record in two parts:", from->name, to->name);
        std::vector<uint8_t> record;
        seal(library, from, to, 5000, OUTPUT_ROOM, ++tag, false, &record);
        deliver(to, record.data(), 1000);
        openAll(library, to);
        deliver(to, record.data() + 1000, static_cast<uint32_t>(record.size() - 1000));
        openAll(library, to);
    }
    uint8_t in[4] = {};
    uint32_t inLength = 0;
    uint8_t out[64];
    uint32_t outLength = UNTOUCHED;
    const int32_t result = library.handshake(in, &inLength, out, &outLength, client->connection);
    line(" client: vcHandshake once complete -> %s; output length %u",
         resultText(library, result).c_str(), outLength);
}

// The ways a record stream can be broken: out of order and altered. Each
// ends the receiving connection, so every record is sealed first.
void brokenRecords(const Library& library, Side* client, Side* server) {
    line(" server seals two records, client one:");
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    std::vector<uint8_t> altered;
    seal(library, server, client, 300, OUTPUT_ROOM, 901, false, &first);
    seal(library, server, client, 300, OUTPUT_ROOM, 902, false, &second);
    seal(library, client, server, 300, OUTPUT_ROOM, 903, false, &altered);
    line(" the client receives the server's second record first:");
    deliver(client, second.data(), static_cast<uint32_t>(second.size()));
    openAll(library, client);
    line(" the server receives the client's record with one bit changed:");
    altered[altered.size() / 2] ^= 0x01;
    deliver(server, altered.data(), static_cast<uint32_t>(altered.size()));
    openAll(library, server);
}

struct Scenario {
    const char* title;
    ContextRequest client;
    ContextRequest server;
    const char* serviceName = "server.example";
    uint32_t refusingUserValue = 0;
    enum { HANDSHAKE_ONLY, RECORDS, BROKEN_RECORDS } then = HANDSHAKE_ONLY;
};

void runScenario(const Library& library, const Scenario& scenario) {
    line("== %s", scenario.title);
    refusingUserValue = scenario.refusingUserValue;
    VcContext* clientContext = nullptr;
    VcContext* serverContext = nullptr;
    const int32_t clientResult = createContext(library, scenario.client, &clientContext);
    const int32_t serverResult = createContext(library, scenario.server, &serverContext);
    line("  contexts: client %s, server %s", resultText(library, clientResult).c_str(),
         resultText(library, serverResult).c_str());
    Side client;
    client.name = "client";
    Side server;
    server.name = "server";
    if (clientResult == VC_OK && serverResult == VC_OK) {
        const int32_t c = library.createConnection(clientContext, scenario.serviceName,
                                                   CLIENT_USER_VALUE, &client.connection);
        const int32_t s =
            library.createConnection(serverContext, nullptr, SERVER_USER_VALUE, &server.connection);
        line("  connections: client %s, server %s", resultText(library, c).c_str(),
             resultText(library, s).c_str());
        client.gone = c != VC_OK;
        server.gone = s != VC_OK;
    }
    if (client.connection != nullptr && server.connection != nullptr &&
        runHandshake(library, &client, &server)) {
        if (scenario.then == Scenario::RECORDS) {
            records(library, &client, &server);
        } else if (scenario.then == Scenario::BROKEN_RECORDS) {
            brokenRecords(library, &client, &server);
        }
    }
    for (Side* side : {&client, &server}) {
        if (side->connection != nullptr && !side->gone) {
            library.destroyConnection(side->connection);
        }
    }
    library.destroyContext(clientContext);
    library.destroyContext(serverContext);
    refusingUserValue = 0;
}

std::vector<Scenario> scenarios(const Texts& t) {
    ContextRequest server;
    server.certificate = &t.server;
    server.key = &t.serverEncKey;
    server.passPhrase = &t.passPhrase;
    server.cas = {&t.ca};
    ContextRequest client;
    client.role = ROLE_CLIENT;
    client.cas = {&t.ca};
    ContextRequest authServer = server;
    authServer.role = ROLE_SERVER_AUTH_CLIENT;
    ContextRequest authClient = client;
    authClient.certificate = &t.client;
    authClient.key = &t.clientEncKey;
    authClient.passPhrase = &t.passPhrase;

    const auto with = [](ContextRequest request, uint32_t mask) {
        request.cipherMask = mask;
        return request;
    };
    std::vector<Scenario> list;
    list.push_back({"RC4-128, no client certificate", with(client, VC_CIPHER_RC4_128), server});
    list.back().then = Scenario::RECORDS;
    list.push_back(
        {"triple-DES-CBC, no client certificate", with(client, VC_CIPHER_DES_EDE3_CBC), server});
    list.back().then = Scenario::RECORDS;
    list.push_back(
        {"RC4-128, client certificate", with(authClient, VC_CIPHER_RC4_128), authServer});
    list.back().then = Scenario::RECORDS;
    list.push_back({"triple-DES-CBC, client certificate", with(authClient, VC_CIPHER_DES_EDE3_CBC),
                    authServer});
    list.back().then = Scenario::RECORDS;
    list.push_back({"both suites offered on both sides", client, server});
    list.push_back(
        {"the server offers triple-DES-CBC only", client, with(server, VC_CIPHER_DES_EDE3_CBC)});
    list.push_back({"RC4-128, records broken", with(client, VC_CIPHER_RC4_128), server});
    list.back().then = Scenario::BROKEN_RECORDS;
    list.push_back(
        {"triple-DES-CBC, records broken", with(client, VC_CIPHER_DES_EDE3_CBC), server});
    list.back().then = Scenario::BROKEN_RECORDS;
    list.push_back(
        {"no common suite", with(client, VC_CIPHER_RC4_128), with(server, VC_CIPHER_DES_EDE3_CBC)});
    list.push_back(
        {"the client's callback refuses", client, server, "server.example", CLIENT_USER_VALUE});
    list.push_back({"the server's callback refuses the client certificate", authClient, authServer,
                    "server.example", SERVER_USER_VALUE});
    list.push_back({"the client expects another service name", client, server, "other.example"});
    ContextRequest noCallback = client;
    noCallback.callback = false;
    list.push_back({"a client without a callback", noCallback, server});
    list.push_back(
        {"a client without a callback, another service name", noCallback, server, "other.example"});
    list.push_back({"the server asks a client without a certificate", client, authServer});
    ContextRequest trustsOther = client;
    trustsOther.cas = {&t.otherCa};
    list.push_back({"the client trusts only another CA", trustsOther, server});
    ContextRequest expired = server;
    expired.certificate = &t.expired;
    expired.key = &t.expiredKey;
    expired.passPhrase = nullptr;
    list.push_back({"the server's certificate has expired", client, expired, "expired.example"});
    ContextRequest byExpiredCa = server;
    byExpiredCa.certificate = &t.byExpiredCa;
    byExpiredCa.key = &t.byExpiredCaKey;
    byExpiredCa.passPhrase = nullptr;
    ContextRequest trustsExpiredCa = client;
    trustsExpiredCa.cas = {&t.expiredCa};
    list.push_back({"the server's CA has expired", trustsExpiredCa, byExpiredCa});
    ContextRequest unknownCa = server;
    unknownCa.certificate = &t.unknownCa;
    unknownCa.key = &t.unknownCaKey;
    unknownCa.passPhrase = nullptr;
    list.push_back({"the server's certificate comes from an unknown CA", client, unknownCa});
    return list;
}

void connections(const Library& library, const Texts& t) {
    line("== connections");
    ContextRequest clientRequest;
    clientRequest.role = ROLE_CLIENT;
    clientRequest.cas = {&t.ca};
    ContextRequest serverRequest;
    serverRequest.certificate = &t.server;
    serverRequest.key = &t.serverKey;
    serverRequest.cas = {&t.ca};
    VcContext* client = nullptr;
    VcContext* server = nullptr;
    createContext(library, clientRequest, &client);
    createContext(library, serverRequest, &server);
    VcConnection* connection = nullptr;
    int32_t result = library.createConnection(client, nullptr, 0, &connection);
    line("vcCreateConnection(client, no service name) -> %s", resultText(library, result).c_str());
    result = library.createConnection(client, "server.example", 0, nullptr);
    line("vcCreateConnection(client, nowhere to put it) -> %s",
         resultText(library, result).c_str());
    result = library.createConnection(server, nullptr, 0, &connection);
    line("vcCreateConnection(server, no service name) -> %s", resultText(library, result).c_str());
    uint8_t in[64] = {};
    uint8_t out[64] = {};
    uint32_t inLength = 0;
    uint32_t outLength = sizeof(out);
    uint32_t dataLength = 10;
    result = library.sealRecord(in, &dataLength, out, &outLength, connection);
    line("vcSealRecord before the handshake -> %s; taken %u, record %u",
         resultText(library, result).c_str(), dataLength, outLength);
    outLength = UNTOUCHED;
    result = library.openRecord(in, &inLength, out, &outLength, connection);
    line("vcOpenRecord before the handshake -> %s; output length %u",
         resultText(library, result).c_str(), outLength);
    result = library.handshake(in, &inLength, out, &outLength, connection);
    line("vcHandshake(server, nothing received) -> %s; output length %u",
         resultText(library, result).c_str(), outLength);
    library.destroyConnection(connection);

    result = library.createConnection(client, "server.example", 0, &connection);
    const int32_t closed = library.handshake(in, &inLength, nullptr, &outLength, connection);
    line("vcCreateConnection(client) -> %s; vcHandshake with no output -> %s",
         resultText(library, result).c_str(), resultText(library, closed).c_str());
    library.destroyContext(client);
    library.destroyContext(server);
}

}  // namespace

int runSession(const Library& library, int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "vchost: session takes the credentials directory\n");
        return 2;
    }
    Texts t;
    if (!readTexts(argv[0], &t)) {
        return 1;
    }
    texts(library);
    beforeStartUp(library, t);
    if (!startUp(library, t)) {
        std::fprintf(stderr, "vchost: the library did not start from a seed file\n");
        return 1;
    }
    contexts(library, t);
    connections(library, t);
    for (const Scenario& scenario : scenarios(t)) {
        runScenario(library, scenario);
    }
    library.terminate();
    line("== end: %d failed check(s)", failures);
    std::fflush(stdout);
    return failures == 0 ? 0 : 1;
}

}  // namespace vchost
