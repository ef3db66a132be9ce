// What the vector kernels of triple-DES decryption (des_wide.cpp,
// des_avx2.cpp) share outside their instructions: the key's share of each
// table index, per round in the order the rounds run, and the walk over the
// input a batch at a time. (Their rounds are des_plane_rounds.inc.)
// Included by those two files only.
#pragma once

#include <cstdint>

#include "support/secure_wipe.h"

namespace vc::des_planes {

// The six index bits of table t within a half in the rotated layout (see
// feistelRound in des.cpp): t even from the first subkey view, t odd from
// the second. Extraction is linear, so it gives the key's share of each
// index as well.
constexpr uint32_t indexBits(unsigned t, uint32_t x) {
    switch (t) {
        case 0:
            return (x >> 2) & 63u;
        case 1:
            return (x >> 6) & 63u;
        case 2:
            return (x >> 10) & 63u;
        case 3:
            return (x >> 14) & 63u;
        case 4:
            return (x >> 18) & 63u;
        case 5:
            return (x >> 22) & 63u;
        case 6:
            return (x >> 26) & 63u;
        default:
            return ((x >> 30) | (x << 2)) & 63u;
    }
}

// The key shares of the 48 rounds in the order they run, each repeated in
// all four bytes of a word so that it broadcasts to every byte lane.
// Key material: wiped after use.
struct WideKeys {
    uint32_t round[48][8];
};

inline void wideKeys(const uint32_t* s1, const uint32_t* s2, const uint32_t* s3, WideKeys* keys) {
    const uint32_t* passes[3] = {s3, s2, s1};
    for (unsigned pass = 0; pass < 3; ++pass) {
        const bool decrypt = pass != 1;
        for (unsigned r = 0; r < 16; ++r) {
            const uint32_t* subkey = passes[pass] + 2 * (decrypt ? 15 - r : r);
            for (unsigned t = 0; t < 8; ++t) {
                keys->round[16 * pass + r][t] = indexBits(t, subkey[t % 2]) * 0x01010101u;
            }
        }
    }
}

// Decrypts `blocks` blocks with Batch, which takes up to BATCH of them at
// once and chains from (v0, v1) as desDecryptWide does; the key shares are
// made once for all batches, and wiped.
template <uint32_t BATCH, auto Batch>
inline void decryptInBatches(const uint8_t* input, uint8_t* output, uint32_t blocks,
                             const uint32_t* s1, const uint32_t* s2, const uint32_t* s3,
                             uint32_t& v0, uint32_t& v1) noexcept {
    WideKeys keys;
    const WipeOnExit wipeKeys(keys);
    wideKeys(s1, s2, s3, &keys);
    for (uint32_t done = 0; done < blocks; done += BATCH) {
        const uint32_t count = blocks - done < BATCH ? blocks - done : BATCH;
        Batch(input + 8 * done, output + 8 * done, count, keys, v0, v1);
    }
}

}  // namespace vc::des_planes
