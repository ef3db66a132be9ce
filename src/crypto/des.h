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

// Processor-specific kernels, by bit: decryption in AVX-512 VBMI registers,
// 64 blocks at once (des_wide.cpp), and in AVX2 registers, 32 at once
// (des_avx2.cpp). The first of them the processor has and the caller allows
// runs; everything is allowed unless desAllowKernels narrows it, which
// tests do to run each path on a processor that has the faster ones.
// Results are the same whichever runs.
constexpr uint32_t DES_KERNEL_WIDE = 1;
constexpr uint32_t DES_KERNEL_AVX2 = 2;
constexpr uint32_t DES_KERNELS_ALL = DES_KERNEL_WIDE | DES_KERNEL_AVX2;
void desAllowKernels(uint32_t mask) noexcept;
// Whether this processor and build have each kernel.
bool desWideAvailable() noexcept;
bool desAvx2Available() noexcept;
// CBC decryption of `blocks` whole blocks under the three subkey arrays,
// (v0, v1) the chaining value as loaded little-endian, left as the last
// ciphertext block. Output may equal input. Answers false, having done
// nothing, where no vector kernel is present and allowed or where `blocks`
// is too few for it to pay.
bool desDecryptWide(const uint8_t* input, uint8_t* output, uint32_t blocks, const uint32_t* s1,
                    const uint32_t* s2, const uint32_t* s3, uint32_t& v0, uint32_t& v1) noexcept;
// The AVX2 kernel itself, for desDecryptWide: the processor must have it.
void desDecryptAvx2(const uint8_t* input, uint8_t* output, uint32_t blocks, const uint32_t* s1,
                    const uint32_t* s2, const uint32_t* s3, uint32_t& v0, uint32_t& v1) noexcept;

}  // namespace vc
