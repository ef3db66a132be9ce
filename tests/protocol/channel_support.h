// A client and a server driven through the exported operations with byte
// buffers between them, plus the means to forge what a peer would send:
// the receiving channel's own state seals a changed message exactly as the
// real sender would have. Test-only.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "api/library_state.h"
#include "api/objects.h"
#include "crypto/random_pool.h"
#include "pki/pki_support.h"
#include "protocol/record.h"
#include "support/test_vectors.h"
#include "support/tracking_allocator.h"
#include "veilcastnet.h"

namespace vctest {

struct Side {
    VcContext* context = nullptr;
    VcConnection* connection = nullptr;  // null once the library destroyed it
    Bytes inbox;
    int32_t result = VC_RECEIVE_MORE_DATA;
    vc::Channel& channel() { return vc::liveConnection(connection)->channel; }
    const vc::Credentials& credentials() { return vc::liveContext(context)->credentials; }
};

// Per-side callback answers and the flags each side was shown.
struct CallbackLog {
    int32_t answer = 1;
    int calls = 0;
    uint32_t flags = 0;
    uint32_t cipherMask = 0;
};

// The user value of a connection picks its side's log: 1 client, 2 server.
inline CallbackLog* callbackLogs[3];

inline int32_t VC_API logCallback(const uint8_t*, uint32_t, uint32_t userValue, uint32_t flags,
                                  uint32_t cipherMask, const uint8_t*) {
    CallbackLog* log = callbackLogs[userValue % 3];
    ++log->calls;
    log->flags = flags;
    log->cipherMask = cipherMask;
    return log->answer;
}

// Connects a client, which expects the service name given, and a server on
// the sides' contexts; user values 1 and 2 pick their callback logs.
inline void connectSides(Side& client, Side& server, const char* serviceName = "server.example") {
    ASSERT_EQ(vcCreateConnection(client.context, serviceName, 1, &client.connection), VC_OK);
    ASSERT_EQ(vcCreateConnection(server.context, nullptr, 2, &server.connection), VC_OK);
}

// Runs the handshake between two connected sides to its end. alter sees
// every message on the wire (numbered from 1) with the side about to
// receive it. Returns the number of messages sent.
inline int runHandshake(Side& client, Side& server,
                        const std::function<void(int, Bytes&, Side&)>& alter = {}) {
    Side* sides[2] = {&client, &server};
    int sent = 0;
    for (int turn = 0, calls = 0; calls < 24; ++calls, turn ^= 1) {
        Side& me = *sides[turn];
        Side& peer = *sides[turn ^ 1];
        uint8_t output[32768];
        auto length = static_cast<uint32_t>(me.inbox.size());
        uint32_t outputLength = 0xFFFF;
        me.result = vcHandshake(me.inbox.data(), &length, output, &outputLength, me.connection);
        me.inbox.resize(length);
        if (me.result == VC_SEND_DATA) {
            Bytes wire(output, output + outputLength);
            if (alter) {
                alter(++sent, wire, peer);
            } else {
                ++sent;
            }
            peer.inbox.insert(peer.inbox.end(), wire.begin(), wire.end());
        } else {
            EXPECT_EQ(outputLength, 0u);
        }
        if (me.result != VC_SEND_DATA && me.result != VC_RECEIVE_MORE_DATA && me.result != VC_OK) {
            me.connection = nullptr;  // the library has destroyed it
            break;
        }
        if (client.result == VC_OK && server.result == VC_OK) {
            break;
        }
    }
    return sent;
}

// All of data as records, sealed with the capacity given.
inline Bytes seal(Side& side, const Bytes& data, uint32_t capacity = 70000) {
    Bytes wire;
    std::size_t done = 0;
    do {
        Bytes record(capacity);
        auto taken = static_cast<uint32_t>(data.size() - done);
        uint32_t length = capacity;
        side.result =
            vcSealRecord(data.data() + done, &taken, record.data(), &length, side.connection);
        if (side.result != VC_SEND_DATA) {
            ADD_FAILURE() << "sealing answered " << side.result;
            break;
        }
        wire.insert(wire.end(), record.begin(), record.begin() + length);
        done += taken;
    } while (done < data.size());
    return wire;
}

// Opens every record in side's inbox.
inline Bytes open(Side& side) {
    Bytes data;
    while (!side.inbox.empty()) {
        Bytes payload(65536);
        auto length = static_cast<uint32_t>(side.inbox.size());
        uint32_t payloadLength = 0;
        side.result = vcOpenRecord(side.inbox.data(), &length, payload.data(), &payloadLength,
                                   side.connection);
        if (side.result != VC_OK) {
            break;
        }
        side.inbox.resize(length);
        data.insert(data.end(), payload.begin(), payload.begin() + payloadLength);
    }
    return data;
}

class ChannelTest : public SeededLibraryTest {
  protected:
    void SetUp() override {
        SeededLibraryTest::SetUp();
        callbackLogs[1] = &clientLog;
        callbackLogs[2] = &serverLog;
    }
    void TearDown() override {
        for (Side* side : {&client, &server}) {
            vcDestroyConnection(side->connection);
            vcDestroyContext(side->context);
        }
        vcTerminate();
        // Connections the library ended were released by it, wiped, and so
        // was every other block: contexts, names, certificate copies.
        EXPECT_EQ(allocator.liveBlocks(), 0u);
        EXPECT_EQ(allocator.releasedUnwiped(), 0u);
    }

    // Ends both sides (checking that nothing is left) and starts afresh, so
    // one test can run a table of handshakes.
    void reset() {
        TearDown();
        client = {};
        server = {};
        SetUp();
    }

    // A server of the given role trusting ca.pem and a client with its own
    // credentials ("cert.pem:key" or "-") and CAs, offering the suites of
    // the masks, connected; the client expects the service name given.
    void connectPair(uint32_t role, const std::string& clientOwn, uint32_t serverMask,
                     uint32_t clientMask, const std::string& serverOwn = "server.pem:server.key",
                     const std::string& clientCas = "ca.pem",
                     const std::string& serviceName = "server.example") {
        server.context = inputs_.context(serverOwn, "ca.pem", serverMask, role, &logCallback);
        client.context =
            inputs_.context(clientOwn, clientCas, clientMask, ROLE_CLIENT, &logCallback);
        connectSides(client, server, serviceName.c_str());
    }

    // Replaces a sealed record on the wire by one whose payload edit()
    // changed, sealed with the receiver's own state so that it opens.
    static void reseal(Side& receiver, Bytes& wire, const std::function<void(Bytes&)>& edit) {
        vc::Channel copy = receiver.channel();
        Bytes body(wire.begin() + 2, wire.end());
        const int32_t opened = vc::openRecord(body.data(), uint32_t(body.size()), &copy.read);
        ASSERT_GE(opened, 0);
        Bytes message(body.begin() + 17, body.begin() + 17 + opened);
        edit(message);
        copy = receiver.channel();
        wire.assign(vc::RECORD_HEADER + message.size() + 8, 0);
        std::memcpy(wire.data() + vc::RECORD_HEADER, message.data(), message.size());
        const uint32_t length =
            vc::sealRecord(wire.data() + vc::RECORD_HEADER, uint32_t(message.size()), &copy.read);
        wire.resize(length + 2);
        wire[0] = uint8_t(length >> 8);
        wire[1] = uint8_t(length);
    }

    TrackingAllocator allocator;
    Side client;
    Side server;
    CallbackLog clientLog;
    CallbackLog serverLog;

  private:
    PemInputs inputs_;
};

}  // namespace vctest
