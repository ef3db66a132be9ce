// The random generator: progress values of the seeding estimate, refusal
// before seeding, the ring bookkeeping of output, a reference model on
// OpenSSL's MD5 that pins the exact mixing of seed bytes and output, and
// draws from several threads and from a forked child. The model is built
// only where OpenSSL is linked (VC_TEST_OPENSSL).
#include <gtest/gtest.h>
#if defined(VC_TEST_OPENSSL)
#include <openssl/md5.h>
#endif

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <set>
#include <thread>

#include "crypto/random_pool.h"
#include "support/platform.h"
#include "support/test_vectors.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace vctest;

Bytes counting(uint32_t count, std::size_t modulus) {
    Bytes bytes(count);
    for (uint32_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i % modulus);
    }
    return bytes;
}

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
        const Bytes data = f[1] == "random"  ? randomData(rng, count)
                           : f[1] == "equal" ? Bytes(count, 0x41)
                                             : counting(count, std::stoul(f.at(3)));
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

// ---- Output ----

#if defined(VC_TEST_OPENSSL)

// Independent model of the pool on OpenSSL's MD5, written from the
// algorithm's description. It keeps its state in a RandomPool so that whole
// states can be compared.
struct ModelPool {
    vc::RandomPool p{};

    // The next n ring bytes from the ring position, without moving it.
    Bytes ring(uint32_t n) const {
        Bytes out;
        for (uint32_t i = 0; i < n; ++i) {
            out.push_back(p.ring[(p.ringPos + i) % 255]);
        }
        return out;
    }
    static Bytes le32(uint32_t v) {
        return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    }
    Bytes digest(std::size_t from, std::size_t to) const {
        return Bytes(p.digestState + from, p.digestState + to);
    }
    // The digest state becomes the MD5 of the parts in order.
    void hash(std::initializer_list<Bytes> parts) {
        const Bytes all = concat(parts);
        MD5(all.data(), all.size(), p.digestState);
    }
    // XORs the first n digest bytes into the ring; only seeding counts wraps.
    void stir(uint32_t n, bool seeding) {
        for (uint32_t i = 0; i < n; ++i) {
            p.ring[p.ringPos] ^= p.digestState[i];
            p.ringPos = (p.ringPos + 1) % 255;
            p.ringWraps += seeding && p.ringPos == 0 ? 1 : 0;
        }
    }
    void absorb(const Bytes& data) {
        for (std::size_t at = 0; at < data.size(); at += 16) {
            const Bytes chunk(data.begin() + long(at),
                              data.begin() + long(std::min(at + 16, data.size())));
            const auto n = static_cast<uint32_t>(chunk.size());
            hash({digest(0, 16), ring(n), chunk});
            for (const uint8_t b : chunk) {
                ++p.byteHistogram[b];
            }
            stir(n, true);
            p.seedTotal += n;
        }
    }
    Bytes draw(uint32_t count, uint32_t threadId, uint32_t seconds) {
        Bytes out;
        for (uint32_t at = 0; at < count; at += 8) {
            const uint32_t n = std::min<uint32_t>(8, count - at);
            hash({digest(8, 16), ring(n), le32(threadId), le32(seconds)});
            stir(n, false);
            out.insert(out.end(), p.digestState + 8, p.digestState + 8 + n);
        }
        hash({le32(p.outputCounter++), digest(0, 16)});
        return out;
    }
    // Everything but the seeded flag (and the padding after it).
    void expectMatches(const vc::RandomPool& pool) const {
        EXPECT_EQ(std::memcmp(&pool, &p, offsetof(vc::RandomPool, seeded)), 0);
    }
};

TEST_F(RandomPoolTest, SeedingAndOutputMatchReferenceModel) {
    // Seed call sizes straddle chunk and ring boundaries in every way.
    std::mt19937 rng(20261205);
    ModelPool model;
    for (int call = 0; call < 300; ++call) {
        const Bytes data = randomData(rng, rng() % 70);
        seed(data);
        model.absorb(data);
    }
    model.expectMatches(vc::randomPoolSnapshot());
    ASSERT_EQ(vc::randomIsUnseeded(), 0);

    // First an empty draw (which still refreshes the state), 9 bytes (two
    // chunks), two of 32; then random sizes of 0..40. The model pins each
    // draw's bytes and, through them and the final comparison, the ring
    // position, the wrap count that output leaves alone, the counter and
    // the refreshed digest state.
    const uint32_t threadId = vc::platformThreadId();
    const uint32_t firstCounts[] = {0, 9, 32, 32};
    int compared = 0;
    for (uint32_t draw = 0; draw < 400; ++draw) {
        SCOPED_TRACE(draw);
        const uint32_t count = draw < 4 ? firstCounts[draw] : rng() % 41;
        Bytes out(count);
        const uint32_t secondsBefore = vc::platformTimeSeconds();
        ASSERT_EQ(vc::randomBytes(out.data(), count), 0);
        if (vc::platformTimeSeconds() != secondsBefore) {
            model.p = vc::randomPoolSnapshot();  // the clock ticked mid-draw: resynchronise
            continue;
        }
        EXPECT_EQ(model.draw(count, threadId, secondsBefore), out);
        model.expectMatches(vc::randomPoolSnapshot());
        ++compared;
    }
    EXPECT_GT(compared, 300);
    model.expectMatches(vc::randomPoolSnapshot());
}

#endif  // VC_TEST_OPENSSL

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
