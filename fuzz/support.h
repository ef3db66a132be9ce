// Shared by the fuzz targets: the committed test credentials, a random pool
// put back into one fixed state before every run (the pool also mixes in
// the thread id, so runs are alike within one process, and a target that
// needs genuine messages makes them afresh each run), and a check that
// aborts with the line it was made on.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/random_pool.h"

namespace fuzzsupport {

inline void require(bool condition, const char* what, int line) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check at line %d failed: %s\n", line, what);
        std::abort();
    }
}
#define FUZZ_REQUIRE(condition) fuzzsupport::require((condition), #condition, __LINE__)

// A file of tests/data/credentials, read once; an unreadable file ends the
// run, since every input would otherwise test nothing.
inline std::string credential(const std::string& name) {
    std::ifstream file(std::string(VC_CREDENTIALS_DIR) + "/" + name, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    require(file.good() || file.eof(), name.c_str(), __LINE__);
    require(!text.empty(), name.c_str(), __LINE__);
    return text;
}

// Seeds the pool once, then restores that state on every call.
inline void resetRandomPool() {
    static const vc::RandomPool seeded = [] {
        uint8_t seed[255];
        for (int i = 0; i < 255; ++i) {
            seed[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        vc::vcSeedCallback(seed, sizeof seed);
        require(vc::randomIsUnseeded() == 0, "pool seeded", __LINE__);
        return vc::randomPoolSnapshot();
    }();
    vc::randomPoolRestore(seeded);
}

// Reads the input front to back; past its end every read answers zero.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return size_ > 0 ? (--size_, *data_++) : 0; }
    uint32_t u16() {
        const uint32_t high = byte();
        return (high << 8) | byte();
    }
    // Up to count bytes (fewer at the end of the input).
    const uint8_t* take(size_t count, size_t* taken) {
        *taken = count < size_ ? count : size_;
        const uint8_t* start = data_;
        data_ += *taken;
        size_ -= *taken;
        return start;
    }
    size_t left() const { return size_; }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace fuzzsupport
