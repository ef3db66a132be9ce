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
// i = 0..63. Pasted rather than derived: sin() is not usable in constant
// expressions. Visible so that a test can recompute them, and constant
// here so that every compression, the stitched one too, takes them as
// immediates.
inline constexpr uint32_t MD5_STEP_CONSTANTS[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void md5Init(Md5Context* context) noexcept;
// Any split of the input over any number of calls gives the same digest;
// data need not be aligned.
void md5Update(Md5Context* context, const void* data, uint32_t length) noexcept;
// Output first: writes the 16-byte digest. A..D and the bit count are left
// as they are, so the context must be re-initialised before reuse.
void md5Final(uint8_t digest[16], Md5Context* context) noexcept;
// One compression of 16 little-endian message words into a..d.
void md5Transform(Md5Context* context, const uint32_t words[16]) noexcept;

// The longest message md5Short takes: with the padding byte and the 8-byte
// length it fills one block.
constexpr uint32_t MD5_SHORT_MAX = 55;
// The digest of a message of at most MD5_SHORT_MAX bytes in one
// compression, without a context; the block it builds is wiped.
void md5Short(const uint8_t* data, uint32_t length, uint8_t digest[16]) noexcept;

}  // namespace vc
