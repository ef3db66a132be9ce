// The random generator: progress values of the seeding estimate, refusal
// before seeding, the known state after fixed seed bytes, the ring
// bookkeeping and repeatability of output, and draws from several threads
// and from a forked child.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <numeric>
#include <set>
#include <sstream>
#include <thread>

#include "crypto/md5.h"
#include "crypto/random_pool.h"
#include "support/platform.h"
#include "support/test_vectors.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace vctest;

int32_t seed(const Bytes& bytes) {
    return vc::vcSeedCallback(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Every test starts from a cleared pool.
class RandomPoolTest : public ::testing::Test {
  protected:
    void SetUp() override { clearPool(); }
    SavedLibraryState saved_;
};

TEST(RandomLog2Table, MatchesTheRealLogarithm) {
    EXPECT_EQ(vc::log2Table[0], 0);
    for (int i = 1; i < 64; ++i) {
        const long double exact = 32.0L * std::log2(static_cast<long double>(i));
        EXPECT_EQ(vc::log2Table[static_cast<std::size_t>(i)],
                  static_cast<int>(std::floor(exact + 1e-12L)))
            << "entry " << i;
    }
}

// ---- Seeding, its progress values and refused draws ----

// The seed rows of random_pool.vec.
TEST_F(RandomPoolTest, ProgressOfOneSeedCallAndRefusedDraws) {
    std::mt19937 rng(512);
    for (const auto& line : readVec("random_pool.vec", "seed", 7)) {
        SCOPED_TRACE(line.text);
        const auto& f = line.fields;
        const auto count = static_cast<uint32_t>(std::stoul(f[2]));
        Bytes data = f[1] == "random" ? randomData(rng, count) : Bytes(count, 0x41);
        for (uint32_t i = 0; f[1] == "counting" && i < count; ++i) {
            data[i] = static_cast<uint8_t>(i % std::stoul(f.at(3)));
        }
        const std::vector<std::string> want = readFields(line.value);
        const int32_t progress = std::stoi(want.at(0));
        const auto minBits = static_cast<uint32_t>(std::stoul(want.at(1)));
        const auto maxBits = static_cast<uint32_t>(std::stoul(want.at(2)));
        clearPool();
        EXPECT_EQ(seed(data), progress);
        const vc::RandomPool pool = vc::randomPoolSnapshot();
        EXPECT_GE(vc::randomEstimateBits(pool), minBits);
        EXPECT_LE(vc::randomEstimateBits(pool), maxBits);
        EXPECT_EQ(vc::randomIsUnseeded(), progress < 0 ? 0 : 1);
        EXPECT_EQ(pool.seedTotal, count);
        EXPECT_EQ(pool.ringPos, count % 255);
        EXPECT_EQ(pool.ringWraps, count / 255);
        // A call with no bytes (or no buffer) recomputes the same progress
        // and changes nothing.
        const uint8_t unused = 0xEE;
        EXPECT_EQ(vc::vcSeedCallback(&unused, 0), progress);
        EXPECT_EQ(vc::vcSeedCallback(nullptr, 16), progress);
        // Refused draws write nothing and leave the pool alone: any draw
        // while unseeded, one without a buffer once seeded.
        Bytes out(40, 0xA5);
        if (progress < 0) {
            EXPECT_EQ(vc::randomBytes(nullptr, 4), 1);
        } else {
            EXPECT_EQ(vc::randomBytes(out.data(), 40), 1);
            EXPECT_EQ(vc::randomBytes(out.data(), 0), 1);
        }
        EXPECT_EQ(out, Bytes(40, 0xA5));
        EXPECT_TRUE(samePool(pool, vc::randomPoolSnapshot()));
    }
}

TEST_F(RandomPoolTest, StaysSeededWhateverFollows) {
    seedPool();
    // A flood of identical bytes drags the estimate to nothing (the
    // deduction per byte outgrows what they add); the pool must not fall
    // back to refusing output.
    EXPECT_EQ(seed(Bytes(100000, 0)), -1);
    EXPECT_LT(vc::randomEstimateBits(vc::randomPoolSnapshot()), 1024u);
    EXPECT_EQ(vc::randomIsUnseeded(), 0);
    EXPECT_EQ(vc::vcSeedCallback(nullptr, 0), -1);
}

// The state rows of random_pool.vec pin the exact mixing of seed bytes.
TEST_F(RandomPoolTest, SeedingKnownAnswers) {
    const VecLine line = readVec("random_pool.vec", "state", 1).at(0);
    uint8_t next = 0;
    std::istringstream sizes(line.fields.at(1));
    for (std::string size; std::getline(sizes, size, ',');) {
        Bytes data(std::stoul(size));
        std::iota(data.begin(), data.end(), next);
        next = static_cast<uint8_t>(next + data.size());
        seed(data);
    }
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(toHex(pool.digestState, 16) + " " + toHex(pool.ring, 255), line.value);
    EXPECT_EQ(pool.ring[255], 0);
}

// Each draw depends on the thread and the second as well, so output is held
// to its properties: n bytes move the ring position by n and change no ring
// byte outside the n they pass (without counting a wrap, which only seeding
// does), count one call and refresh the digest state even when n is 0. From
// the same state, on the same thread in the same second, the same n bytes
// come again, and the whole 8-byte chunks of a longer draw begin the same.
TEST_F(RandomPoolTest, DrawsMoveTheRingAndRepeatOnlyFromTheSameState) {
    seedPool();
    std::mt19937 rng(20261205);
    const uint32_t firstCounts[] = {0, 9, 32, 32};
    int compared = 0;
    for (uint32_t draw = 0; draw < 400; ++draw) {
        SCOPED_TRACE(draw);
        const uint32_t count = draw < 4 ? firstCounts[draw] : rng() % 41;
        const vc::RandomPool before = vc::randomPoolSnapshot();
        const uint32_t second = vc::platformTimeSeconds();
        Bytes out(count);
        ASSERT_EQ(vc::randomBytes(out.data(), count), 0);
        const vc::RandomPool after = vc::randomPoolSnapshot();
        EXPECT_EQ(after.ringPos, (before.ringPos + count) % 255);
        EXPECT_EQ(after.ringWraps, before.ringWraps);
        EXPECT_EQ(after.outputCounter, before.outputCounter + 1);
        EXPECT_NE(std::memcmp(after.digestState, before.digestState, 16), 0);
        for (uint32_t i = count; i < 256; ++i) {
            const uint32_t at = (before.ringPos + i) % 255;
            ASSERT_EQ(after.ring[i < 255 ? at : 255], before.ring[i < 255 ? at : 255]) << i;
        }
        EXPECT_EQ(
            std::memcmp(&after.seedTotal, &before.seedTotal,
                        offsetof(vc::RandomPool, seeded) - offsetof(vc::RandomPool, seedTotal)),
            0);
        vc::randomPoolRestore(before);
        Bytes again(2 * count + 8);
        ASSERT_EQ(vc::randomBytes(again.data(), count), 0);
        const vc::RandomPool replayed = vc::randomPoolSnapshot();
        vc::randomPoolRestore(before);
        ASSERT_EQ(vc::randomBytes(again.data() + count, count + 8), 0);
        if (vc::platformTimeSeconds() != second) {
            vc::randomPoolRestore(after);  // the clock ticked: nothing to compare
            continue;
        }
        EXPECT_EQ(Bytes(again.begin(), again.begin() + count), out);
        EXPECT_TRUE(samePool(replayed, after));
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + count / 8 * 8, again.begin() + count));
        vc::randomPoolRestore(after);
        ++compared;
    }
    EXPECT_GT(compared, 300);
}

// A draw recomputed from the pool before it with the generator's own
// definition, through the streaming MD5: each chunk of up to 8 bytes is
// MD5(state bytes 8..15, the ring window it covers, thread id, second),
// which becomes the state, is XORed into the window and gives the output
// from its bytes 8..; then the state becomes MD5(call counter, state).
// Draws of 1, 8, 13 and 41 bytes, the last across the ring's wrap.
TEST_F(RandomPoolTest, DrawsMatchTheirDefinition) {
    seedPool();
    const auto md5Of = [](std::initializer_list<Bytes> pieces) {
        vc::Md5Context md5;
        vc::md5Init(&md5);
        for (const Bytes& piece : pieces) {
            vc::md5Update(&md5, piece.data(), static_cast<uint32_t>(piece.size()));
        }
        Bytes digest(16);
        vc::md5Final(digest.data(), &md5);
        return digest;
    };
    const auto le32 = [](uint32_t v) {
        return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                     static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    };
    for (const uint32_t count : {1u, 8u, 13u, 41u}) {
        SCOPED_TRACE(count);
        vc::RandomPool want = vc::randomPoolSnapshot();
        if (count == 41) {
            want.ringPos = 240;
            vc::randomPoolRestore(want);
        }
        Bytes out(count);
        uint32_t second = 0;
        do {
            vc::randomPoolRestore(want);
            second = vc::platformTimeSeconds();
            ASSERT_EQ(vc::randomBytes(out.data(), count), 0);
        } while (vc::platformTimeSeconds() != second);
        const vc::RandomPool after = vc::randomPoolSnapshot();
        Bytes expected;
        for (uint32_t offset = 0; offset < count; offset += 8) {
            const uint32_t n = std::min(8u, count - offset);
            Bytes window;
            for (uint32_t i = 0; i < n; ++i) {
                window.push_back(want.ring[(want.ringPos + i) % 255]);
            }
            const Bytes digest = md5Of({Bytes(want.digestState + 8, want.digestState + 16), window,
                                        le32(vc::platformThreadId()), le32(second)});
            std::memcpy(want.digestState, digest.data(), 16);
            for (uint32_t i = 0; i < n; ++i) {
                want.ring[want.ringPos] ^= digest[i];
                want.ringPos = (want.ringPos + 1) % 255;
                expected.push_back(digest[8 + i]);
            }
        }
        const Bytes state =
            md5Of({le32(want.outputCounter), Bytes(want.digestState, want.digestState + 16)});
        EXPECT_EQ(out, expected);
        EXPECT_EQ(Bytes(after.digestState, after.digestState + 16), state);
        EXPECT_EQ(std::memcmp(after.ring, want.ring, sizeof want.ring), 0);
    }
}

// ---- Several host threads at once ----

TEST_F(RandomPoolTest, ConcurrentDrawsAreAllDistinct) {
    seedPool();
    constexpr int THREADS = 4;
    constexpr int DRAWS = 500;
    std::vector<std::array<uint8_t, 16>> draws(THREADS * DRAWS);
    std::vector<int> refusals(THREADS, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&draws, &refusals, t] {
            for (int i = 0; i < DRAWS; ++i) {
                refusals[static_cast<std::size_t>(t)] +=
                    vc::randomBytes(draws[static_cast<std::size_t>(t * DRAWS + i)].data(), 16);
                if (i % 50 == 0) {
                    // Seed bytes arriving meanwhile must not upset output.
                    const uint8_t extra[3] = {1, 2, static_cast<uint8_t>(i)};
                    vc::vcSeedCallback(extra, 3);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(refusals, std::vector<int>(THREADS, 0));
    EXPECT_EQ(std::set(draws.begin(), draws.end()).size(), draws.size());
    EXPECT_EQ(vc::randomPoolSnapshot().outputCounter, static_cast<uint32_t>(THREADS * DRAWS));
}

#if !defined(_WIN32)
TEST_F(RandomPoolTest, ForkedChildDrawsDifferentBytesThanItsParent) {
    seedPool();
    uint8_t warmUp[4];
    ASSERT_EQ(vc::randomBytes(warmUp, 4), 0);  // the parent's thread id is now known
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Same pool, same second: only the thread id can tell the two apart.
        uint8_t drawn[16] = {};
        const int ok = vc::randomBytes(drawn, 16) == 0 &&
                       write(pipeEnds[1], drawn, sizeof(drawn)) == sizeof(drawn);
        _exit(ok ? 0 : 1);
    }
    uint8_t parentDraw[16];
    ASSERT_EQ(vc::randomBytes(parentDraw, 16), 0);
    close(pipeEnds[1]);
    uint8_t childDraw[16] = {};
    EXPECT_EQ(read(pipeEnds[0], childDraw, sizeof(childDraw)), 16);
    close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(std::memcmp(parentDraw, childDraw, 16), 0);
}
#endif

}  // namespace
