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

// Processor-specific kernels, by bit: the AVX-512 VBMI decryption of 64
// blocks at once (des_wide.cpp). Each runs only where cpuid shows it and
// only while allowed; everything is allowed unless desAllowKernels narrows
// it, which tests do to run the portable path on a processor that has the
// wide one. Results are the same whichever runs.
constexpr uint32_t DES_KERNEL_WIDE = 1;
constexpr uint32_t DES_KERNELS_ALL = DES_KERNEL_WIDE;
void desAllowKernels(uint32_t mask) noexcept;
// Whether this processor and build have the wide kernel.
bool desWideAvailable() noexcept;
// CBC decryption of `blocks` whole blocks under the three subkey arrays,
// (v0, v1) the chaining value as loaded little-endian, left as the last
// ciphertext block. Output may equal input. Answers false, having done
// nothing, where the wide kernel is absent or not allowed.
bool desDecryptWide(const uint8_t* input, uint8_t* output, uint32_t blocks, const uint32_t* s1,
                    const uint32_t* s2, const uint32_t* s3, uint32_t& v0, uint32_t& v1) noexcept;

}  // namespace vc
