// Start-up from a seed file: which paths count as absolute, which files are
// accepted, that exactly the first 512 bytes are used in one callback call,
// and what the library state is after a successful or failed start-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

#include "api/library_state.h"
#include "crypto/random_pool.h"
#include "entropy/entropy.h"
#include "support/test_vectors.h"
#include "veilcastnet.h"

namespace {

namespace fs = std::filesystem;
using vctest::Bytes;

Bytes randomFileContent(uint32_t seed, std::size_t size) {
    std::mt19937 rng(seed);
    return vctest::randomData(rng, size);
}

bool samePool(const vc::RandomPool& a, const vc::RandomPool& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Each test gets its own directory, which is also the working directory (so
// relative names resolve inside it), and a terminated library; it leaves the
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
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(savedCwd_);
        fs::remove_all(dir_);
        vcTerminate();
        vc::randomPoolRestore(savedPool_);
        vc::libraryInitialized.store(savedInitialized_);
    }

    // Writes dir/name (creating its parent) and returns the absolute path.
    std::string write(const std::string& name, const Bytes& content) {
        const fs::path path = dir_ / name;
        fs::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        EXPECT_TRUE(file.good());
        return path.string();
    }

    static int32_t initialize(const char* path) {
        return vcInitialize(nullptr, nullptr, nullptr, nullptr, path);
    }
    static int32_t initialize(const std::string& path) { return initialize(path.c_str()); }

    // Client context with neither own credentials nor CA certificates: it
    // gets past the start-up check only on a seeded, initialised library.
    static int32_t createBareClientContext() {
        VcContext* out = reinterpret_cast<VcContext*>(0x1);
        const int32_t result =
            vcCreateContext(nullptr, nullptr, nullptr, 0, nullptr, 3, ROLE_CLIENT, &out);
        EXPECT_EQ(out, nullptr);
        return result;
    }

    static void expectLibraryUnusable() {
        EXPECT_EQ(vc::randomIsUnseeded(), 1);
        EXPECT_EQ(createBareClientContext(), VC_NOT_INITIALIZED);
    }

    fs::path dir_;

  private:
    vc::RandomPool savedPool_{};
    int32_t savedInitialized_ = 0;
    fs::path savedCwd_;
};

TEST_F(SeedFileStartUp, RefusedPathsAndFiles) {
    const Bytes good = randomFileContent(2, 512);
    // Readable 512-byte files under relative names: a drive form needs both
    // the colon and the separator.
    for (const char* name : {"seed", "1:seed", "ab:/seed"}) {
        write(name, good);
    }
    write("short0", {});
    write("short1", randomFileContent(3, 1));
    write("short511", randomFileContent(4, 511));
    write("zeros", Bytes(512, 0));
    fs::create_directory(dir_ / "folder");
    // Paths and the number of bytes that reached the pool before the refusal.
    const std::string in = dir_.string() + "/";
    const std::pair<std::optional<std::string>, uint32_t> rows[] = {
        {"seed", 0},
        {"./seed", 0},
        {"", 0},
        {"1:seed", 0},
        {"ab:/seed", 0},
        {in + "short0", 0},
        {in + "short1", 0},
        {in + "short511", 0},
        {in + "absent", 0},
        {in + "folder", 0},
        {"1:\\absent", 0},
        {std::nullopt, 0},
        // Read and mixed in, but 512 equal bytes carry no entropy.
        {in + "zeros", 512}};
    for (const auto& [path, seedTotal] : rows) {
        SCOPED_TRACE(path.value_or("(no path)"));
        EXPECT_EQ(initialize(path ? path->c_str() : nullptr), VC_INITIALIZATION_FAILED);
        EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, seedTotal);
        expectLibraryUnusable();
    }
}

TEST_F(SeedFileStartUp, AcceptedPathsAndFiles) {
    // On this system the backslash and drive forms are relative names that
    // resolve inside the test directory: a successful start-up shows the
    // path passed the rule. The first character of a drive form need not be
    // a letter, and a longer file gives its first 512 bytes.
    const Bytes good = randomFileContent(6, 512);
    for (const char* name : {"\\seed", "Z:/seed", "1:\\seed", "Z:\\seed", "?:/seed"}) {
        write(name, good);
    }
    const std::string paths[] = {"\\seed",
                                 "Z:/seed",
                                 "1:\\seed",
                                 "Z:\\seed",
                                 "?:/seed",
                                 write("abs", good),
                                 write("long", randomFileContent(5, 600))};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        vcTerminate();
        EXPECT_EQ(initialize(path), VC_OK);
        EXPECT_EQ(vc::randomIsUnseeded(), 0);
        const vc::RandomPool pool = vc::randomPoolSnapshot();
        EXPECT_EQ(pool.seedTotal, 512u);
        EXPECT_EQ(pool.ringWraps, 2u);
        EXPECT_EQ(pool.ringPos, 2u);
        EXPECT_EQ(createBareClientContext(), VC_NO_CA_CERTIFICATES);
    }
}

TEST_F(SeedFileStartUp, SecondInitializeTerminateAndRestart) {
    const std::string path = write("seed", randomFileContent(7, 512));
    ASSERT_EQ(initialize(path), VC_OK);
    const vc::RandomPool seeded = vc::randomPoolSnapshot();

    // While initialised, the file is not read again, whatever it has become.
    fs::remove(path);
    EXPECT_EQ(initialize(path), VC_OK);
    write("seed", Bytes(3, 0));
    EXPECT_EQ(initialize(path), VC_OK);
    EXPECT_EQ(initialize("relative"), VC_OK);
    EXPECT_TRUE(samePool(seeded, vc::randomPoolSnapshot()));

    // Terminating stops new contexts but leaves the pool as it is.
    uint8_t drawn[16];
    ASSERT_EQ(vc::randomBytes(drawn, sizeof(drawn)), 0);
    const vc::RandomPool used = vc::randomPoolSnapshot();
    vcTerminate();
    EXPECT_EQ(createBareClientContext(), VC_NOT_INITIALIZED);
    EXPECT_EQ(vc::randomIsUnseeded(), 0);
    EXPECT_TRUE(samePool(used, vc::randomPoolSnapshot()));

    // A restart clears the pool before seeding it again ...
    ASSERT_EQ(initialize(write("second", randomFileContent(11, 512))), VC_OK);
    EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 512u);
    EXPECT_EQ(vc::randomPoolSnapshot().outputCounter, 0u);
    // ... and a failed one leaves it cleared and unseeded.
    vcTerminate();
    EXPECT_EQ(initialize(write("third", Bytes(100, 1))), VC_INITIALIZATION_FAILED);
    EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 0u);
    expectLibraryUnusable();
    EXPECT_EQ(vc::randomBytes(drawn, sizeof(drawn)), 1);
}

// ---- The gatherer's contract with its callback ----

std::vector<Bytes> recordedCalls;
int32_t recordedAnswer = -1;

int32_t recordingCallback(const uint8_t* data, uint32_t count) {
    recordedCalls.emplace_back(data, data + count);
    return recordedAnswer;
}

TEST_F(SeedFileStartUp, GatherHandsOverFirst512BytesOnceAndNeedsANegativeAnswer) {
    const Bytes content = randomFileContent(12, 700);
    const std::string path = write("seed", content);
    recordedCalls.clear();
    for (const int32_t answer : {0, 1, 99, 100, -1, -5, INT32_MIN}) {
        SCOPED_TRACE(answer);
        recordedAnswer = answer;
        EXPECT_EQ(
            vc::entropyGather(nullptr, nullptr, nullptr, nullptr, path.c_str(), recordingCallback),
            answer < 0 ? 0 : 1);
    }
    ASSERT_EQ(recordedCalls.size(), 7u);
    for (const Bytes& call : recordedCalls) {
        EXPECT_EQ(call, Bytes(content.begin(), content.begin() + 512));
    }
    EXPECT_EQ(vc::entropyGather(nullptr, nullptr, nullptr, nullptr, path.c_str(), nullptr), 1);
}

}  // namespace
