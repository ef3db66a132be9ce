// RC4 key setup and keystream. Never allocates, never touches bytes outside
// the caller's range and never indexes the permutation with an unmasked
// value; the state is key material that its owner wipes.
#include "crypto/rc4.h"

#include "support/bytes.h"

namespace vc {

void rc4SetKey(const uint8_t* key, uint32_t keyLength, Rc4State* state) noexcept {
    uint8_t* s = state->s;
    for (uint32_t i = 0; i < 256; ++i) {
        s[i] = static_cast<uint8_t>(i);
    }
    state->x = 0;
    state->y = 0;

    // k restarts at the key length; with 256 passes it never gets past 255,
    // so bytes beyond the 256th of a longer key are never read.
    uint32_t j = 0;
    uint32_t k = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t si = s[i];
        j = (j + si + key[k]) & 0xffu;
        s[i] = s[j];
        s[j] = si;
        if (++k == keyLength) {
            k = 0;
        }
    }
}

namespace {

// One keystream byte. x and y run on as plain 32-bit sums and only their
// low 8 bits are used: the sum's low byte is the same as the masked sum's,
// and keeping the mask off y means the chain from one byte to the next is
// a single addition. Every index into s is masked, so the table cannot be
// overrun whatever the state holds.
[[gnu::always_inline]] inline uint32_t nextByte(uint8_t* s, uint32_t& x, uint32_t& y) noexcept {
    x += 1;
    const uint32_t xi = x & 0xffu;
    const uint32_t tx = s[xi];
    y += tx;
    const uint32_t yi = y & 0xffu;
    const uint32_t ty = s[yi];
    s[yi] = static_cast<uint8_t>(tx);
    s[xi] = static_cast<uint8_t>(ty);
    return s[(tx + ty) & 0xffu];
}

}  // namespace

void rc4Crypt(uint8_t* data, uint32_t length, Rc4State* state) noexcept {
    uint8_t* const s = state->s;
    uint32_t x = state->x;
    uint32_t y = state->y;

    // Eight keystream bytes are gathered into one word before data is
    // touched: data and s never overlap, but the compiler cannot know that,
    // and a store to data between steps would force s to be reloaded.
    while (length >= 8) {
        uint64_t stream = 0;
        for (unsigned i = 0; i < 8; ++i) {
            stream |= static_cast<uint64_t>(nextByte(s, x, y)) << (8 * i);
        }
        storeLe64(data, loadLe64(data) ^ stream);
        data += 8;
        length -= 8;
    }
    for (; length != 0; --length, ++data) {
        *data = static_cast<uint8_t>(*data ^ nextByte(s, x, y));
    }

    state->x = static_cast<uint8_t>(x);
    state->y = static_cast<uint8_t>(y);
}

}  // namespace vc
