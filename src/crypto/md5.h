// MD5 message digest (RFC 1321). Plain record, no allocation; callers that
// hash secrets wipe the context themselves after md5Final.
#pragma once

#include <cstdint>

namespace vc {

struct Md5Context {
    uint32_t a, b, c, d;   // chaining words
    uint32_t bitCountLow;  // message length in bits, modulo 2^64
    uint32_t bitCountHigh;
    uint32_t block[16];  // partial block, bytes packed little-endian
    int32_t blockBytes;  // bytes now in block, 0..63
};

// The 64 step constants in step order, floor(abs(sin(i + 1)) * 2^32) for
// i = 0..63. Visible so that a test can recompute them.
extern const uint32_t MD5_STEP_CONSTANTS[64];

void md5Init(Md5Context* context) noexcept;
// Any split of the input over any number of calls gives the same digest;
// data need not be aligned.
void md5Update(Md5Context* context, const void* data, uint32_t length) noexcept;
// Output first: writes the 16-byte digest. A..D and the bit count are left
// as they are, so the context must be re-initialised before reuse.
void md5Final(uint8_t digest[16], Md5Context* context) noexcept;
// One compression of 16 little-endian message words into a..d.
void md5Transform(Md5Context* context, const uint32_t words[16]) noexcept;

}  // namespace vc
