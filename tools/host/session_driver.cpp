// Two connections in one process, client and server, each handing the other
// what it sends: the handshake between them, then records both ways, in
// order and broken. Every record is checked to open to what was sealed.
#include <cstring>
#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#include "md5.h"
#include "session.h"

namespace vchost::session {
namespace {

// Output room for any handshake message or record.
constexpr uint32_t OUTPUT_ROOM = 65536 + 2;
constexpr uint8_t KEY_EXCHANGE_TYPE = 3;

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

PemInput pem(const std::string& text) {
    return PemInput{text.data(), static_cast<uint32_t>(text.size())};
}

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

}  // namespace

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

}  // namespace vchost::session
