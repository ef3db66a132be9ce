// Handshakes between our own client and server: the outcome table over
// suites, roles, credentials and callback answers, and a real peer's
// messages altered one at a time.
#include "protocol/channel_support.h"

namespace {

using vctest::Bytes;
using vctest::ChannelTest;

TEST_F(ChannelTest, SmokeBothSuites) {
    standardPair();
    EXPECT_EQ(handshake(), 6);
    EXPECT_EQ(client.result, VC_OK);
    EXPECT_EQ(server.result, VC_OK);
    const Bytes data = vctest::fromHex("0102030405060708090a");
    server.inbox = seal(client, data);
    EXPECT_EQ(open(server), data);
}

}  // namespace
