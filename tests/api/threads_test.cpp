// The library from several threads at once, as a server host runs it: one
// context per role shared by every connection, and one random pool. Built
// by every preset; the tsan preset runs these to show the sharing is free
// of data races, the others that it works.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/library_state.h"
#include "crypto/random_pool.h"
#include "pki/pki_support.h"
#include "veilcastnet.h"

namespace {

using namespace vctest;

int32_t VC_API acceptAll(const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*) {
    return 1;
}

// Credentials as PEM inputs; the texts stay alive with the object.
struct Pem {
    explicit Pem(const std::string& file) : text(credential(file)) {}
    PemInput input() const { return {text.data(), static_cast<uint32_t>(text.size())}; }
    std::string text;
};

VcContext* makeContext(const char* own, const char* key, uint32_t role) {
    static const Pem ca("ca.pem");
    const PemInput caInput = ca.input();
    VcContext* context = nullptr;
    if (own == nullptr) {
        EXPECT_EQ(vcCreateContext(nullptr, nullptr, &caInput, 1, &acceptAll, 3, role, &context),
                  VC_OK);
        return context;
    }
    const Pem certificate(own);
    const Pem keyText(key);
    const PemInput certificateInput = certificate.input();
    const PemKeyInput keyInput{keyText.text.data(), static_cast<uint32_t>(keyText.text.size()),
                               nullptr, 0};
    EXPECT_EQ(
        vcCreateContext(&certificateInput, &keyInput, &caInput, 1, &acceptAll, 3, role, &context),
        VC_OK);
    return context;
}

// Keeps the pool and the start-up flag as the test found them.
class Threads : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = vc::randomPoolSnapshot();
        savedInitialized_ = vc::libraryInitialized.load();
        uint8_t seed[255];
        for (int i = 0; i < 255; ++i) {
            seed[i] = static_cast<uint8_t>(i * 11 + 3);
        }
        vc::vcSeedCallback(seed, sizeof seed);
        vc::libraryInitialized.store(1);
    }
    void TearDown() override {
        vc::randomPoolRestore(saved_);
        vc::libraryInitialized.store(savedInitialized_);
    }

  private:
    vc::RandomPool saved_{};
    int32_t savedInitialized_ = 0;
};

// One connection pair: a complete handshake, then records of growing size
// each way, each opened to exactly what was sealed. Any failure is counted.
void converse(VcContext* clientContext, VcContext* serverContext, int seed,
              std::atomic<int>* failures) {
    VcConnection* sides[2] = {nullptr, nullptr};
    if (vcCreateConnection(clientContext, "server.example", 1, &sides[0]) != VC_OK ||
        vcCreateConnection(serverContext, nullptr, 2, &sides[1]) != VC_OK) {
        ++*failures;
        return;
    }
    std::vector<uint8_t> inbox[2];
    std::vector<uint8_t> output(32768);
    int32_t results[2] = {VC_RECEIVE_MORE_DATA, VC_RECEIVE_MORE_DATA};
    for (int calls = 0, turn = 0; calls < 24 && !(results[0] == VC_OK && results[1] == VC_OK);
         ++calls, turn ^= 1) {
        auto length = static_cast<uint32_t>(inbox[turn].size());
        uint32_t outputLength = 0;
        results[turn] =
            vcHandshake(inbox[turn].data(), &length, output.data(), &outputLength, sides[turn]);
        inbox[turn].resize(length);
        if (results[turn] == VC_SEND_DATA) {
            inbox[turn ^ 1].insert(inbox[turn ^ 1].end(), output.begin(),
                                   output.begin() + outputLength);
        } else if (results[turn] != VC_OK && results[turn] != VC_RECEIVE_MORE_DATA) {
            ++*failures;
            sides[turn] = nullptr;  // destroyed by the library
            break;
        }
    }
    for (int round = 0; round < 40 && sides[0] != nullptr && sides[1] != nullptr; ++round) {
        const int from = round & 1;
        std::vector<uint8_t> data(static_cast<std::size_t>(round * 97 + seed));
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 31 + static_cast<std::size_t>(seed));
        }
        std::vector<uint8_t> record(data.size() + 64);
        auto taken = static_cast<uint32_t>(data.size());
        auto recordLength = static_cast<uint32_t>(record.size());
        std::vector<uint8_t> opened(record.size());
        uint32_t openedLength = 0;
        if (vcSealRecord(data.data(), &taken, record.data(), &recordLength, sides[from]) !=
                VC_SEND_DATA ||
            taken != data.size() ||
            vcOpenRecord(record.data(), &recordLength, opened.data(), &openedLength,
                         sides[from ^ 1]) != VC_OK ||
            recordLength != 0 ||
            !std::equal(data.begin(), data.end(), opened.begin(), opened.begin() + openedLength)) {
            ++*failures;
            break;
        }
    }
    vcDestroyConnection(sides[0]);
    vcDestroyConnection(sides[1]);
}

TEST_F(Threads, EightConnectionsShareTheContextsAndThePool) {
    VcContext* server = makeContext("server.pem", "server.key", ROLE_SERVER_AUTH_CLIENT);
    VcContext* client = makeContext("client.pem", "client.key", ROLE_CLIENT);
    ASSERT_NE(server, nullptr);
    ASSERT_NE(client, nullptr);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back(converse, client, server, i + 1, &failures);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    vcDestroyContext(client);
    vcDestroyContext(server);
}

// Start-up and shut-down while other threads make contexts: every creation
// answers 0 or "not initialised", and a context that was made works.
TEST_F(Threads, StartUpAndShutDownRaceContextCreation) {
    namespace fs = std::filesystem;
    const fs::path seedFile = fs::temp_directory_path() / ("vcthreads-" + std::to_string(getpid()));
    {
        std::ofstream file(seedFile, std::ios::binary);
        for (int i = 0; i < 512; ++i) {
            file.put(static_cast<char>(i * 13 + 5));
        }
    }
    const std::string path = fs::absolute(seedFile).string();
    std::atomic<int> starting{2};
    std::atomic<int> unexpected{0};
    std::atomic<int> made{0};
    // Two hosts' threads start and stop the library independently.
    std::vector<std::thread> starters;
    for (int t = 0; t < 2; ++t) {
        starters.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                if (vcInitialize(nullptr, nullptr, nullptr, nullptr, path.c_str()) != VC_OK) {
                    ++unexpected;
                }
                vcTerminate();
            }
            --starting;
        });
    }
    std::vector<std::thread> creators;
    for (int t = 0; t < 3; ++t) {
        creators.emplace_back([&] {
            while (starting > 0) {
                static const Pem ca("ca.pem");
                const PemInput caInput = ca.input();
                VcContext* context = nullptr;
                const int32_t result = vcCreateContext(nullptr, nullptr, &caInput, 1, &acceptAll, 3,
                                                       ROLE_CLIENT, &context);
                if (result == VC_OK) {
                    ++made;
                    VcConnection* connection = nullptr;
                    if (vcCreateConnection(context, "server.example", 0, &connection) != VC_OK) {
                        ++unexpected;
                    }
                    vcDestroyConnection(connection);
                    vcDestroyContext(context);
                } else if (result != VC_NOT_INITIALIZED || context != nullptr) {
                    ++unexpected;
                }
            }
        });
    }
    for (std::thread& thread : starters) {
        thread.join();
    }
    for (std::thread& creator : creators) {
        creator.join();
    }
    fs::remove(seedFile);
    EXPECT_EQ(unexpected.load(), 0);
    std::printf("contexts made while starting and stopping: %d\n", made.load());
}

}  // namespace
