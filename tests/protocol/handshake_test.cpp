// Handshakes between our own client and server: the outcome table over
// suites, roles, credentials and callback answers, and a real peer's
// messages altered one at a time.
#include "bignum/rsa.h"
#include "protocol/channel_support.h"

namespace {

using vctest::Bytes;
using vctest::ChannelTest;
using vctest::Side;

class Handshake : public ChannelTest {
  protected:
    // The one side that must fail, and with what; "both" means success.
    void expectOutcome(const std::string& side, int32_t result) {
        if (side == "both") {
            EXPECT_EQ(client.result, VC_OK);
            EXPECT_EQ(server.result, VC_OK);
            return;
        }
        Side& failing = side == "client" ? client : server;
        Side& other = side == "client" ? server : client;
        EXPECT_EQ(failing.result, result);
        EXPECT_EQ(failing.connection, nullptr);
        EXPECT_TRUE(other.result == VC_SEND_DATA || other.result == VC_RECEIVE_MORE_DATA)
            << other.result;
    }

    // Applies one edit of handshake_faults.vec to a message on the wire.
    void edit(const std::string& change, Bytes& wire, Side& receiver) {
        std::string fields = change;  // "kind:offset:hex"
        std::replace(fields.begin(), fields.end(), ':', ' ');
        const auto p = vctest::readFields(fields);
        if (p[0] == "rec") {
            xorAt(wire, std::stoi(p[1]), vctest::fromHex(p[2]));
        } else if (p[0] == "bxor") {
            editKeyBlock(wire, std::stoi(p[1]), vctest::fromHex(p[2]));
        } else if (receiver.channel().encryptionOn != 0) {
            reseal(receiver, wire, [&](Bytes& message) { editMessage(p, message); });
        } else {
            Bytes message(wire.begin() + 2, wire.end());
            editMessage(p, message);
            wire.assign({uint8_t(message.size() >> 8), uint8_t(message.size())});
            wire.insert(wire.end(), message.begin(), message.end());
        }
    }

  private:
    static void xorAt(Bytes& bytes, int offset, const Bytes& mask) {
        const std::size_t at = offset < 0 ? bytes.size() + offset : std::size_t(offset);
        for (std::size_t i = 0; i < mask.size(); ++i) {
            bytes.at(at + i) ^= mask[i];
        }
    }

    static void editMessage(const std::vector<std::string>& p, Bytes& message) {
        if (p[0] == "len") {
            message.resize(std::stoul(p[1]));
        } else if (p[0] == "set") {
            const Bytes value = vctest::fromHex(p[2]);
            std::copy(value.begin(), value.end(), message.begin() + std::stoi(p[1]));
        } else {
            xorAt(message, std::stoi(p[1]), vctest::fromHex(p[2]));
        }
    }

    // The key-exchange block as the client put it under the server's key,
    // changed, and encrypted again.
    void editKeyBlock(Bytes& wire, int offset, const Bytes& mask) {
        const vc::RsaPrivateKey& key = server.credentials().privateKey;
        const uint32_t cipherLength = (uint32_t(wire[4]) << 8) | wire[5];
        uint8_t block[512];
        uint32_t blockLength = 0;
        ASSERT_EQ(vc::rsaPrivateDecrypt(wire.data() + 8, cipherLength, &key, block, &blockLength),
                  vc::CRYPTO_OK);
        Bytes changed(block, block + blockLength);
        xorAt(changed, offset, mask);
        uint32_t length = 0;
        ASSERT_EQ(vc::rsaPublicEncrypt(changed.data(), blockLength,
                                       reinterpret_cast<const vc::RsaPublicKey*>(&key),
                                       wire.data() + 8, &length),
                  vc::CRYPTO_OK);
    }
};

TEST_F(Handshake, OutcomeTable) {
    for (const auto& row : vctest::readVec("handshake.vec", "handshake")) {
        const auto& f = row.fields;
        const auto want = vctest::readFields(row.value);
        SCOPED_TRACE(row.text);
        const auto serverRole = uint32_t(std::stoul(f[3]));
        clientLog = {f[8][0] - '0'};
        serverLog = {f[8][1] - '0'};
        connectPair(serverRole, f[5], uint32_t(std::stoul(f[2])), uint32_t(std::stoul(f[1])), f[4],
                    f[6], f[7]);
        runHandshake(client, server);
        expectOutcome(want[0], std::stoi(want[1]));
        EXPECT_EQ(clientLog.calls, want[2] == "-" ? 0 : 1);
        if (want[2] != "-") {
            EXPECT_EQ(clientLog.flags, std::stoul(want[2]));
            EXPECT_EQ(clientLog.cipherMask, std::stoul(want[3]));
        }
        // Only a server that asks for a certificate ever sees one.
        if (serverRole == ROLE_SERVER) {
            EXPECT_EQ(serverLog.calls, 0);
        } else if (want[0] == "both") {
            EXPECT_EQ(serverLog.calls, 1);
            EXPECT_EQ(serverLog.flags, 0u);
        }
        if (want[0] == "both") {
            // Data both ways on the agreed suite.
            const Bytes data = vctest::fromHex("000102030405060708090a0b0c0d0e0f10");
            server.inbox = seal(client, data);
            EXPECT_EQ(open(server), data);
            client.inbox = seal(server, data);
            EXPECT_EQ(open(client), data);
        }
        reset();
    }
}

TEST_F(Handshake, AlteredMessages) {
    for (const auto& row : vctest::readVec("handshake_faults.vec", "fault")) {
        const auto& f = row.fields;
        const auto want = vctest::readFields(row.value);
        SCOPED_TRACE(row.text);
        connectPair(ROLE_SERVER_AUTH_CLIENT, "client.pem:client.key", uint32_t(std::stoul(f[2])),
                    uint32_t(std::stoul(f[1])));
        const int target = std::stoi(f[3]);
        runHandshake(client, server, [&](int index, Bytes& wire, Side& receiver) {
            if (index == target) {
                edit(f[4], wire, receiver);
            }
        });
        expectOutcome(want[0], std::stoi(want[1]));
        reset();
    }
}

// The messages of a handshake with client authentication, in order, and
// the client's first call that ignores its input.
TEST_F(Handshake, MessageSizesAndFirstCall) {
    connectPair(ROLE_SERVER_AUTH_CLIENT, "client.pem:client-enc.key", 3, 3);
    client.inbox = {0x00, 0x01, 0xAA};
    std::vector<std::size_t> sizes;
    runHandshake(client, server, [&](int, Bytes& wire, Side&) {
        if (sizes.empty()) {
            // The bytes before the client's hello were left for the host.
            EXPECT_EQ(client.inbox, Bytes({0x00, 0x01, 0xAA}));
            client.inbox.clear();
            EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 7), vctest::fromHex("00250102000003"));
        }
        sizes.push_back(wire.size());
    });
    ASSERT_EQ(sizes.size(), 8u);
    EXPECT_EQ(client.result, VC_OK);
    EXPECT_EQ(server.result, VC_OK);
    const std::size_t serverCertificate = server.credentials().ownCertificateLength;
    const std::size_t clientCertificate = client.credentials().ownCertificateLength;
    // Plain: hello 2 + 37; server hello 2 + 40 + certificate; key exchange
    // 2 + 6 + 256 (RC4, no IV). Sealed with RC4: 2 + 17 + message.
    const std::vector<std::size_t> want = {39, 42 + serverCertificate,       264, 52, 52,
                                           53, 25 + clientCertificate + 128, 52};
    EXPECT_EQ(sizes, want);
}

}  // namespace
