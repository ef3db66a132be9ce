// MD5 compression, buffering and padding. Never allocates and never reads
// outside the caller's range; the context is not wiped here, callers that
// hash secrets do that themselves.
#include "crypto/md5.h"

#include <bit>
#include <cstddef>
#include <cstring>

#include "crypto/md5_steps.h"
#include "support/bytes.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

using md5_detail::stepF;
using md5_detail::stepG;
using md5_detail::stepH;
using md5_detail::stepI;
constexpr const uint32_t* K = MD5_STEP_CONSTANTS;

// The 64 steps over 16 message words; state is updated in place.
[[gnu::always_inline]] inline void compress(uint32_t state[4], const uint32_t* x) noexcept {
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];

    a = stepF(a, b, c, d, x[0] + K[0], 7);
    d = stepF(d, a, b, c, x[1] + K[1], 12);
    c = stepF(c, d, a, b, x[2] + K[2], 17);
    b = stepF(b, c, d, a, x[3] + K[3], 22);
    a = stepF(a, b, c, d, x[4] + K[4], 7);
    d = stepF(d, a, b, c, x[5] + K[5], 12);
    c = stepF(c, d, a, b, x[6] + K[6], 17);
    b = stepF(b, c, d, a, x[7] + K[7], 22);
    a = stepF(a, b, c, d, x[8] + K[8], 7);
    d = stepF(d, a, b, c, x[9] + K[9], 12);
    c = stepF(c, d, a, b, x[10] + K[10], 17);
    b = stepF(b, c, d, a, x[11] + K[11], 22);
    a = stepF(a, b, c, d, x[12] + K[12], 7);
    d = stepF(d, a, b, c, x[13] + K[13], 12);
    c = stepF(c, d, a, b, x[14] + K[14], 17);
    b = stepF(b, c, d, a, x[15] + K[15], 22);

    a = stepG(a, b, c, d, x[1] + K[16], 5);
    d = stepG(d, a, b, c, x[6] + K[17], 9);
    c = stepG(c, d, a, b, x[11] + K[18], 14);
    b = stepG(b, c, d, a, x[0] + K[19], 20);
    a = stepG(a, b, c, d, x[5] + K[20], 5);
    d = stepG(d, a, b, c, x[10] + K[21], 9);
    c = stepG(c, d, a, b, x[15] + K[22], 14);
    b = stepG(b, c, d, a, x[4] + K[23], 20);
    a = stepG(a, b, c, d, x[9] + K[24], 5);
    d = stepG(d, a, b, c, x[14] + K[25], 9);
    c = stepG(c, d, a, b, x[3] + K[26], 14);
    b = stepG(b, c, d, a, x[8] + K[27], 20);
    a = stepG(a, b, c, d, x[13] + K[28], 5);
    d = stepG(d, a, b, c, x[2] + K[29], 9);
    c = stepG(c, d, a, b, x[7] + K[30], 14);
    b = stepG(b, c, d, a, x[12] + K[31], 20);

    a = stepH(a, b, c, d, x[5] + K[32], 4);
    d = stepH(d, a, b, c, x[8] + K[33], 11);
    c = stepH(c, d, a, b, x[11] + K[34], 16);
    b = stepH(b, c, d, a, x[14] + K[35], 23);
    a = stepH(a, b, c, d, x[1] + K[36], 4);
    d = stepH(d, a, b, c, x[4] + K[37], 11);
    c = stepH(c, d, a, b, x[7] + K[38], 16);
    b = stepH(b, c, d, a, x[10] + K[39], 23);
    a = stepH(a, b, c, d, x[13] + K[40], 4);
    d = stepH(d, a, b, c, x[0] + K[41], 11);
    c = stepH(c, d, a, b, x[3] + K[42], 16);
    b = stepH(b, c, d, a, x[6] + K[43], 23);
    a = stepH(a, b, c, d, x[9] + K[44], 4);
    d = stepH(d, a, b, c, x[12] + K[45], 11);
    c = stepH(c, d, a, b, x[15] + K[46], 16);
    b = stepH(b, c, d, a, x[2] + K[47], 23);

    a = stepI(a, b, c, d, x[0] + K[48], 6);
    d = stepI(d, a, b, c, x[7] + K[49], 10);
    c = stepI(c, d, a, b, x[14] + K[50], 15);
    b = stepI(b, c, d, a, x[5] + K[51], 21);
    a = stepI(a, b, c, d, x[12] + K[52], 6);
    d = stepI(d, a, b, c, x[3] + K[53], 10);
    c = stepI(c, d, a, b, x[10] + K[54], 15);
    b = stepI(b, c, d, a, x[1] + K[55], 21);
    a = stepI(a, b, c, d, x[8] + K[56], 6);
    d = stepI(d, a, b, c, x[15] + K[57], 10);
    c = stepI(c, d, a, b, x[6] + K[58], 15);
    b = stepI(b, c, d, a, x[13] + K[59], 21);
    a = stepI(a, b, c, d, x[4] + K[60], 6);
    d = stepI(d, a, b, c, x[11] + K[61], 10);
    c = stepI(c, d, a, b, x[2] + K[62], 15);
    b = stepI(b, c, d, a, x[9] + K[63], 21);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

// The chaining words before the first block (RFC 1321, 3.3).
constexpr uint32_t INITIAL_STATE[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Compresses `count` whole blocks straight from the caller's bytes, with the
// chaining words kept in a local array between blocks.
void compressBlocks(Md5Context* context, const uint8_t* data, std::size_t count) noexcept {
    uint32_t state[4] = {context->a, context->b, context->c, context->d};
    uint32_t words[16];
    for (; count != 0; --count, data += 64) {
        for (int i = 0; i < 16; ++i) {
            words[i] = loadLe32(data + 4 * i);
        }
        compress(state, words);
    }
    context->a = state[0];
    context->b = state[1];
    context->c = state[2];
    context->d = state[3];
}

// Packs n bytes into the block starting at byte position `offset`
// (offset + n <= 64). A word's lowest byte is always written before its
// others, so assigning it clears whatever an earlier message left there.
void packBytes(uint32_t block[16], uint32_t offset, const uint8_t* data, uint32_t n) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(reinterpret_cast<uint8_t*>(block) + offset, data, n);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t position = offset + i;
            const uint32_t shift = 8u * (position & 3u);
            const uint32_t value = static_cast<uint32_t>(data[i]) << shift;
            block[position >> 2] = shift == 0 ? value : (block[position >> 2] | value);
        }
    }
}

// Clears every block byte from position `used` to 63.
void zeroFrom(uint32_t block[16], uint32_t used) noexcept {
    uint32_t word = used >> 2;
    if ((used & 3u) != 0) {
        block[word] &= (1u << (8u * (used & 3u))) - 1u;
        ++word;
    }
    for (; word < 16; ++word) {
        block[word] = 0;
    }
}

}  // namespace

void md5Init(Md5Context* context) noexcept {
    context->a = INITIAL_STATE[0];
    context->b = INITIAL_STATE[1];
    context->c = INITIAL_STATE[2];
    context->d = INITIAL_STATE[3];
    context->bitCountLow = 0;
    context->bitCountHigh = 0;
    context->blockBytes = 0;
}

void md5Transform(Md5Context* context, const uint32_t words[16]) noexcept {
    uint32_t state[4] = {context->a, context->b, context->c, context->d};
    compress(state, words);
    context->a = state[0];
    context->b = state[1];
    context->c = state[2];
    context->d = state[3];
}

void md5Update(Md5Context* context, const void* data, uint32_t length) noexcept {
    if (length == 0) {
        return;
    }
    // 64-bit bit count in two halves: length * 8 is (length >> 29) : (length << 3).
    const uint32_t low = context->bitCountLow + (length << 3);
    if (low < context->bitCountLow) {
        ++context->bitCountHigh;
    }
    context->bitCountLow = low;
    context->bitCountHigh += length >> 29;

    const uint8_t* input = static_cast<const uint8_t*>(data);
    uint32_t remaining = length;
    uint32_t buffered = static_cast<uint32_t>(context->blockBytes);
    if (buffered != 0) {
        const uint32_t room = 64u - buffered;
        const uint32_t take = remaining < room ? remaining : room;
        packBytes(context->block, buffered, input, take);
        input += take;
        remaining -= take;
        buffered += take;
        if (buffered < 64) {
            context->blockBytes = static_cast<int32_t>(buffered);
            return;
        }
        md5Transform(context, context->block);
    }
    if (remaining >= 64) {
        compressBlocks(context, input, remaining / 64);
        input += remaining & ~63u;
        remaining &= 63u;
    }
    packBytes(context->block, 0, input, remaining);
    context->blockBytes = static_cast<int32_t>(remaining);
}

void md5Final(uint8_t digest[16], Md5Context* context) noexcept {
    static constexpr uint8_t PAD_START = 0x80;
    uint32_t used = static_cast<uint32_t>(context->blockBytes);
    packBytes(context->block, used, &PAD_START, 1);
    ++used;
    // The 64-bit length needs the last 8 bytes; with 56 or more message
    // bytes buffered it goes into a block of its own.
    if (used > 56) {
        zeroFrom(context->block, used);
        md5Transform(context, context->block);
        used = 0;
    }
    zeroFrom(context->block, used);
    context->block[14] = context->bitCountLow;
    context->block[15] = context->bitCountHigh;
    md5Transform(context, context->block);

    storeLe32(digest, context->a);
    storeLe32(digest + 4, context->b);
    storeLe32(digest + 8, context->c);
    storeLe32(digest + 12, context->d);
    context->blockBytes = 0;
}

void md5Short(const uint8_t* data, uint32_t length, uint8_t digest[16]) noexcept {
    static constexpr uint8_t PAD_START = 0x80;
    uint32_t block[16];
    packBytes(block, 0, data, length);
    packBytes(block, length, &PAD_START, 1);
    zeroFrom(block, length + 1);
    block[14] = length << 3;
    uint32_t state[4] = {INITIAL_STATE[0], INITIAL_STATE[1], INITIAL_STATE[2], INITIAL_STATE[3]};
    compress(state, block);
    for (int i = 0; i < 4; ++i) {
        storeLe32(digest + 4 * i, state[i]);
    }
    secureWipe(block, sizeof block);
    secureWipe(state, sizeof state);
}

}  // namespace vc
