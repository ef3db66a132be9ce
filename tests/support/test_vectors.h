// What the primitive tests share: reading the known-answer files under
// tests/data, hex conversion, and reproducible random data and splits.
// Test-only; nothing here is linked into the library.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vctest {

using Bytes = std::vector<uint8_t>;

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

// One line of a .vec file. "Name 12 = value" gives fields {"Name", "12"}
// and value "value" (without surrounding double quotes); a line without
// " = " gives its whitespace-separated fields and an empty value.
struct VecLine {
    std::vector<std::string> fields;
    std::string value;
};

// The lines of tests/data/<name> that are neither blank nor '#' comments.
inline std::vector<VecLine> readVec(const std::string& name) {
    std::ifstream file(std::string(VC_TEST_DATA_DIR) + "/" + name);
    if (!file.is_open()) {
        ADD_FAILURE() << "cannot open test data " << name;
    }
    std::vector<VecLine> lines;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        VecLine parsed;
        const std::size_t equals = line.find(" = ");
        if (equals != std::string::npos) {
            parsed.value = line.substr(equals + 3);
            if (parsed.value.size() >= 2 && parsed.value.front() == '"' &&
                parsed.value.back() == '"') {
                parsed.value = parsed.value.substr(1, parsed.value.size() - 2);
            }
            line.resize(equals);
        }
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            parsed.fields.push_back(word);
        }
        lines.push_back(parsed);
    }
    return lines;
}

inline Bytes randomData(std::mt19937& rng, std::size_t length) {
    Bytes out(length);
    for (uint8_t& b : out) {
        b = static_cast<uint8_t>(rng());
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

}  // namespace vctest
