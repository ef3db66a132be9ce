// Arbitrary peer messages for either role at every handshake state. A
// genuine client and server, each from the committed credentials, run the
// handshake until the side under test has received a chosen number of
// genuine messages; from then on it gets the input's messages instead,
// through the exported operations the way a host calls them. Once its
// channel is encrypted a message may be sealed exactly as the peer would
// have sealed it, so the parsers behind the MAC are reached too; after a
// complete handshake the messages go to vcOpenRecord. Every call must end
// in a result code, and a failed side must have been destroyed.
//
// Input: a setup byte (bit 0: the side under test is the server; bits 1-2:
// the client's cipher mask, 0 meaning both; bit 3: the server asks for a
// client certificate), the count of genuine messages, then messages: a
// mode byte, two bytes of length, bytes. Mode bit 0: sealed as the peer
// would seal it; bit 1: appended to the previous message instead of sent
// alone; bit 2: the bytes are a patch to the genuine message the side
// would have received next (two bytes of offset, then bytes XORed in from
// there, growing the message past its end), so the parsers see near-genuine
// messages whatever randoms this process's pool hands out.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "api/library_state.h"
#include "api/objects.h"
#include "protocol/record.h"
#include "support.h"
#include "support/secure_wipe.h"
#include "veilcastnet.h"

using fuzzsupport::Reader;

namespace {

struct Side {
    VcConnection* connection = nullptr;  // null once the library destroyed it
    std::vector<uint8_t> inbox;
    int32_t result = VC_RECEIVE_MORE_DATA;
    vc::Channel& channel() { return vc::liveConnection(connection)->channel; }
};

int32_t VC_API acceptAll(const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*) {
    return 1;
}

struct Credential {
    std::string certificate;
    std::string key;
};

VcContext* makeContext(const Credential* own, uint32_t mask, uint32_t role) {
    static const std::string ca = fuzzsupport::credential("ca.pem");
    static const std::string passPhrase = fuzzsupport::credential("passphrase.txt");
    const PemInput caInput{ca.data(), static_cast<uint32_t>(ca.size())};
    PemInput certificate{};
    PemKeyInput key{};
    if (own != nullptr) {
        certificate = {own->certificate.data(), static_cast<uint32_t>(own->certificate.size())};
        key = {own->key.data(), static_cast<uint32_t>(own->key.size()), passPhrase.data(),
               static_cast<uint32_t>(passPhrase.size())};
    }
    VcContext* context = nullptr;
    const int32_t result = vcCreateContext(own ? &certificate : nullptr, own ? &key : nullptr,
                                           &caInput, 1, &acceptAll, mask, role, &context);
    FUZZ_REQUIRE(result == VC_OK);
    return context;
}

// Contexts are made once: [0] serves, [1] serves and asks for a client
// certificate; clients by cipher mask (1..3) without and with a certificate.
struct Contexts {
    VcContext* server[2];
    VcContext* client[4][2];
    Contexts() {
        fuzzsupport::resetRandomPool();
        vc::libraryInitialized.store(1);
        const Credential serverOwn{fuzzsupport::credential("server.pem"),
                                   fuzzsupport::credential("server.key")};
        const Credential clientOwn{fuzzsupport::credential("client.pem"),
                                   fuzzsupport::credential("client-enc.key")};
        server[0] = makeContext(&serverOwn, 3, ROLE_SERVER);
        server[1] = makeContext(&serverOwn, 3, ROLE_SERVER_AUTH_CLIENT);
        for (uint32_t mask = 1; mask <= 3; ++mask) {
            client[mask][0] = makeContext(nullptr, mask, ROLE_CLIENT);
            client[mask][1] = makeContext(&clientOwn, mask, ROLE_CLIENT);
        }
    }
};

uint8_t output[32768];

// One handshake call for a side; its reply, if any, goes to out.
void step(Side& side, std::vector<uint8_t>* out) {
    auto length = static_cast<uint32_t>(side.inbox.size());
    uint32_t outputLength = 0;
    side.result = vcHandshake(side.inbox.empty() ? nullptr : side.inbox.data(), &length, output,
                              &outputLength, side.connection);
    FUZZ_REQUIRE(length <= side.inbox.size() && outputLength <= sizeof output);
    side.inbox.resize(length);
    if (side.result == VC_SEND_DATA && out != nullptr) {
        out->insert(out->end(), output, output + outputLength);
    }
    if (side.result != VC_SEND_DATA && side.result != VC_RECEIVE_MORE_DATA &&
        side.result != VC_OK) {
        side.connection = nullptr;
    }
}

// The message sealed with the receiver's own read state, as its peer's
// write state would have sealed it.
std::vector<uint8_t> sealForReceiver(Side& receiver, const uint8_t* message, size_t length) {
    vc::Channel copy = receiver.channel();
    std::vector<uint8_t> wire(vc::RECORD_HEADER + length + 8);
    if (length > 0) {
        std::memcpy(wire.data() + vc::RECORD_HEADER, message, length);
    }
    const uint32_t sealedLength =
        vc::sealRecord(wire.data() + vc::RECORD_HEADER, static_cast<uint32_t>(length), &copy.read);
    vc::secureWipeObject(copy);
    wire.resize(sealedLength + 2);
    wire[0] = static_cast<uint8_t>(sealedLength >> 8);
    wire[1] = static_cast<uint8_t>(sealedLength);
    return wire;
}

// The payload of a sealed message, opened with a copy of the receiver's
// read state (the receiver itself has not seen it).
std::vector<uint8_t> openForReceiver(Side& receiver, const std::vector<uint8_t>& wire) {
    vc::Channel copy = receiver.channel();
    std::vector<uint8_t> body(wire.begin() + 2, wire.end());
    const int32_t opened =
        vc::openRecord(body.data(), static_cast<uint32_t>(body.size()), &copy.read);
    vc::secureWipeObject(copy);
    FUZZ_REQUIRE(opened >= 0);
    const auto start = body.begin() + vc::RECORD_HEADER - 2;
    return std::vector<uint8_t>(start, start + opened);
}

std::vector<uint8_t> patched(std::vector<uint8_t> base, const uint8_t* patch, size_t length) {
    if (length < 2) {
        return base;
    }
    const size_t offset = (static_cast<size_t>(patch[0]) << 8) | patch[1];
    for (size_t i = 2; i < length; ++i) {
        const size_t at = offset + i - 2;
        if (at >= base.size()) {
            base.resize(at + 1, 0);
        }
        base[at] ^= patch[i];
    }
    return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Contexts contexts;
    fuzzsupport::resetRandomPool();
    vc::libraryInitialized.store(1);
    Reader in(data, size);
    const uint8_t setup = in.byte();
    const bool testServer = (setup & 1u) != 0;
    const uint32_t mask = ((setup >> 1) & 3u) == 0 ? 3u : (setup >> 1) & 3u;
    const bool clientAuth = (setup & 8u) != 0;
    const uint32_t genuine = in.byte() % 8u;

    Side client;
    Side server;
    FUZZ_REQUIRE(vcCreateConnection(contexts.client[mask][clientAuth ? 1 : 0], "server.example", 1,
                                    &client.connection) == VC_OK);
    FUZZ_REQUIRE(vcCreateConnection(contexts.server[clientAuth ? 1 : 0], nullptr, 2,
                                    &server.connection) == VC_OK);
    Side& tested = testServer ? server : client;

    // The genuine part: the client speaks first; a message for the side
    // under test past the chosen count is dropped, and the run moves on.
    uint32_t delivered = 0;
    std::vector<uint8_t> next;  // the genuine message the input replaces
    bool nextSealed = false;
    for (int turn = 0, calls = 0; calls < 16 && delivered <= genuine; ++calls, turn ^= 1) {
        Side& me = turn == 0 ? client : server;
        Side& other = turn == 0 ? server : client;
        if (me.connection == nullptr || other.connection == nullptr) {
            break;
        }
        std::vector<uint8_t> message;
        step(me, &message);
        if (&other == &tested && !message.empty() && ++delivered > genuine) {
            nextSealed = tested.channel().encryptionOn != 0;
            next = nextSealed ? openForReceiver(tested, message) : message;
            break;
        }
        other.inbox.insert(other.inbox.end(), message.begin(), message.end());
        if (client.result == VC_OK && server.result == VC_OK) {
            break;
        }
    }

    // Genuine messages never end a side.
    FUZZ_REQUIRE(client.connection != nullptr && server.connection != nullptr);

    // The input's part.
    while (tested.connection != nullptr && in.left() > 0) {
        const uint8_t mode = in.byte();
        size_t length = 0;
        const uint8_t* message = in.take(in.u16(), &length);
        std::vector<uint8_t> plain(message, message + length);
        bool sealed = (mode & 1u) != 0;
        if ((mode & 4u) != 0) {
            plain = patched(next, message, length);
            sealed = nextSealed;
        }
        sealed = sealed && tested.channel().encryptionOn != 0;
        const std::vector<uint8_t> bytes =
            sealed ? sealForReceiver(tested, plain.data(), plain.size()) : plain;
        tested.inbox.insert(tested.inbox.end(), bytes.begin(), bytes.end());
        if ((mode & 2u) != 0 && in.left() > 0) {
            continue;  // more bytes for the same call
        }
        if (tested.channel().state != vc::HandshakeState::Complete) {
            step(tested, nullptr);
            continue;
        }
        std::vector<uint8_t> payload(tested.inbox.size() + 1);  // never a null output
        auto inboxLength = static_cast<uint32_t>(tested.inbox.size());
        uint32_t payloadLength = 0;
        const int32_t result =
            vcOpenRecord(tested.inbox.empty() ? nullptr : tested.inbox.data(), &inboxLength,
                         payload.data(), &payloadLength, tested.connection);
        FUZZ_REQUIRE(inboxLength <= tested.inbox.size() && payloadLength < payload.size());
        tested.inbox.resize(inboxLength);
        if (result == VC_DECRYPTION_FAILED) {
            tested.connection = nullptr;
        } else {
            FUZZ_REQUIRE(result == VC_OK || result == VC_RECEIVE_MORE_DATA);
        }
    }
    vcDestroyConnection(client.connection);
    vcDestroyConnection(server.connection);
    return 0;
}
