// Connections through the exported operations: handle checks, connection
// construction and teardown. No failure hands out a handle or leaves a block
// allocated, and every record is wiped before release. Context records are
// built here the way a successful vcCreateContext leaves them, so the handle
// layer can be exercised without credentials (vcCreateContext's refusals
// are rows of the credentials tests).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/allocator.h"
#include "api/objects.h"
#include "support/test_vectors.h"
#include "support/tracking_allocator.h"
#include "veilcastnet.h"

namespace {

using namespace vctest;
using vc::Connection;
using vc::Context;

Context* makeContext(uint32_t isServer, uint32_t cipherMask = 3) {
    auto* context = static_cast<Context*>(vc::allocateZeroed(sizeof(Context)));
    context->credentials.isServer = isServer;
    context->credentials.cipherMask = cipherMask;
    context->credentials.caCount = 1;
    context->tag = vc::CONTEXT_TAG;
    return context;
}

VcContext* handle(Context* context) {
    return reinterpret_cast<VcContext*>(context);
}
vc::Channel* record(VcConnection* connection) {
    return &reinterpret_cast<Connection*>(connection)->channel;
}

VcConnection* makeConnection(Context* context, const char* name = "peer.example") {
    VcConnection* connection = nullptr;
    EXPECT_EQ(vcCreateConnection(handle(context), name, 7, &connection), VC_OK);
    return connection;
}

// The connect rows of handles.vec.
TEST(CreateConnection, RefusalsHandOutNullAndKeepNothing) {
    TrackingAllocator allocator;
    Context* context = makeContext(0);
    VcConnection* connection = makeConnection(context);
    for (const auto& row : readVec("handles.vec", "connect", 6)) {
        SCOPED_TRACE(row.text);
        const auto& f = row.fields;
        context->tag = f[1] == "dead" ? 0 : vc::CONTEXT_TAG;
        allocator.failAllocation(std::stoi(f[3]));
        VcContext* target = f[1] == "none"         ? nullptr
                            : f[1] == "connection" ? reinterpret_cast<VcContext*>(connection)
                                                   : handle(context);
        auto* out = reinterpret_cast<VcConnection*>(0x1);
        EXPECT_EQ(vcCreateConnection(target, f[2] == "-" ? nullptr : f[2].c_str(), 0, &out),
                  std::stoi(row.value));
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(allocator.liveBlocks(), 3u) << "only the context and the first connection";
    }
    context->tag = vc::CONTEXT_TAG;
    allocator.failAllocation(0);
    vcDestroyConnection(connection);
    vcDestroyContext(handle(context));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

// Everything not taken from the context or the call starts at zero.
TEST(CreateConnection, FillsTheRecordFromTheContext) {
    Context* context = makeContext(1, 2);
    char name[] = "server.example";
    VcConnection* connection = makeConnection(context, name);
    name[0] = 'X';  // the connection keeps its own copy
    Connection want;
    std::memset(&want, 0, sizeof want);
    want.tag = vc::CONNECTION_TAG;
    want.context = context;
    want.channel.serviceName = record(connection)->serviceName;
    want.channel.userValue = 7;
    want.channel.state = vc::HandshakeState::Start;
    want.channel.isServer = 1;
    want.channel.cipherMask = 2;
    EXPECT_EQ(std::memcmp(connection, &want, sizeof want), 0);
    EXPECT_STREQ(want.channel.serviceName, "server.example");
    // A server's connection may go without a name (a client's may not).
    VcConnection* unnamed = makeConnection(context, nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(record(unnamed)->serviceName, "servicename unbestimmt");
    vcDestroyConnection(unnamed);
    vcDestroyConnection(connection);
    vcDestroyContext(handle(context));
}

// Null and wrong-kind handles are ignored; the real ones release every
// block, wiped first: the connection with what a handshake leaves behind,
// its copy of the peer certificate, and the context holding a private key.
TEST(Teardown, WipesEveryBlockAndIgnoresNullAndWrongKindHandles) {
    TrackingAllocator allocator;
    Context* context = makeContext(1);
    std::memset(&context->credentials.privateKey, 0x5A, sizeof(context->credentials.privateKey));
    context->credentials.caCertificates =
        static_cast<vc::Certificate*>(vc::allocateZeroed(sizeof(vc::Certificate)));
    VcConnection* connection = makeConnection(context);
    vc::Channel* c = record(connection);
    constexpr std::size_t PEER_LENGTH = 777;
    c->peerCertificate = static_cast<uint8_t*>(vc::allocateZeroed(PEER_LENGTH));
    std::memset(c->peerCertificate, 0xA5, PEER_LENGTH);
    c->peerCertificateLength = PEER_LENGTH;
    std::memset(c->keyMaterial, 0x5A, sizeof(c->keyMaterial));
    std::memset(c->write.des, 0x33, sizeof(c->write.des));

    vcDestroyConnection(nullptr);
    vcDestroyContext(nullptr);
    vcDestroyConnection(reinterpret_cast<VcConnection*>(context));
    vcDestroyContext(reinterpret_cast<VcContext*>(connection));
    EXPECT_EQ(allocator.releasedBlocks(), 0u);

    vcDestroyConnection(connection);
    EXPECT_TRUE(allocator.releasedZeroed(sizeof(Connection)));
    EXPECT_TRUE(allocator.releasedZeroed(PEER_LENGTH));
    EXPECT_EQ(allocator.liveBlocks(), 2u);
    vcDestroyContext(handle(context));
    EXPECT_TRUE(allocator.releasedZeroed(sizeof(Context)));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

// The three operations that take a connection, by their first letter.
int32_t operate(char operation, uint8_t* input, uint32_t* inputLength, uint8_t* output,
                uint32_t* outputLength, VcConnection* connection) {
    if (operation == 'h') {
        return vcHandshake(input, inputLength, output, outputLength, connection);
    }
    return operation == 'o' ? vcOpenRecord(input, inputLength, output, outputLength, connection)
                            : vcSealRecord(input, inputLength, output, outputLength, connection);
}

// The operate rows of handles.vec. Refusals leave every object alone; the
// results 14 and 18 end the connection. Nothing is consumed (sealing
// reports no data taken), and the output length is 0 every time.
TEST(ConnectionOperations, RefusalsStatesAndFraming) {
    TrackingAllocator allocator;
    Context* context = makeContext(1);
    for (const auto& row : readVec("handles.vec", "operate", 14)) {
        SCOPED_TRACE(row.text);
        const auto& f = row.fields;
        const char operation = f[1][0];
        const auto state = static_cast<uint32_t>(std::stoul(f[3]));
        const int32_t want = std::stoi(row.value);
        VcConnection* connection = makeConnection(context);
        record(connection)->state = static_cast<vc::HandshakeState>(state);
        context->tag = f[2] == "dead" ? 0 : vc::CONTEXT_TAG;
        const std::size_t released = allocator.releasedBlocks();
        const Bytes given = f[4] == "-" ? Bytes{} : fromHex(f[4]);
        Bytes input = given;
        auto inputLength = static_cast<uint32_t>(input.size());
        Bytes output(64, 0x77);
        uint32_t outputLength = 64;
        VcConnection* target = f[2] == "none"      ? nullptr
                               : f[2] == "context" ? reinterpret_cast<VcConnection*>(context)
                                                   : connection;
        EXPECT_EQ(
            operate(operation, input.empty() ? nullptr : input.data(),
                    input.empty() ? nullptr : &inputLength, output.data(), &outputLength, target),
            want);
        context->tag = vc::CONTEXT_TAG;
        EXPECT_EQ(outputLength, 0u);
        if (want == VC_NO_CONTEXT || want == VC_CONNECTION_CLOSED) {
            EXPECT_EQ(allocator.liveBlocks(), 1u) << "connection not released";
            EXPECT_TRUE(allocator.releasedZeroed(sizeof(Connection)));
            continue;
        }
        EXPECT_EQ(allocator.releasedBlocks(), released);
        EXPECT_EQ(inputLength, operation == 's' ? 0u : given.size());
        EXPECT_EQ(input, given);
        EXPECT_EQ(output, Bytes(64, 0x77));
        EXPECT_EQ(record(connection)->state, static_cast<vc::HandshakeState>(state));
        EXPECT_EQ(reinterpret_cast<Connection*>(connection)->tag, vc::CONNECTION_TAG);
        vcDestroyConnection(connection);
    }
    vcDestroyContext(handle(context));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

}  // namespace
