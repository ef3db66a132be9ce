// Application data over a completed handshake: record sizes, the capacity
// rule, long streams whose keystream and CBC chain run on, records split,
// batched and of the largest size, without allocation on either path, and
// tampering and replay.
#include <random>

#include "protocol/channel_support.h"

namespace {

using vctest::Bytes;
using vctest::Side;

class Records : public vctest::ChannelTest {
  protected:
    // A fresh pair with a completed handshake on the suites of mask.
    void reconnect(uint32_t mask) {
        reset();
        connectPair(ROLE_SERVER, "-", mask, mask);
        runHandshake(client, server);
        ASSERT_EQ(client.result, VC_OK);
        ASSERT_EQ(server.result, VC_OK);
    }
    // The server must refuse the record, which ends its connection.
    void expectRefused(const Bytes& record) {
        server.inbox = record;
        open(server);
        EXPECT_EQ(server.result, VC_DECRYPTION_FAILED);
        server.connection = nullptr;
    }
};

TEST_F(Records, SizesAndCapacities) {
    for (const auto& row : vctest::readVec("records.vec", "size")) {
        const auto& f = row.fields;
        SCOPED_TRACE(row.text);
        reconnect(uint32_t(std::stoul(f[1])));
        const Bytes data(std::stoul(f[2]), 0x5C);
        const Bytes wire = seal(client, data);
        EXPECT_EQ(wire.size(), std::stoul(row.value));
        server.inbox = wire;
        EXPECT_EQ(open(server), data);
        EXPECT_EQ(server.result, VC_OK);
    }
    for (const auto& row : vctest::readVec("records.vec", "capacity")) {
        const auto& f = row.fields;
        const auto want = vctest::readFields(row.value);
        SCOPED_TRACE(row.text);
        reconnect(uint32_t(std::stoul(f[1])));
        const auto capacity = uint32_t(std::stoul(f[2]));
        const Bytes data(std::stoul(f[3]), 0xA7);
        Bytes output(capacity + 64, 0xEE);
        auto taken = uint32_t(data.size());
        uint32_t written = capacity;
        EXPECT_EQ(vcSealRecord(data.data(), &taken, output.data(), &written, client.connection),
                  std::stoi(want[0]));
        EXPECT_EQ(taken, std::stoul(want[1]));
        EXPECT_EQ(written, std::stoul(want[2]));
        EXPECT_EQ(Bytes(output.begin() + written, output.end()),
                  Bytes(output.size() - written, 0xEE));
        // Whatever was refused, the next record still opens at the peer.
        server.inbox.assign(output.begin(), output.begin() + written);
        const Bytes next = seal(client, {1, 2, 3});
        server.inbox.insert(server.inbox.end(), next.begin(), next.end());
        Bytes opened(data.begin(), data.begin() + taken);
        opened.insert(opened.end(), {1, 2, 3});
        EXPECT_EQ(open(server), opened);
    }
}

TEST_F(Records, LongStreamsSplitAndBatchedWithoutAllocation) {
    for (uint32_t suite : {1u, 2u}) {
        SCOPED_TRACE(suite);
        reconnect(suite);
        // From here on neither sealing nor opening may ask for memory.
        allocator.failAllocation(0);
        std::mt19937 rng(suite);
        // Thousands of records each way, several per buffer.
        for (Side* from : {&client, &server}) {
            Side& to = from == &client ? server : client;
            Bytes sent;
            Bytes received;
            for (int batch = 0; batch < 500; ++batch) {
                for (int i = 0; i < 5; ++i) {
                    const Bytes data = vctest::randomData(rng, rng() % 300);
                    sent.insert(sent.end(), data.begin(), data.end());
                    const Bytes wire = seal(*from, data);
                    to.inbox.insert(to.inbox.end(), wire.begin(), wire.end());
                }
                const Bytes got = open(to);
                received.insert(received.end(), got.begin(), got.end());
            }
            EXPECT_EQ(received, sent);
        }
        // A record that arrives a byte at a time opens only when complete,
        // and the bytes of the next record stay in the buffer.
        const Bytes wire = seal(client, Bytes(40, 0x11));
        const Bytes following = seal(client, Bytes(3, 0x22));
        Bytes buffer;
        for (std::size_t i = 0; i < wire.size(); ++i) {
            buffer.push_back(wire[i]);
            Bytes payload(65536);
            auto length = uint32_t(buffer.size());
            uint32_t payloadLength = 99;
            const int32_t result = vcOpenRecord(buffer.data(), &length, payload.data(),
                                                &payloadLength, server.connection);
            EXPECT_EQ(result, i + 1 < wire.size() ? VC_RECEIVE_MORE_DATA : VC_OK);
            EXPECT_EQ(payloadLength, i + 1 < wire.size() ? 0u : 40u);
            buffer.resize(length);
        }
        EXPECT_TRUE(buffer.empty());
        server.inbox = following;
        EXPECT_EQ(open(server), Bytes(3, 0x22));
        // More than the largest record holds: full-size records, in place.
        server.inbox = seal(client, Bytes(70000, 0x44));
        EXPECT_EQ(open(server), Bytes(70000, 0x44));
        EXPECT_EQ(allocator.allocations(), 0);
    }
}

// Every bit of a record's encrypted part matters, a replay fails, and so
// do the malformed records of the data file; each ends the connection.
TEST_F(Records, TamperingReplayAndMalformed) {
    for (uint32_t suite : {1u, 2u}) {
        reconnect(suite);
        const Bytes wire = seal(client, Bytes(9, 0x33));
        for (std::size_t bit = 16; bit < wire.size() * 8; bit += 5) {
            SCOPED_TRACE(std::to_string(suite) + " bit " + std::to_string(bit));
            reconnect(suite);
            Bytes record = seal(client, Bytes(9, 0x33));
            ASSERT_EQ(record.size(), wire.size());
            record[bit / 8] ^= uint8_t(1 << (bit % 8));
            expectRefused(record);
        }
        reconnect(suite);
        const Bytes record = seal(client, Bytes(9, 0x33));
        server.inbox = record;
        EXPECT_EQ(open(server), Bytes(9, 0x33));
        expectRefused(record);
    }
    for (const auto& row : vctest::readVec("records.vec", "refuse")) {
        SCOPED_TRACE(row.fields[2]);
        reconnect(uint32_t(std::stoul(row.fields[1])));
        expectRefused(vctest::fromHex(vctest::expand(row.fields[2])));
    }
}

}  // namespace
