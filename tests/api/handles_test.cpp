// Handles as the host sees them: connection construction, what each
// operation answers for every kind of handle and state, stale and
// twice-destroyed handles, and a host without an output buffer. No refusal
// hands out a handle or leaves a block allocated, and every record is wiped
// before release. (vcCreateContext's refusals are rows of context.vec.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "protocol/channel_support.h"

namespace {

using namespace vctest;

// Whether the library still holds this connection: sealing without an
// output buffer is refused with 3 on a live one and changes nothing.
bool alive(VcConnection* connection) {
    return vcSealRecord(nullptr, nullptr, nullptr, nullptr, connection) != VC_NO_CONNECTION;
}

using Handles = ChannelTest;

// The three operations that take a connection, by their first letter.
int32_t operate(char operation, uint8_t* input, uint32_t* inputLength, uint8_t* output,
                uint32_t* outputLength, VcConnection* connection) {
    if (operation == 'h') {
        return vcHandshake(input, inputLength, output, outputLength, connection);
    }
    return operation == 'o' ? vcOpenRecord(input, inputLength, output, outputLength, connection)
                            : vcSealRecord(input, inputLength, output, outputLength, connection);
}

// The rows of handles.vec. Refused creations hand out null and keep
// nothing. Refused operations leave every object alone; the results 14, 18
// and 19 end the connection. Nothing is consumed (sealing reports no data
// taken), and the output length is 0 every time.
TEST_F(Handles, TableOfRefusalsStatesAndFraming) {
    PemInputs inputs;
    const auto makeContext = [&](const char* own) {
        return inputs.context(own, "ca.pem", 3, own[0] == '-' ? ROLE_CLIENT : ROLE_SERVER, nullptr);
    };
    VcContext* contexts[3] = {makeContext("server.pem:server.key"), makeContext("-"),
                              makeContext("-")};
    vcDestroyContext(contexts[2]);
    VcConnection* first = nullptr;
    ASSERT_EQ(vcCreateConnection(contexts[1], "peer", 7, &first), VC_OK);
    const std::size_t held = allocator.liveBlocks();
    for (const auto& row : readVec("handles.vec", "", 32)) {
        SCOPED_TRACE(row.text);
        const auto& f = row.fields;
        const int32_t want = std::stoi(row.value);
        if (f[0] == "connect") {
            allocator.failAllocation(std::stoi(f[3]));
            auto* out = reinterpret_cast<VcConnection*>(0x1);
            VcContext* target = f[1] == "none"         ? nullptr
                                : f[1] == "connection" ? reinterpret_cast<VcContext*>(first)
                                                       : contexts[1 + (f[1] == "destroyed")];
            EXPECT_EQ(vcCreateConnection(target, f[2] == "-" ? nullptr : "peer", 0, &out), want);
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(allocator.liveBlocks(), held);
            allocator.failAllocation(0);
            continue;
        }
        VcContext* dead = f[2] == "dead" ? makeContext("server.pem:server.key") : nullptr;
        VcConnection* connection = nullptr;
        ASSERT_EQ(vcCreateConnection(dead != nullptr ? dead : contexts[f[2] == "client"], "peer", 7,
                                     &connection),
                  VC_OK);
        vc::Channel& channel = vc::liveConnection(connection)->channel;
        channel.state = static_cast<vc::HandshakeState>(std::stoul(f[3]));
        if (channel.state == vc::HandshakeState::Complete) {
            // A completed handshake has keyed both directions (RC4 here).
            const uint8_t secret[16] = {};
            vc::deriveKeys(&channel, secret, secret);
        }
        const vc::Channel before = channel;
        vcDestroyContext(dead);
        const Bytes given = f[4] == "-" ? Bytes{} : fromHex(f[4]);
        Bytes input = given;
        auto inputLength = static_cast<uint32_t>(input.size());
        Bytes output(64, 0x77);
        uint32_t outputLength = 64;
        VcConnection* target = f[2] == "none"      ? nullptr
                               : f[2] == "context" ? reinterpret_cast<VcConnection*>(contexts[0])
                                                   : connection;
        EXPECT_EQ(operate(f[1][0], input.empty() ? nullptr : input.data(),
                          input.empty() ? nullptr : &inputLength,
                          f[5] == "null" ? nullptr : output.data(), &outputLength, target),
                  want);
        EXPECT_EQ(outputLength, 0u);
        EXPECT_EQ(output, Bytes(64, 0x77));
        if (want == VC_NO_CONTEXT || want == VC_CONNECTION_CLOSED || want == VC_DECRYPTION_FAILED) {
            EXPECT_FALSE(alive(connection));
            EXPECT_EQ(allocator.liveBlocks(), held) << "connection not released";
            EXPECT_TRUE(allocator.releasedZeroed(sizeof(vc::Connection)));
            continue;
        }
        EXPECT_EQ(inputLength, f[1] == "seal" ? 0u : given.size());
        EXPECT_EQ(input, given);
        EXPECT_EQ(std::memcmp(&before, &channel, sizeof before), 0) << "connection changed";
        vcDestroyConnection(connection);
    }
    vcDestroyConnection(first);
    vcDestroyContext(contexts[0]);
    vcDestroyContext(contexts[1]);
}

// An allocator that hands the block released last straight back, as a
// busy heap may: a new connection record then sits where the destroyed
// one was (its name is released first, the record last).
void* recycled = nullptr;
void* reuse(std::size_t size) {
    return size <= sizeof(vc::Connection) && recycled != nullptr
               ? std::exchange(recycled, nullptr)
               : std::calloc(1, std::max(size, sizeof(vc::Connection)));
}
void keep(void* block) {
    std::free(std::exchange(recycled, block));
}

using StaleHandles = SeededLibraryTest;

// Destroyed handles stay dead: used again, destroyed again, or after a new
// object took their record's place, they reach nothing. A connection whose
// context is gone still seals, but its handshake call ends it with 14.
// Along the way: a client keeps its own copy of the name it checks the
// server against; a server's connection may go without one.
TEST_F(StaleHandles, ReachNothing) {
    PemInputs inputs;
    Side client;
    Side server;
    client.context = inputs.context("-", "ca.pem", 3, ROLE_CLIENT, nullptr);
    server.context = inputs.context("server.pem:server.key", "ca.pem", 3, ROLE_SERVER, nullptr);
    char name[] = "server.example";
    connectSides(client, server, name);
    name[0] = 'X';
    runHandshake(client, server);
    ASSERT_EQ(client.result, VC_OK);
    ASSERT_EQ(server.result, VC_OK);
    EXPECT_STREQ(server.channel().serviceName, "servicename unbestimmt");
    vcDestroyContext(server.context);
    vcDestroyContext(server.context);
    VcConnection* extra = nullptr;
    EXPECT_EQ(vcCreateConnection(server.context, nullptr, 0, &extra), VC_NO_CONTEXT);
    client.inbox = seal(server, Bytes{1, 2, 3});
    EXPECT_EQ(open(client), (Bytes{1, 2, 3}));
    uint32_t none = 0;
    EXPECT_EQ(vcHandshake(nullptr, &none, nullptr, &none, server.connection), VC_NO_CONTEXT);
    EXPECT_FALSE(alive(server.connection));
    vcDestroyConnection(server.connection);
    vcDestroyConnection(client.connection);

    vc::setAllocator(&reuse, &keep);
    VcConnection* stale = nullptr;
    ASSERT_EQ(vcCreateConnection(client.context, "server.example", 0, &stale), VC_OK);
    const vc::Connection* record = vc::liveConnection(stale);
    vcDestroyConnection(stale);
    VcConnection* fresh = nullptr;
    ASSERT_EQ(vcCreateConnection(client.context, "server.example", 0, &fresh), VC_OK);
    EXPECT_EQ(vc::liveConnection(fresh), record) << "the record was not reused";
    vcDestroyConnection(stale);
    for (char operation : {'h', 'o', 's'}) {
        EXPECT_EQ(operate(operation, nullptr, &none, nullptr, &none, stale), VC_NO_CONNECTION);
    }
    EXPECT_TRUE(alive(fresh));
    vcDestroyConnection(fresh);
    keep(nullptr);
    vc::setAllocator(nullptr, nullptr);
    vcDestroyContext(client.context);
}

// Without an output buffer a client takes SERVER_FINISHED, which needs no
// reply, but not CERTIFICATE_REQUEST; records open only when empty, and a
// refused record stays in the input as it was.
TEST_F(Handles, NullOutputIsRefusedOnlyWhenThereIsSomethingToWrite) {
    for (const uint32_t role : {ROLE_SERVER, ROLE_SERVER_AUTH_CLIENT}) {
        SCOPED_TRACE(role);
        connectPair(role, "client.pem:client.key", 3, 3);
        Bytes sixth;
        runHandshake(client, server, [&](int n, Bytes& wire, Side&) {
            if (n == 6) {
                sixth.swap(wire);
            }
        });
        uint32_t length = uint32_t(sixth.size());
        uint32_t outputLength = 1;
        EXPECT_EQ(vcHandshake(sixth.data(), &length, nullptr, &outputLength, client.connection),
                  role == ROLE_SERVER ? VC_OK : VC_CONNECTION_CLOSED);
        EXPECT_EQ(outputLength, 0u);
        if (role == ROLE_SERVER_AUTH_CLIENT) {
            EXPECT_FALSE(alive(client.connection));
            reset();
            continue;
        }
        const Bytes empty = seal(server, Bytes{});
        const Bytes nine = seal(server, Bytes{9});
        client.inbox = concat({empty, nine});
        length = uint32_t(client.inbox.size());
        EXPECT_EQ(vcOpenRecord(client.inbox.data(), &length, nullptr, nullptr, client.connection),
                  VC_OK);
        ASSERT_EQ(length, nine.size());
        EXPECT_EQ(
            vcOpenRecord(client.inbox.data(), &length, nullptr, &outputLength, client.connection),
            VC_NO_MEMORY);
        EXPECT_EQ(Bytes(client.inbox.begin(), client.inbox.begin() + length), nine);
        client.inbox.resize(length);
        EXPECT_EQ(open(client), Bytes{9});
        reset();
    }
}

}  // namespace
