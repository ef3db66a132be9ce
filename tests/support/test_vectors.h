// What the primitive tests share: reading the known-answer files under
// tests/data, hex conversion, reproducible random data and splits, and a
// freshly seeded random pool. Test-only; nothing here is linked into the
// library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "api/library_state.h"
#include "crypto/random_pool.h"
#include "entropy/entropy.h"

namespace vctest {

using Bytes = std::vector<uint8_t>;

// An object released by its own C free function, such as OpenSSL's.
template <auto Free>
struct Freer {
    template <typename T>
    void operator()(T* object) const {
        Free(object);
    }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, Freer<Free>>;

inline Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const uint8_t* data, std::size_t length) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        out += DIGITS[data[i] >> 4];
        out += DIGITS[data[i] & 15];
    }
    return out;
}

inline std::string toHex(const Bytes& data) {
    return toHex(data.data(), data.size());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// One line of a .vec file. "Name 12 = value" gives fields {"Name", "12"}
// and value "value" (without surrounding double quotes); a line without
// " = " gives its whitespace-separated fields and an empty value. The text
// is the whole line, for traces.
struct VecLine {
    std::vector<std::string> fields;
    std::string value;
    std::string text;
};

inline std::vector<std::string> readFields(const std::string& text) {
    std::istringstream words(text);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) {
        fields.push_back(word);
    }
    return fields;
}

// The whole of tests/data/<name>.
inline std::string dataFile(const std::string& name) {
    std::ifstream file(std::string(VC_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file.is_open()) << "cannot open test data " << name;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The lines of tests/data/<name> that are neither blank nor '#' comments;
// with a kind, only those whose first field it is. With a count, exactly
// that many must be found, so that a truncated file cannot pass quietly.
inline std::vector<VecLine> readVec(const std::string& name, const std::string& kind = "",
                                    std::size_t count = 0) {
    std::istringstream file(dataFile(name));
    std::vector<VecLine> lines;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        VecLine parsed;
        parsed.text = line;
        const std::size_t equals = line.find(" = ");
        if (equals != std::string::npos) {
            parsed.value = line.substr(equals + 3);
            if (parsed.value.size() >= 2 && parsed.value.front() == '"' &&
                parsed.value.back() == '"') {
                parsed.value = parsed.value.substr(1, parsed.value.size() - 2);
            }
            line.resize(equals);
        }
        parsed.fields = readFields(line);
        if (kind.empty() || parsed.fields.at(0) == kind) {
            lines.push_back(parsed);
        }
    }
    if (count != 0) {
        EXPECT_EQ(lines.size(), count) << name << " " << kind;
    }
    return lines;
}

// With nonZero, bytes 1..255 only (padding that must not hold a zero).
inline Bytes randomData(std::mt19937& rng, std::size_t length, bool nonZero = false) {
    Bytes out(length);
    for (uint8_t& b : out) {
        b = static_cast<uint8_t>(nonZero ? 1 + rng() % 255 : rng());
    }
    return out;
}

// Random piece sizes that add up to length: multiples of granule (length
// must be one), at most maxPiece granules each, empty pieces included when
// allowEmpty is set so that zero-length calls are exercised too.
inline std::vector<std::size_t> randomSplit(std::mt19937& rng, std::size_t length,
                                            std::size_t maxPiece, std::size_t granule = 1,
                                            bool allowEmpty = false) {
    std::vector<std::size_t> pieces;
    for (std::size_t left = length / granule; left > 0;) {
        const std::size_t lowest = allowEmpty ? 0 : 1;
        const std::size_t take = std::min(left, lowest + rng() % maxPiece);
        pieces.push_back(take * granule);
        left -= take;
    }
    return pieces;
}

// Puts the process's random pool and start-up flag back as a test found
// them when it ends, so other suites in the same program see no difference.
class SavedLibraryState {
  public:
    SavedLibraryState() : pool_(vc::randomPoolSnapshot()), initialized_(vc::libraryInitialized) {}
    ~SavedLibraryState() {
        vc::randomPoolRestore(pool_);
        vc::libraryInitialized.store(initialized_);
    }
    SavedLibraryState(const SavedLibraryState&) = delete;
    SavedLibraryState& operator=(const SavedLibraryState&) = delete;

  private:
    vc::RandomPool pool_;
    int32_t initialized_;
};

inline bool samePool(const vc::RandomPool& a, const vc::RandomPool& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Initialisation clears the pool before it looks at the seed path, and a
// relative path then fails without seeding anything.
inline void clearPool() {
    ASSERT_EQ(vc::randomInitialize(nullptr, nullptr, nullptr, nullptr, "relative.seed"), 1);
    ASSERT_TRUE(samePool(vc::randomPoolSnapshot(), vc::RandomPool{}));
}

// A cleared pool seeded with 255 distinct bytes, enough for the entropy
// goal and one wrap of the ring.
inline void seedPool() {
    clearPool();
    uint8_t seed[255];
    std::iota(seed, seed + sizeof seed, uint8_t{0});
    ASSERT_EQ(vc::vcSeedCallback(seed, sizeof seed), -1) << "pool did not seed";
}

// A test on a freshly seeded pool with the library marked as started; both
// are put back afterwards.
class SeededLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        seedPool();
        vc::libraryInitialized.store(1);
    }
    SavedLibraryState saved_;
};

}  // namespace vctest
