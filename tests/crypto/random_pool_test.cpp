// The random generator: progress values of the seeding estimate, refusal
// before seeding, the ring bookkeeping of output, and a reference model on
// OpenSSL's MD5 that pins the exact mixing of seed bytes and output.
#include <gtest/gtest.h>
#include <openssl/md5.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "crypto/random_pool.h"
#include "entropy/platform.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes counting(uint32_t count, uint32_t modulus = 256) {
    Bytes bytes(count);
    for (uint32_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i % modulus);
    }
    return bytes;
}

Bytes randomBytesFrom(std::mt19937& rng, std::size_t count) {
    Bytes bytes(count);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    return bytes;
}

int32_t seed(const Bytes& bytes) {
    return vc::vcSeedCallback(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool samePool(const vc::RandomPool& a, const vc::RandomPool& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Independent model of the pool, written from the algorithm's description
// with OpenSSL's MD5, to compare whole pool states against.
struct ModelPool {
    uint8_t ring[256] = {};
    uint32_t ringPos = 0;
    uint32_t ringWraps = 0;
    uint8_t digest[16] = {};
    uint32_t outputCounter = 0;
    uint32_t seedTotal = 0;
    uint32_t histogram[256] = {};

    void hashRing(MD5_CTX* md5, uint32_t n) const {
        for (uint32_t i = 0; i < n; ++i) {
            MD5_Update(md5, &ring[(ringPos + i) % 255], 1);
        }
    }
    static void hashLe32(MD5_CTX* md5, uint32_t v) {
        const uint8_t le[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                               static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        MD5_Update(md5, le, 4);
    }
    void absorb(const Bytes& data) {
        for (std::size_t at = 0; at < data.size(); at += 16) {
            const uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(16, data.size() - at));
            MD5_CTX md5;
            MD5_Init(&md5);
            MD5_Update(&md5, digest, 16);
            hashRing(&md5, n);
            MD5_Update(&md5, data.data() + at, n);
            MD5_Final(digest, &md5);
            for (uint32_t i = 0; i < n; ++i) {
                ++histogram[data[at + i]];
                ring[ringPos] ^= digest[i];
                ringPos = (ringPos + 1) % 255;
                ringWraps += ringPos == 0 ? 1 : 0;
            }
            seedTotal += n;
        }
    }
    Bytes draw(uint32_t count, uint32_t threadId, uint32_t seconds) {
        Bytes out;
        for (uint32_t at = 0; at < count; at += 8) {
            const uint32_t n = std::min<uint32_t>(8, count - at);
            MD5_CTX md5;
            MD5_Init(&md5);
            MD5_Update(&md5, digest + 8, 8);
            hashRing(&md5, n);
            hashLe32(&md5, threadId);
            hashLe32(&md5, seconds);
            MD5_Final(digest, &md5);
            for (uint32_t i = 0; i < n; ++i) {
                ring[ringPos] ^= digest[i];
                ringPos = (ringPos + 1) % 255;
                out.push_back(digest[8 + i]);
            }
        }
        MD5_CTX md5;
        MD5_Init(&md5);
        hashLe32(&md5, outputCounter++);
        MD5_Update(&md5, digest, 16);
        MD5_Final(digest, &md5);
        return out;
    }
    void expectMatches(const vc::RandomPool& pool) const {
        EXPECT_EQ(std::memcmp(pool.ring, ring, sizeof(ring)), 0);
        EXPECT_EQ(pool.ringPos, ringPos);
        EXPECT_EQ(pool.ringWraps, ringWraps);
        EXPECT_EQ(std::memcmp(pool.digestState, digest, 16), 0);
        EXPECT_EQ(pool.outputCounter, outputCounter);
        EXPECT_EQ(pool.seedTotal, seedTotal);
        EXPECT_EQ(std::memcmp(pool.byteHistogram, histogram, sizeof(histogram)), 0);
    }
};

// Every test starts from a cleared pool and puts the process's pool back
// afterwards, so other suites in the same program see no difference.
class RandomPoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = vc::randomPoolSnapshot();
        clearPool();
    }
    void TearDown() override { vc::randomPoolRestore(saved_); }

    // Initialisation clears the pool before it looks at the seed path, and a
    // relative path then fails without seeding anything.
    static void clearPool() {
        ASSERT_EQ(vc::randomInitialize(nullptr, nullptr, nullptr, nullptr, "relative.seed"), 1);
        const vc::RandomPool pool = vc::randomPoolSnapshot();
        const vc::RandomPool zero{};
        ASSERT_TRUE(samePool(pool, zero));
    }
    static void seedFully() { ASSERT_EQ(seed(counting(255)), -1); }

    vc::RandomPool saved_{};
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

// ---- Seeding and its progress values ----

TEST_F(RandomPoolTest, SixteenDistinctBytesReportSixPercent) {
    EXPECT_EQ(seed(counting(16)), 6);
    EXPECT_EQ(vc::randomEstimateBits(vc::randomPoolSnapshot()), 63u);
    EXPECT_EQ(vc::randomIsUnseeded(), 1);
}

TEST_F(RandomPoolTest, RingMustWrapBeforeSeeding) {
    // Far more than 1024 bits, but 254 bytes leave the ring one short.
    EXPECT_EQ(seed(counting(254)), 99);
    EXPECT_GE(vc::randomEstimateBits(vc::randomPoolSnapshot()), 1024u);
    EXPECT_EQ(vc::randomIsUnseeded(), 1);
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(pool.ringPos, 254u);
    EXPECT_EQ(pool.ringWraps, 0u);
}

TEST_F(RandomPoolTest, OneMoreByteWrapsTheRingAndSeeds) {
    EXPECT_EQ(seed(counting(255)), -1);
    EXPECT_EQ(vc::randomIsUnseeded(), 0);
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(pool.seeded, 1);
    EXPECT_EQ(pool.ringPos, 0u);
    EXPECT_EQ(pool.ringWraps, 1u);
    EXPECT_EQ(pool.seedTotal, 255u);
}

TEST_F(RandomPoolTest, FourValuesGiveTheFixedPointEstimate) {
    // Exactly 600 bits of order-0 entropy; the estimate's rounding and its
    // deduction of a sixteenth of a bit per byte leave 581.
    EXPECT_EQ(seed(counting(300, 4)), 56);
    EXPECT_EQ(vc::randomEstimateBits(vc::randomPoolSnapshot()), 581u);
    EXPECT_EQ(vc::randomIsUnseeded(), 1);
}

TEST_F(RandomPoolTest, RepeatedByteNeverSeeds) {
    const Bytes same(4096, 0x41);
    const uint32_t sizes[] = {1, 7, 16, 17, 100, 255, 512, 4096};
    uint32_t total = 0;
    for (const uint32_t size : sizes) {
        EXPECT_EQ(vc::vcSeedCallback(same.data(), size), 0) << "after " << total << " bytes";
        total += size;
    }
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(vc::randomEstimateBits(pool), 0u);
    EXPECT_GT(pool.ringWraps, 10u);  // the ring is long full; entropy is what is missing
    EXPECT_EQ(pool.seedTotal, total);
    EXPECT_EQ(vc::randomIsUnseeded(), 1);
}

TEST_F(RandomPoolTest, EmptyCallOnlyReportsProgress) {
    EXPECT_EQ(vc::vcSeedCallback(nullptr, 0), 0);
    EXPECT_TRUE(samePool(vc::randomPoolSnapshot(), vc::RandomPool{}));
    ASSERT_EQ(seed(counting(16)), 6);
    const vc::RandomPool before = vc::randomPoolSnapshot();
    const uint8_t unused = 0xEE;
    EXPECT_EQ(vc::vcSeedCallback(&unused, 0), 6);
    EXPECT_EQ(vc::vcSeedCallback(nullptr, 0), 6);
    // A missing buffer is treated as no bytes rather than read.
    EXPECT_EQ(vc::vcSeedCallback(nullptr, 16), 6);
    EXPECT_TRUE(samePool(before, vc::randomPoolSnapshot()));
}

TEST_F(RandomPoolTest, StaysSeededWhateverFollows) {
    seedFully();
    // A flood of identical bytes drags the estimate to nothing (the
    // deduction per byte outgrows what they add); the pool must not fall
    // back to refusing output.
    const Bytes same(100000, 0);
    EXPECT_EQ(seed(same), -1);
    EXPECT_LT(vc::randomEstimateBits(vc::randomPoolSnapshot()), 1024u);
    EXPECT_EQ(vc::randomIsUnseeded(), 0);
    EXPECT_EQ(vc::vcSeedCallback(nullptr, 0), -1);
}

TEST_F(RandomPoolTest, RandomSeedFileSizedInputSeedsInOneCall) {
    std::mt19937 rng(512);
    EXPECT_EQ(seed(randomBytesFrom(rng, 512)), -1);
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(pool.ringWraps, 2u);
    EXPECT_EQ(pool.ringPos, 2u);
    const uint32_t bits = vc::randomEstimateBits(pool);
    EXPECT_GE(bits, 3800u);
    EXPECT_LE(bits, 3900u);
}

TEST_F(RandomPoolTest, FirstSeedDigestIsMd5OfStateRingAndSeed) {
    // On a cleared pool the first chunk hashes 16 zero state bytes, n zero
    // ring bytes and the n seed bytes, and the digest's first n bytes land
    // in the ring.
    const Bytes data = {'s', 'e', 'e', 'd', '!'};
    ASSERT_EQ(seed(data), 0);  // 9 bits so far: 0 percent
    Bytes message(16 + 5, 0);
    message.insert(message.end(), data.begin(), data.end());
    uint8_t expected[16];
    MD5(message.data(), message.size(), expected);
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(std::memcmp(pool.digestState, expected, 16), 0);
    EXPECT_EQ(std::memcmp(pool.ring, expected, 5), 0);
    EXPECT_EQ(pool.ring[5], 0);
    EXPECT_EQ(pool.byteHistogram['e'], 2u);
    EXPECT_EQ(pool.ringPos, 5u);
}

TEST_F(RandomPoolTest, SeedingMatchesReferenceModelAcrossRingWraps) {
    // Call sizes that straddle chunk and ring boundaries in every way.
    std::mt19937 rng(20261205);
    ModelPool model;
    for (int call = 0; call < 300; ++call) {
        const Bytes data = randomBytesFrom(rng, rng() % 70);
        seed(data);
        model.absorb(data);
    }
    model.expectMatches(vc::randomPoolSnapshot());
}

// ---- Output ----

TEST_F(RandomPoolTest, RefusesOutputUntilSeeded) {
    for (const uint32_t fed : {0u, 254u}) {
        seed(counting(fed));
        const vc::RandomPool before = vc::randomPoolSnapshot();
        Bytes out(40, 0xA5);
        EXPECT_EQ(vc::randomBytes(out.data(), 40), 1) << fed << " bytes fed";
        EXPECT_EQ(vc::randomBytes(out.data(), 0), 1);
        EXPECT_EQ(out, Bytes(40, 0xA5));
        EXPECT_TRUE(samePool(before, vc::randomPoolSnapshot()));
    }
}

TEST_F(RandomPoolTest, NullOutputIsRefusedWithoutChangingThePool) {
    seedFully();
    const vc::RandomPool before = vc::randomPoolSnapshot();
    EXPECT_EQ(vc::randomBytes(nullptr, 4), 1);
    EXPECT_TRUE(samePool(before, vc::randomPoolSnapshot()));
}

TEST_F(RandomPoolTest, NineByteDrawWrapsRingWithoutCountingIt) {
    std::mt19937 rng(9);
    ASSERT_EQ(seed(randomBytesFrom(rng, 255 + 250)), -1);
    const vc::RandomPool before = vc::randomPoolSnapshot();
    ASSERT_EQ(before.ringPos, 250u);
    uint8_t out[9];
    ASSERT_EQ(vc::randomBytes(out, 9), 0);
    const vc::RandomPool after = vc::randomPoolSnapshot();
    EXPECT_EQ(after.ringPos, 4u);
    EXPECT_EQ(after.ringWraps, before.ringWraps);
    EXPECT_EQ(after.outputCounter, before.outputCounter + 1);
    EXPECT_EQ(after.seedTotal, before.seedTotal);
    // Positions 250..254 and 0..3 were stirred, nothing else.
    for (uint32_t i = 0; i < 256; ++i) {
        const bool touched = i >= 250 ? i < 255 : i < 4;
        if (!touched) {
            EXPECT_EQ(after.ring[i], before.ring[i]) << "ring position " << i;
        }
    }
    EXPECT_EQ(after.ring[255], 0);
}

TEST_F(RandomPoolTest, EmptyDrawStillRefreshesTheState) {
    seedFully();
    const vc::RandomPool before = vc::randomPoolSnapshot();
    ASSERT_EQ(vc::randomBytes(nullptr, 0), 0);
    const vc::RandomPool after = vc::randomPoolSnapshot();
    // MD5 of the counter before its increment, little-endian, then the state.
    uint8_t message[20] = {};
    std::memcpy(message + 4, before.digestState, 16);
    uint8_t expected[16];
    MD5(message, sizeof(message), expected);
    EXPECT_EQ(std::memcmp(after.digestState, expected, 16), 0);
    EXPECT_EQ(after.outputCounter, 1u);
    EXPECT_EQ(std::memcmp(after.ring, before.ring, sizeof(before.ring)), 0);
    EXPECT_EQ(after.ringPos, before.ringPos);
}

TEST_F(RandomPoolTest, SuccessiveDrawsDiffer) {
    seedFully();
    uint8_t first[32];
    uint8_t second[32];
    ASSERT_EQ(vc::randomBytes(first, 32), 0);
    ASSERT_EQ(vc::randomBytes(second, 32), 0);
    EXPECT_NE(std::memcmp(first, second, 32), 0);
    // Single bytes too: each call is refreshed, so the same thread within
    // the same second still gets a new value chain.
    std::set<std::array<uint8_t, 8>> eightByteDraws;
    for (int i = 0; i < 1000; ++i) {
        std::array<uint8_t, 8> out;
        ASSERT_EQ(vc::randomBytes(out.data(), 8), 0);
        eightByteDraws.insert(out);
    }
    EXPECT_EQ(eightByteDraws.size(), 1000u);
}

TEST_F(RandomPoolTest, OutputMatchesReferenceModel) {
    std::mt19937 rng(77);
    ModelPool model;
    const Bytes seedData = randomBytesFrom(rng, 300);
    ASSERT_EQ(seed(seedData), -1);
    model.absorb(seedData);
    const uint32_t threadId = vc::platformThreadId();
    int compared = 0;
    for (int draw = 0; draw < 400; ++draw) {
        const uint32_t count = rng() % 41;
        Bytes out(count);
        const uint32_t secondsBefore = vc::platformTimeSeconds();
        ASSERT_EQ(vc::randomBytes(out.data(), count), 0);
        if (vc::platformTimeSeconds() != secondsBefore) {
            // The clock ticked mid-draw: resynchronise the model and go on.
            const vc::RandomPool now = vc::randomPoolSnapshot();
            std::memcpy(model.ring, now.ring, sizeof(model.ring));
            std::memcpy(model.digest, now.digestState, 16);
            model.ringPos = now.ringPos;
            model.outputCounter = now.outputCounter;
            continue;
        }
        EXPECT_EQ(model.draw(count, threadId, secondsBefore), out) << "draw " << draw;
        ++compared;
    }
    EXPECT_GT(compared, 300);
    model.expectMatches(vc::randomPoolSnapshot());
}

// ---- Several host threads at once ----

TEST_F(RandomPoolTest, ConcurrentDrawsAreAllDistinct) {
    seedFully();
    constexpr int THREADS = 4;
    constexpr int DRAWS = 500;
    using Draw = std::array<uint8_t, 16>;
    std::vector<std::vector<Draw>> results(THREADS);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&results, t] {
            for (int i = 0; i < DRAWS; ++i) {
                Draw out;
                if (vc::randomBytes(out.data(), 16) != 0) {
                    return;
                }
                results[static_cast<std::size_t>(t)].push_back(out);
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
    std::set<Draw> all;
    for (const auto& perThread : results) {
        ASSERT_EQ(perThread.size(), static_cast<std::size_t>(DRAWS));
        all.insert(perThread.begin(), perThread.end());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(THREADS * DRAWS));
    EXPECT_EQ(vc::randomPoolSnapshot().outputCounter, static_cast<uint32_t>(THREADS * DRAWS));
}

#if !defined(_WIN32)
TEST_F(RandomPoolTest, ForkedChildDrawsDifferentBytesThanItsParent) {
    seedFully();
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
