// Start-up from a seed file: which paths count as absolute, which files are
// accepted, that exactly the first 512 bytes are used in one callback call,
// and what the library state is after a successful or failed start-up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/library_state.h"
#include "crypto/random_pool.h"
#include "entropy/entropy.h"
#include "support/test_vectors.h"
#include "veilcastnet.h"

namespace {

namespace fs = std::filesystem;
using namespace vctest;

// Each test gets its own directory, which is also the working directory (so
// relative names resolve inside it), and a terminated library; it leaves the
// working directory as it found it.
class SeedFileStartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        savedCwd_ = fs::current_path();
        // Without a seed file start-up turns to the window; with no display
        // to show it on, that fails at once, as the "(none)" row expects.
        if (const char* display = std::getenv("DISPLAY")) {
            savedDisplay_ = display;
        }
        unsetenv("DISPLAY");
        vcTerminate();
        std::string pattern = (fs::temp_directory_path() / "vcseedXXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(savedCwd_);
        if (!savedDisplay_.empty()) {
            setenv("DISPLAY", savedDisplay_.c_str(), 1);
        }
        fs::remove_all(dir_);
        vcTerminate();
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
    std::mt19937 rng_{2};  // random file content, the same in every run

  private:
    SavedLibraryState saved_;
    fs::path savedCwd_;
    std::string savedDisplay_;
};

// The files and paths of seed_file.vec.
TEST_F(SeedFileStartUp, PathsAndFiles) {
    for (const auto& line : readVec("seed_file.vec", "File")) {
        const std::vector<std::string> content = readFields(line.value);
        const std::size_t size = std::stoul(content.at(0));
        write(line.fields.at(1),
              content.at(1) == "zeros" ? Bytes(size, 0) : randomData(rng_, size));
    }
    fs::create_directory(dir_ / readVec("seed_file.vec", "Folder").at(0).fields.at(1));
    for (const auto& row : readVec("seed_file.vec", "Path", 20)) {
        std::string path = row.fields.at(1);
        SCOPED_TRACE(path);
        if (path.rfind("@/", 0) == 0) {
            path = (dir_ / path.substr(2)).string();
        }
        const std::vector<std::string> want = readFields(row.value);
        vcTerminate();
        EXPECT_EQ(initialize(path == "(none)"    ? nullptr
                             : path == "(empty)" ? ""
                                                 : path.c_str()),
                  std::stoi(want.at(0)));
        const vc::RandomPool pool = vc::randomPoolSnapshot();
        EXPECT_EQ(pool.seedTotal, std::stoul(want.at(1)));
        if (want[0] != "0") {
            expectLibraryUnusable();
            continue;
        }
        EXPECT_EQ(vc::randomIsUnseeded(), 0);
        EXPECT_EQ(createBareClientContext(), VC_NO_CA_CERTIFICATES);
    }
}

TEST_F(SeedFileStartUp, SecondInitializeTerminateAndRestart) {
    const std::string path = write("seed", randomData(rng_, 512));
    ASSERT_EQ(initialize(path.c_str()), VC_OK);
    const vc::RandomPool seeded = vc::randomPoolSnapshot();

    // While initialised, neither the file nor the path is looked at again.
    fs::remove(path);
    EXPECT_EQ(initialize(path.c_str()), VC_OK);
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
    ASSERT_EQ(initialize(write("second", randomData(rng_, 512)).c_str()), VC_OK);
    EXPECT_EQ(vc::randomPoolSnapshot().seedTotal, 512u);
    EXPECT_EQ(vc::randomPoolSnapshot().outputCounter, 0u);
    // ... and a failed one leaves it cleared and unseeded.
    vcTerminate();
    EXPECT_EQ(initialize(write("third", Bytes(100, 1)).c_str()), VC_INITIALIZATION_FAILED);
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
    const Bytes content = randomData(rng_, 700);
    const std::string path = write("seed", content);
    recordedCalls.clear();
    for (const int32_t answer : {0, 1, 99, 100, -1, -5, INT32_MIN}) {
        SCOPED_TRACE(answer);
        recordedAnswer = answer;
        EXPECT_EQ(
            vc::entropyGather(nullptr, nullptr, nullptr, nullptr, path.c_str(), recordingCallback),
            answer < 0 ? 0 : 1);
    }
    EXPECT_EQ(recordedCalls, std::vector<Bytes>(7, Bytes(content.begin(), content.begin() + 512)));
    EXPECT_EQ(vc::entropyGather(nullptr, nullptr, nullptr, nullptr, path.c_str(), nullptr), 1);
}

}  // namespace
