// DES (FIPS 46-3) and triple-DES EDE3 in CBC mode. No single-DES entry
// point. Key schedules are key material: callers wipe them.
#pragma once

#include <cstdint>

namespace vc {

// 16 rounds of two pre-arranged subkey words each.
struct DesKeySchedule {
    uint32_t subkeys[32];
};

// The parity bit (low bit) of each key byte is ignored.
void desSetKey(const uint8_t key[8], DesKeySchedule* schedule) noexcept;

// The 16 Feistel rounds on halves already through the initial permutation.
// encrypt != 0 applies subkeys 1..16, otherwise 16..1.
void desCore(uint32_t* left, uint32_t* right, const DesKeySchedule* schedule, int encrypt) noexcept;

// floor(length / 8) blocks; lengths below 8 (or negative) do nothing. Input
// and output may alias. The IV receives the last ciphertext block processed.
void desEde3CbcCrypt(const uint8_t* input, uint8_t* output, int32_t length,
                     const DesKeySchedule* k1, const DesKeySchedule* k2, const DesKeySchedule* k3,
                     uint8_t iv[8], int encrypt) noexcept;

}  // namespace vc
