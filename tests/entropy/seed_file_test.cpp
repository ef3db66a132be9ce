// Start-up from a seed file: which paths count as absolute, which files are
// accepted, that exactly the first 512 bytes are used in one callback call,
// and what the library state is after a successful or failed start-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "api/library_state.h"
#include "crypto/random_pool.h"
#include "entropy/entropy.h"
#include "veilcastnet.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes randomFileContent(uint32_t seed, std::size_t size) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    return bytes;
}

bool samePool(const vc::RandomPool& a, const vc::RandomPool& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Each test gets its own directory and a terminated library, and leaves the
// pool, the start-up flag and the working directory as it found them.
class SeedFileStartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        savedPool_ = vc::randomPoolSnapshot();
        savedInitialized_ = vc::libraryInitialized.load();
        savedCwd_ = fs::current_path();
        vcTerminate();
        std::string pattern = (fs::temp_directory_path() / "vcseedXXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::current_path(savedCwd_);
        fs::remove_all(dir_);
        vcTerminate();
        vc::randomPoolRestore(savedPool_);
        vc::libraryInitialized.store(savedInitialized_);
    }

    std::string write(const std::string& name, const Bytes& content) {
        const fs::path path = dir_ / name;
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        EXPECT_TRUE(file.good());
        return path.string();
    }

    static int32_t initialize(const std::string& path) {
        return vcInitialize(nullptr, nullptr, nullptr, nullptr, path.c_str());
    }

    // Client context with neither own credentials nor CA certificates: it
    // gets past the start-up check only on a seeded, initialised library.
    static int32_t createBareClientContext(VcContext** out) {
        *out = reinterpret_cast<VcContext*>(0x1);
        return vcCreateContext(nullptr, nullptr, nullptr, 0, nullptr, 3, ROLE_CLIENT, out);
    }

    static void expectLibraryUnusable() {
        EXPECT_EQ(vc::randomIsUnseeded(), 1);
        VcContext* out = nullptr;
        EXPECT_EQ(createBareClientContext(&out), VC_NOT_INITIALIZED);
        EXPECT_EQ(out, nullptr);
    }

    fs::path dir_;

  private:
    vc::RandomPool savedPool_{};
    int32_t savedInitialized_ = 0;
    fs::path savedCwd_;
};

TEST_F(SeedFileStartUp, RandomFileSeedsThePool) {
    ASSERT_EQ(initialize(write("seed", randomFileContent(1, 512))), VC_OK);
    EXPECT_EQ(vc::randomIsUnseeded(), 0);
    const vc::RandomPool pool = vc::randomPoolSnapshot();
    EXPECT_EQ(pool.seedTotal, 512u);
    EXPECT_EQ(pool.ringWraps, 2u);
    EXPECT_EQ(pool.ringPos, 2u);
    VcContext* out = nullptr;
    EXPECT_EQ(createBareClientContext(&out), VC_NO_CA_CERTIFICATES);
    EXPECT_EQ(out, nullptr);
}

// ---- Files that are refused ----

TEST_F(SeedFileStartUp, RelativePathIsRefusedEvenWhenItWouldOpen) {
    // Every one of these names a readable 512-byte file from the test
    // directory; a drive form needs both the colon and the separator.
    fs::current_path(dir_);
    const Bytes content = randomFileContent(2, 512);
    write("seed", content);
    write("1:seed", content);
    fs::create_directory(dir_ / "ab:");
    write("ab:/seed", content);
    for (const char* path : {"seed", "./seed", "", "1:seed", "ab:/seed"}) {
        EXPECT_EQ(initialize(path), VC_INITIALIZATION_FAILED) << '"' << path << '"';
        // Refused before the file was opened: nothing was mixed in.
        EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 0u);
        expectLibraryUnusable();
    }
}

TEST_F(SeedFileStartUp, ShortFileIsRefused) {
    for (const std::size_t size : {0u, 1u, 511u}) {
        EXPECT_EQ(initialize(write("short", randomFileContent(4, size))), VC_INITIALIZATION_FAILED)
            << size << " bytes";
        EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 0u);
        expectLibraryUnusable();
    }
}

TEST_F(SeedFileStartUp, ZeroFileIsNotEnoughEntropy) {
    EXPECT_EQ(initialize(write("zeros", Bytes(512, 0))), VC_INITIALIZATION_FAILED);
    // The bytes were read and mixed in; they just do not count as entropy.
    EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 512u);
    expectLibraryUnusable();
}

TEST_F(SeedFileStartUp, MissingFileAndDirectoryAreRefused) {
    EXPECT_EQ(initialize((dir_ / "absent").string()), VC_INITIALIZATION_FAILED);
    expectLibraryUnusable();
    EXPECT_EQ(initialize(dir_.string()), VC_INITIALIZATION_FAILED);
    expectLibraryUnusable();
    EXPECT_EQ(initialize("1:\\absent"), VC_INITIALIZATION_FAILED);
    expectLibraryUnusable();
}

// ---- Files that are accepted ----

TEST_F(SeedFileStartUp, LongFileUsesOnlyItsFirst512Bytes) {
    const Bytes content = randomFileContent(5, 600);
    ASSERT_EQ(initialize(write("long", content)), VC_OK);
    const vc::RandomPool fromLong = vc::randomPoolSnapshot();
    EXPECT_EQ(fromLong.seedTotal, 512u);

    vcTerminate();
    const Bytes prefix(content.begin(), content.begin() + 512);
    ASSERT_EQ(initialize(write("prefix", prefix)), VC_OK);
    EXPECT_TRUE(samePool(fromLong, vc::randomPoolSnapshot()));
}

TEST_F(SeedFileStartUp, SeparatorAndDriveFormsCountAsAbsolute) {
    // On this system these names are relative, so each resolves inside the
    // test directory: a successful start-up shows the path passed the rule.
    fs::current_path(dir_);
    fs::create_directory(dir_ / "Z:");
    const Bytes content = randomFileContent(6, 512);
    write("\\seed", content);
    write("Z:/seed", content);
    write("1:\\seed", content);
    write("Z:\\seed", content);
    for (const char* path : {"\\seed", "Z:/seed", "1:\\seed", "Z:\\seed"}) {
        vcTerminate();
        EXPECT_EQ(initialize(path), VC_OK) << path;
        EXPECT_EQ(vc::randomIsUnseeded(), 0) << path;
    }
    vcTerminate();
    EXPECT_EQ(initialize(write("/slash", content)), VC_OK);
}

// ---- Library state around start-up ----

TEST_F(SeedFileStartUp, SecondInitializeDoesNotReadTheFileAgain) {
    const std::string path = write("seed", randomFileContent(7, 512));
    ASSERT_EQ(initialize(path), VC_OK);
    const vc::RandomPool seeded = vc::randomPoolSnapshot();

    fs::remove(path);
    EXPECT_EQ(initialize(path), VC_OK);
    EXPECT_TRUE(samePool(seeded, vc::randomPoolSnapshot()));

    write("seed", randomFileContent(8, 512));
    EXPECT_EQ(initialize(path), VC_OK);
    EXPECT_TRUE(samePool(seeded, vc::randomPoolSnapshot()));

    write("seed", Bytes(3, 0));
    EXPECT_EQ(initialize(path), VC_OK);
    EXPECT_EQ(initialize("relative"), VC_OK);
    EXPECT_TRUE(samePool(seeded, vc::randomPoolSnapshot()));
}

TEST_F(SeedFileStartUp, TerminateStopsContextsButKeepsThePool) {
    ASSERT_EQ(initialize(write("seed", randomFileContent(9, 512))), VC_OK);
    const vc::RandomPool seeded = vc::randomPoolSnapshot();
    vcTerminate();
    VcContext* out = nullptr;
    EXPECT_EQ(createBareClientContext(&out), VC_NOT_INITIALIZED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(vc::randomIsUnseeded(), 0);
    EXPECT_TRUE(samePool(seeded, vc::randomPoolSnapshot()));
}

TEST_F(SeedFileStartUp, RestartClearsThePoolBeforeSeeding) {
    ASSERT_EQ(initialize(write("first", randomFileContent(10, 512))), VC_OK);
    uint8_t drawn[16];
    ASSERT_EQ(vc::randomBytes(drawn, sizeof(drawn)), 0);
    vcTerminate();

    ASSERT_EQ(initialize(write("second", randomFileContent(11, 512))), VC_OK);
    const vc::RandomPool restarted = vc::randomPoolSnapshot();
    EXPECT_EQ(restarted.seedTotal, 512u);
    EXPECT_EQ(restarted.outputCounter, 0u);

    // A failed restart leaves a cleared, unseeded pool behind.
    vcTerminate();
    EXPECT_EQ(initialize(write("third", Bytes(100, 1))), VC_INITIALIZATION_FAILED);
    EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 0u);
    expectLibraryUnusable();
    EXPECT_EQ(vc::randomBytes(drawn, sizeof(drawn)), 1);
}

#if !defined(_WIN32)
TEST_F(SeedFileStartUp, WithoutSeedFileThereIsNoOtherSourceHere) {
    EXPECT_EQ(vcInitialize(nullptr, nullptr, nullptr, nullptr, nullptr), VC_INITIALIZATION_FAILED);
    expectLibraryUnusable();
}
#endif

// ---- The gatherer's contract with its callback ----

struct RecordedCall {
    Bytes data;
};
std::vector<RecordedCall> recordedCalls;
int32_t recordedAnswer = -1;

int32_t recordingCallback(const uint8_t* data, uint32_t count) {
    recordedCalls.push_back({Bytes(data, data + count)});
    return recordedAnswer;
}

class SeedFileGather : public SeedFileStartUp {
  protected:
    void SetUp() override {
        SeedFileStartUp::SetUp();
        recordedCalls.clear();
        recordedAnswer = -1;
    }

    static int32_t gather(const std::string& path) {
        return vc::entropyGather(nullptr, nullptr, nullptr, nullptr, path.c_str(),
                                 recordingCallback);
    }
};

TEST_F(SeedFileGather, HandsOverTheFirst512BytesInOneCall) {
    const Bytes content = randomFileContent(12, 700);
    EXPECT_EQ(gather(write("seed", content)), 0);
    ASSERT_EQ(recordedCalls.size(), 1u);
    EXPECT_EQ(recordedCalls[0].data, Bytes(content.begin(), content.begin() + 512));
}

TEST_F(SeedFileGather, OnlyANegativeAnswerCountsAsSeeded) {
    const std::string path = write("seed", randomFileContent(13, 512));
    for (const int32_t answer : {0, 1, 99, 100}) {
        recordedAnswer = answer;
        EXPECT_EQ(gather(path), 1) << "answer " << answer;
    }
    for (const int32_t answer : {-1, -5, INT32_MIN}) {
        recordedAnswer = answer;
        EXPECT_EQ(gather(path), 0) << "answer " << answer;
    }
    EXPECT_EQ(recordedCalls.size(), 7u);
    EXPECT_EQ(vc::entropyGather(nullptr, nullptr, nullptr, nullptr, path.c_str(), nullptr), 1);
}

}  // namespace
