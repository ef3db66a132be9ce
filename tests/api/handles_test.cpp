// Handle checks, connection construction and teardown of the exported
// operations. Context records are built here the way a successful
// vcCreateContext leaves them, so the handle layer can be exercised without
// credentials.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/allocator.h"
#include "api/objects.h"
#include "support/tracking_allocator.h"
#include "veilcastnet.h"

namespace {

using vc::Connection;
using vc::Context;

Context* makeContext(uint32_t isServer, uint32_t cipherMask = 3) {
    auto* context = static_cast<Context*>(vc::allocateZeroed(sizeof(Context)));
    context->isServer = isServer;
    context->cipherMask = cipherMask;
    context->caCount = 1;
    context->tag = vc::CONTEXT_TAG;
    return context;
}

VcContext* handle(Context* context) {
    return reinterpret_cast<VcContext*>(context);
}
Connection* record(VcConnection* connection) {
    return reinterpret_cast<Connection*>(connection);
}

VcConnection* makeConnection(Context* context, const char* name = "peer.example") {
    VcConnection* connection = nullptr;
    EXPECT_EQ(vcCreateConnection(handle(context), name, 7, &connection), VC_OK);
    return connection;
}

bool allZero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(CreateConnection, RefusesMissingDeadAndWrongKindContexts) {
    vctest::TrackingAllocator allocator;
    auto* poison = reinterpret_cast<VcConnection*>(0x1);
    VcConnection* out = poison;
    EXPECT_EQ(vcCreateConnection(nullptr, "name", 0, &out), VC_NO_CONTEXT);
    EXPECT_EQ(out, nullptr);

    Context* context = makeContext(0);
    VcConnection* connection = makeConnection(context);
    // A connection handle passed where a context belongs fails the tag check.
    out = poison;
    EXPECT_EQ(vcCreateConnection(reinterpret_cast<VcContext*>(connection), "name", 0, &out),
              VC_NO_CONTEXT);
    EXPECT_EQ(out, nullptr);

    // A context whose tag was cleared counts as dead.
    context->tag = 0;
    out = poison;
    EXPECT_EQ(vcCreateConnection(handle(context), "name", 0, &out), VC_NO_CONTEXT);
    EXPECT_EQ(out, nullptr);
    context->tag = vc::CONTEXT_TAG;

    vcDestroyConnection(connection);
    vcDestroyContext(handle(context));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

TEST(CreateConnection, FillsTheRecordFromTheContext) {
    Context* context = makeContext(1, 2);
    char name[] = "server.example";
    VcConnection* connection = makeConnection(context, name);
    name[0] = 'X';  // the connection keeps its own copy
    Connection* c = record(connection);
    EXPECT_EQ(c->tag, vc::CONNECTION_TAG);
    EXPECT_EQ(c->context, context);
    EXPECT_STREQ(c->serviceName, "server.example");
    EXPECT_EQ(c->userValue, 7u);
    EXPECT_EQ(c->state, 1u);
    EXPECT_EQ(c->isServer, 1u);
    EXPECT_EQ(c->cipherMask, 2u);
    EXPECT_EQ(c->encryptionOn, 0u);
    EXPECT_EQ(c->peerCertificate, nullptr);
    EXPECT_TRUE(allZero(c->clientRandom, sizeof(c->clientRandom)));
    EXPECT_TRUE(allZero(c->keyMaterial, sizeof(c->keyMaterial)));
    EXPECT_TRUE(allZero(&c->readRc4, sizeof(c->readRc4)));
    vcDestroyConnection(connection);
    vcDestroyContext(handle(context));
}

TEST(CreateConnection, ServiceNameDefaultsOnlyForServers) {
    Context* server = makeContext(1);
    VcConnection* connection = makeConnection(server, nullptr);
    ASSERT_NE(connection, nullptr);
    EXPECT_STREQ(record(connection)->serviceName, "servicename unbestimmt");
    vcDestroyConnection(connection);

    vctest::TrackingAllocator allocator;
    Context* client = makeContext(0);
    const std::size_t before = allocator.liveBlocks();
    VcConnection* out = reinterpret_cast<VcConnection*>(0x1);
    EXPECT_EQ(vcCreateConnection(handle(client), nullptr, 0, &out), VC_NO_SERVICENAME);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(allocator.liveBlocks(), before);
    vcDestroyContext(handle(client));
    vcDestroyContext(handle(server));
}

TEST(CreateConnection, AllocationFailuresLeaveNothingBehind) {
    vctest::TrackingAllocator allocator;
    Context* context = makeContext(0);
    for (int failing = 1; failing <= 2; ++failing) {
        allocator.failAllocation(failing);
        VcConnection* out = reinterpret_cast<VcConnection*>(0x1);
        EXPECT_EQ(vcCreateConnection(handle(context), "name", 0, &out), VC_NO_MEMORY)
            << "allocation " << failing;
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(allocator.liveBlocks(), 1u) << "only the context may remain";
    }
    allocator.failAllocation(0);
    vcDestroyContext(handle(context));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

TEST(Teardown, ConnectionRecordAndPeerCertificateAreWipedBeforeRelease) {
    vctest::TrackingAllocator allocator;
    Context* context = makeContext(0);
    VcConnection* connection = makeConnection(context);
    Connection* c = record(connection);
    // Stand-ins for what a handshake leaves behind.
    constexpr std::size_t PEER_LENGTH = 777;
    c->peerCertificate = static_cast<uint8_t*>(vc::allocateZeroed(PEER_LENGTH));
    std::memset(c->peerCertificate, 0xA5, PEER_LENGTH);
    c->peerCertificateLength = PEER_LENGTH;
    std::memset(c->keyMaterial, 0x5A, sizeof(c->keyMaterial));
    std::memset(&c->writeDes, 0x33, sizeof(c->writeDes));

    vcDestroyConnection(connection);
    EXPECT_TRUE(allocator.releasedZeroed(sizeof(Connection)));
    EXPECT_TRUE(allocator.releasedZeroed(PEER_LENGTH));
    EXPECT_EQ(allocator.liveBlocks(), 1u);
    vcDestroyContext(handle(context));
    EXPECT_TRUE(allocator.releasedZeroed(sizeof(Context)));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

TEST(Teardown, ContextRecordHoldingAPrivateKeyIsWiped) {
    vctest::TrackingAllocator allocator;
    Context* context = makeContext(1);
    context->privateKey.d.length = 2;
    context->privateKey.d.words[0] = 0xDEADBEEF;
    context->privateKey.d.words[1] = 0x1;
    context->caCertificates =
        static_cast<vc::Certificate*>(vc::allocateZeroed(sizeof(vc::Certificate)));
    vcDestroyContext(handle(context));
    EXPECT_TRUE(allocator.releasedZeroed(sizeof(Context)));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

TEST(Teardown, NullAndWrongKindHandlesAreIgnored) {
    vctest::TrackingAllocator allocator;
    Context* context = makeContext(1);
    VcConnection* connection = makeConnection(context);
    vcDestroyConnection(nullptr);
    vcDestroyContext(nullptr);
    vcDestroyConnection(reinterpret_cast<VcConnection*>(context));
    vcDestroyContext(reinterpret_cast<VcContext*>(connection));
    EXPECT_TRUE(allocator.released().empty());
    EXPECT_EQ(context->tag, vc::CONTEXT_TAG);
    EXPECT_EQ(record(connection)->tag, vc::CONNECTION_TAG);
    vcDestroyConnection(connection);
    vcDestroyContext(handle(context));
    EXPECT_EQ(allocator.liveBlocks(), 0u);
}

class OperationsOnConnection : public ::testing::Test {
  protected:
    void SetUp() override {
        context_ = makeContext(1);
        connection_ = makeConnection(context_);
    }
    void TearDown() override {
        if (connection_ != nullptr) {
            vcDestroyConnection(connection_);
        }
        vcDestroyContext(handle(context_));
        EXPECT_EQ(allocator_.liveBlocks(), 0u);
    }
    // The handle must not be used again after the library destroyed it.
    void forgetConnection() { connection_ = nullptr; }
    bool connectionWasReleased() const { return allocator_.releasedZeroed(sizeof(Connection)); }

    vctest::TrackingAllocator allocator_;
    Context* context_ = nullptr;
    VcConnection* connection_ = nullptr;
};

TEST_F(OperationsOnConnection, NullOrWrongKindHandleGives25AndZeroLengths) {
    uint8_t buffer[64] = {};
    uint32_t inputLength = 0;
    uint32_t outputLength = 1234;
    EXPECT_EQ(vcHandshake(buffer, &inputLength, buffer, &outputLength, nullptr), VC_NO_CONNECTION);
    EXPECT_EQ(outputLength, 0u);

    outputLength = 1234;
    auto* wrongKind = reinterpret_cast<VcConnection*>(context_);
    EXPECT_EQ(vcHandshake(buffer, &inputLength, buffer, &outputLength, wrongKind),
              VC_NO_CONNECTION);
    EXPECT_EQ(outputLength, 0u);

    outputLength = 1234;
    EXPECT_EQ(vcOpenRecord(buffer, &inputLength, buffer, &outputLength, nullptr), VC_NO_CONNECTION);
    EXPECT_EQ(outputLength, 0u);

    uint32_t dataLength = 10;
    outputLength = 64;
    EXPECT_EQ(vcSealRecord(buffer, &dataLength, buffer, &outputLength, wrongKind),
              VC_NO_CONNECTION);
    EXPECT_EQ(dataLength, 0u);
    EXPECT_EQ(outputLength, 0u);
    EXPECT_TRUE(allocator_.released().empty()) << "25 leaves every object alone";
}

TEST_F(OperationsOnConnection, RecordsBeforeCompletionGive26AndKeepTheConnection) {
    uint8_t buffer[64] = {};
    uint32_t dataLength = 10;
    uint32_t outputLength = 64;
    EXPECT_EQ(vcSealRecord(buffer, &dataLength, buffer, &outputLength, connection_),
              VC_HANDSHAKE_IN_PROGRESS);
    EXPECT_EQ(dataLength, 0u);
    EXPECT_EQ(outputLength, 0u);

    uint32_t inputLength = 20;
    outputLength = 99;
    EXPECT_EQ(vcOpenRecord(buffer, &inputLength, buffer, &outputLength, connection_),
              VC_HANDSHAKE_IN_PROGRESS);
    EXPECT_EQ(outputLength, 0u);
    EXPECT_EQ(inputLength, 20u);
    EXPECT_EQ(record(connection_)->tag, vc::CONNECTION_TAG);
}

TEST_F(OperationsOnConnection, HandshakeWithDeadContextGives14AndDestroysTheConnection) {
    uint8_t buffer[64] = {};
    uint32_t inputLength = 0;
    uint32_t outputLength = 5;
    context_->tag = 0;
    EXPECT_EQ(vcHandshake(buffer, &inputLength, buffer, &outputLength, connection_), VC_NO_CONTEXT);
    forgetConnection();
    context_->tag = vc::CONTEXT_TAG;
    EXPECT_EQ(outputLength, 0u);
    EXPECT_TRUE(connectionWasReleased());
}

TEST_F(OperationsOnConnection, CompletedHandshakeAnswers0AndTouchesNothing) {
    record(connection_)->state = vc::HANDSHAKE_COMPLETE;
    uint8_t input[8] = {0, 3, 1, 2, 3, 9, 9, 9};
    uint8_t output[8] = {0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
    uint32_t inputLength = sizeof(input);
    uint32_t outputLength = 4;
    EXPECT_EQ(vcHandshake(input, &inputLength, output, &outputLength, connection_), VC_OK);
    EXPECT_EQ(inputLength, sizeof(input));
    EXPECT_EQ(outputLength, 0u);
    EXPECT_EQ(input[0], 0);
    EXPECT_EQ(input[1], 3);
    EXPECT_EQ(output[0], 0x77);
}

TEST_F(OperationsOnConnection, IncompleteMessagesAskForMoreAndConsumeNothing) {
    uint8_t output[64];
    uint32_t outputLength = 0;
    EXPECT_EQ(vcHandshake(nullptr, nullptr, output, &outputLength, connection_),
              VC_RECEIVE_MORE_DATA);

    uint8_t input[8] = {0, 10, 1, 2, 3};
    uint32_t inputLength = 1;
    EXPECT_EQ(vcHandshake(input, &inputLength, output, &outputLength, connection_),
              VC_RECEIVE_MORE_DATA);
    EXPECT_EQ(inputLength, 1u);
    inputLength = 5;  // length field says 10, only 3 have arrived
    EXPECT_EQ(vcHandshake(input, &inputLength, output, &outputLength, connection_),
              VC_RECEIVE_MORE_DATA);
    EXPECT_EQ(inputLength, 5u);
    EXPECT_EQ(input[0], 0);
    EXPECT_EQ(record(connection_)->state, 1u);
    EXPECT_EQ(record(connection_)->tag, vc::CONNECTION_TAG);
}

TEST_F(OperationsOnConnection, OverlongLengthFieldEndsTheConnection) {
    uint8_t input[4] = {0x7F, 0xFF, 0, 0};  // 32767: above the handshake limit
    uint8_t output[64];
    uint32_t inputLength = sizeof(input);
    uint32_t outputLength = 0;
    EXPECT_EQ(vcHandshake(input, &inputLength, output, &outputLength, connection_),
              VC_CONNECTION_CLOSED);
    forgetConnection();
    EXPECT_TRUE(connectionWasReleased());
}

}  // namespace
