// The library from several threads at once, as a server host runs it: one
// context per role shared by every connection, and one random pool. Built
// by every preset; the tsan preset runs these to show the sharing is free
// of data races, the others that it works.
#include <atomic>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bignum/rsa.h"
#include "protocol/channel_support.h"

namespace {

using namespace vctest;

int32_t VC_API acceptAll(const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*) {
    return 1;
}

using Threads = SeededLibraryTest;

// One connection pair: a complete handshake, then records of growing size
// each way, each opened to exactly what was sealed.
void converse(VcContext* clientContext, VcContext* serverContext, int seed) {
    Side client, server;
    client.context = clientContext;
    server.context = serverContext;
    connectSides(client, server);
    runHandshake(client, server);
    ASSERT_EQ(client.result, VC_OK);
    ASSERT_EQ(server.result, VC_OK);
    std::mt19937 rng(seed);
    for (int round = 0; round < 40; ++round) {
        Side& from = round % 2 == 0 ? client : server;
        Side& to = round % 2 == 0 ? server : client;
        const Bytes data = randomData(rng, std::size_t(round * 97 + seed));
        to.inbox = seal(from, data, uint32_t(data.size() + 64));
        ASSERT_EQ(open(to), data);
        ASSERT_EQ(to.result, VC_OK);
    }
    vcDestroyConnection(client.connection);
    vcDestroyConnection(server.connection);
}

TEST_F(Threads, EightConnectionsShareTheContextsAndThePool) {
    PemInputs inputs;
    VcContext* server =
        inputs.context("server.pem:server.key", "ca.pem", 3, ROLE_SERVER_AUTH_CLIENT, acceptAll);
    VcContext* client =
        inputs.context("client.pem:client.key", "ca.pem", 3, ROLE_CLIENT, acceptAll);
    {
        std::vector<std::jthread> threads;  // joined as they go out of scope
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back(converse, client, server, i + 1);
        }
    }
    vcDestroyContext(client);
    vcDestroyContext(server);
}

// Half again as many threads as a key has blinding pairs decrypt and sign
// with the one key: every answer is right, and the pairs the key ends up
// with are its own and all different (each slot drew its own r). The
// blocks are encrypted beforehand, so that no lock of the random pool
// orders the threads' private operations.
TEST_F(Threads, ManyThreadsBlindWithOneSharedKey) {
    const auto key = std::make_unique<vc::RsaPrivateKey>();
    ASSERT_EQ(loadKey(credential("rsa512.key"), nullptr, key.get()), vc::CRYPTO_OK);
    const auto* pub = reinterpret_cast<const vc::RsaPublicKey*>(key.get());
    const uint32_t threadCount = vc::RSA_BLINDING_SLOTS * 3 / 2;
    std::vector<Bytes> blocks(threadCount, Bytes(64));
    for (uint8_t t = 0; t < threadCount; ++t) {
        uint32_t n = 0;
        vc::rsaPublicEncrypt(Bytes(20 + t, t).data(), 20 + t, pub, blocks[t].data(), &n);
    }
    std::atomic<uint32_t> right{0};
    for (std::vector<std::jthread> threads; threads.size() < threadCount;) {
        threads.emplace_back([&, t = uint8_t(threads.size())] {
            const Bytes data(20 + t, t);
            uint8_t block[64], out[64];
            uint32_t n = 0, m = 0;
            for (int round = 0; round < 4; ++round) {
                right += vc::rsaPrivateDecrypt(blocks[t].data(), 64, key.get(), out, &m) ==
                             vc::CRYPTO_OK &&
                         Bytes(out, out + m) == data;
                vc::rsaPrivateSign(data.data(), uint32_t(data.size()), key.get(), block, &n);
                right += vc::rsaPublicRecover(block, n, pub, out, &m) == vc::CRYPTO_OK &&
                         Bytes(out, out + m) == data;
            }
        });
    }  // the threads are joined here
    EXPECT_EQ(right.load(), threadCount * 8);
    std::set<std::vector<uint32_t>> pairs;
    uint32_t used = 0;
    for (const vc::RsaBlindingSlot& slot : key->blinding.slots) {
        used += slot.ready != 0;
        if (slot.ready != 0) {
            EXPECT_TRUE(slot.ready == 1 && slot.owner == key.get());
            pairs.emplace(slot.aR.words, slot.aR.words + slot.aR.length);
        }
    }
    EXPECT_GE(used, 1u);
    EXPECT_EQ(pairs.size(), used);
}

// Start-up and shut-down while other threads make contexts: every creation
// answers 0 or "not initialised", a context that was made takes a
// connection whose hello goes out (or finds the pool being seeded again,
// which ends that connection), and the last one made converses once the
// racing is over. Each start-up waits for a context to be made
// before the shut-down, so the race does make some.
TEST_F(Threads, StartUpAndShutDownRaceContextCreation) {
    // A committed PEM file carries enough entropy in its first 512 bytes.
    const std::string path = std::string(VC_TEST_DATA_DIR) + "/credentials/ca.pem";
    PemInputs inputs;
    const PemInput& ca = inputs.pem("ca.pem");
    VcContext* server =
        inputs.context("server.pem:server.key", "ca.pem", 3, ROLE_SERVER, acceptAll);
    std::atomic<int> starting{2};
    std::atomic<int> unexpected{0};
    std::atomic<int> made{0};
    std::atomic<VcContext*> kept{nullptr};
    // Two hosts' threads start and stop the library independently.
    std::vector<std::jthread> starters, creators;
    for (int t = 0; t < 2; ++t) {
        starters.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                const int before = made.load();
                if (vcInitialize(nullptr, nullptr, nullptr, nullptr, path.c_str()) != VC_OK) {
                    ++unexpected;
                }
                for (int spin = 0; spin < 200000 && made.load() == before; ++spin) {
                    std::this_thread::yield();
                }
                vcTerminate();
            }
            --starting;
        });
    }
    for (int t = 0; t < 3; ++t) {
        creators.emplace_back([&] {
            while (starting > 0) {
                VcContext* context = nullptr;
                const int32_t result =
                    vcCreateContext(nullptr, nullptr, &ca, 1, &acceptAll, 3, ROLE_CLIENT, &context);
                if (result != VC_OK) {
                    unexpected += result != VC_NOT_INITIALIZED || context != nullptr;
                    continue;
                }
                ++made;
                VcConnection* connection = nullptr;
                uint8_t hello[64];
                uint32_t none = 0;
                uint32_t length = 0;
                unexpected += vcCreateConnection(context, "server.example", 0, &connection) != 0;
                const int32_t step = vcHandshake(nullptr, &none, hello, &length, connection);
                unexpected += step == VC_SEND_DATA ? length != 39 : step != VC_NOT_INITIALIZED;
                vcDestroyConnection(connection);
                vcDestroyContext(kept.exchange(context));
            }
        });
    }
    creators.clear();  // clearing joins each thread
    starters.clear();
    EXPECT_EQ(unexpected.load(), 0);
    ASSERT_GT(made.load(), 0);
    converse(kept.load(), server, 1);
    vcDestroyContext(kept.load());
    vcDestroyContext(server);
}

}  // namespace
