// The session's sections that call the operations one at a time: the
// texts, before and at start-up, contexts, and connections on their own.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform.h"
#include "session.h"

namespace vchost::session {
namespace {

// Where a handle points before a call, for the same reason as UNTOUCHED:
// an address that is no handle.
char placeholder;

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

}  // namespace

void libraryTexts(const Library& library) {
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

}  // namespace vchost::session
