// RC4 key setup and keystream. Never allocates, never touches bytes outside
// the caller's range and never indexes the permutation outside its 256
// entries; the state is key material that its owner wipes.
#include "crypto/rc4.h"

#include <utility>

#include "crypto/rc4_step.h"
#include "support/bytes.h"

namespace vc {

void rc4SetKey(const uint8_t* key, uint32_t keyLength, Rc4State* state) noexcept {
    uint32_t* s = state->s;
    for (uint32_t i = 0; i < 256; ++i) {
        s[i] = i;
    }
    state->x = 0;
    state->y = 0;

    // k restarts at the key length; with 256 passes it never gets past 255,
    // so bytes beyond the 256th of a longer key are never read.
    //
    // S[i + 1] is read before the swap at i stores, and replaced by the
    // value that swap moves when j is i + 1: the next j then does not wait
    // for the stores to S[i] and S[j] to resolve against the load.
    uint32_t j = 0;
    uint32_t k = 0;
    uint32_t next = s[0];
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t si = next;
        j = (j + si + key[k]) & 0xffu;
        const uint32_t sj = s[j];
        const uint32_t following = s[(i + 1) & 0xffu];
        s[i] = sj;
        s[j] = si;
        next = j == ((i + 1) & 0xffu) ? si : following;
        if (++k == keyLength) {
            k = 0;
        }
    }
}

namespace {

using rc4_detail::step;

#if defined(__i386__) || defined(_M_IX86)
// Takes the next keystream byte into the top of a word filled from the top
// down: after four, the first byte is the lowest, as the data's
// little-endian load has it. The load folds into the OR and no shift count
// differs from byte to byte. Only the 32-bit loop gathers.
[[gnu::always_inline]] inline uint32_t gather(uint32_t word, uint32_t byte) noexcept {
    const uint32_t w = word | byte;
    return (w >> 8) | (w << 24);
}
#endif

#if defined(VC_RC4_ASSEMBLY_STEPS)
// Word J (a register's width) of a 64-byte chunk whose keystream starts
// with x + 1 = sx - S.
template <unsigned J, unsigned... I>
[[gnu::always_inline]] inline void alignedWord(uint32_t* s, uint32_t* sx, uintptr_t& y,
                                               uint8_t* data,
                                               std::integer_sequence<unsigned, I...>) noexcept {
    constexpr unsigned BYTES = sizeof(uintptr_t);
    uintptr_t stream = 0;
    (rc4_detail::stepAt<BYTES * J + I>(s, sx, y, stream), ...);
    if constexpr (BYTES == 8) {
        storeLe64(data + 8 * J, loadLe64(data + 8 * J) ^ stream);
    } else {
        storeLe32(data + 4 * J, loadLe32(data + 4 * J) ^ stream);
    }
}

template <unsigned... J>
[[gnu::always_inline]] inline void alignedChunk(uint32_t* s, uint32_t* sx, uintptr_t& y,
                                                uint8_t* data,
                                                std::integer_sequence<unsigned, J...>) noexcept {
    (alignedWord<J>(s, sx, y, data, std::make_integer_sequence<unsigned, sizeof(uintptr_t)>{}),
     ...);
}

// Once x + 1 is a multiple of 64, a 64-byte chunk's steps never wrap x and
// address S[x] at fixed offsets from one pointer: nothing per byte for x
// and no branch inside the chunk. x is a count of bytes, so none of this
// depends on the key. Takes whole chunks from data, x aligned already.
[[gnu::always_inline]] inline void alignedChunks(uint32_t* s, uint32_t& x, uint32_t& y,
                                                 uint8_t*& data, uint32_t& length) noexcept {
    uintptr_t yi = y & 0xffu;
    for (; length >= 64; data += 64, length -= 64) {
        // Masked to a multiple of 64 all the same, so that no offset can
        // leave the table.
        alignedChunk(s, s + ((x + 1) & 0xc0u), yi, data,
                     std::make_integer_sequence<unsigned, 64 / sizeof(uintptr_t)>{});
        x = (x + 64) & 0xffu;
    }
    y = static_cast<uint32_t>(yi);
}
#endif

}  // namespace

void rc4Crypt(uint8_t* data, uint32_t length, Rc4State* state) noexcept {
    uint32_t* const s = state->s;
    uint32_t x = state->x;
    uint32_t y = state->y;

    // Eight keystream bytes are gathered before data is touched: data and s
    // never overlap, but the compiler cannot know that, and a store to data
    // between steps would force s to be reloaded.
#if defined(__i386__) || defined(_M_IX86)
#if defined(VC_RC4_ASSEMBLY_STEPS)
    // Longer runs go by 64-byte chunks of assembly steps, up to 63 bytes
    // one at a time to get x aligned first: y in a byte register needs no
    // mask, and gathering into a word takes no shift, 8 instructions a
    // byte where the loop below takes 11. Measured about 30% faster over
    // 16 KiB (AMD EPYC Zen 4).
    if (length >= 128) {
        for (; ((x + 1) & 63u) != 0; ++data, --length) {
            x = (x + 1) & 0xffu;
            *data = static_cast<uint8_t>(*data ^ step(s, s + x, y));
        }
        alignedChunks(s, x, y, data, length);
    }
#endif
    // With seven registers, x's own increment and mask per byte is what
    // spills. While the next eight x do not wrap they are fixed offsets from
    // one pointer, and x costs nothing per byte; x is a count of bytes, so
    // the branch says nothing of the key. In 64 bits the same form measured
    // slower than the loops below, the assembly step's too.
    while (length >= 8) {
        uint32_t lo = 0;
        uint32_t hi = 0;
        if (x <= 247u) {
            uint32_t* const sx = s + x;
            for (unsigned i = 1; i <= 4; ++i) {
                lo = gather(lo, step(s, sx + i, y));
            }
            for (unsigned i = 5; i <= 8; ++i) {
                hi = gather(hi, step(s, sx + i, y));
            }
            x += 8;
        } else {
            for (unsigned i = 0; i < 4; ++i) {
                x = (x + 1) & 0xffu;
                lo = gather(lo, step(s, s + x, y));
            }
            for (unsigned i = 0; i < 4; ++i) {
                x = (x + 1) & 0xffu;
                hi = gather(hi, step(s, s + x, y));
            }
        }
        storeLe32(data, loadLe32(data) ^ lo);
        storeLe32(data + 4, loadLe32(data + 4) ^ hi);
        data += 8;
        length -= 8;
    }
#elif defined(VC_RC4_BYTE_REGISTERS)
    // x and y in byte-wide registers (see rc4_step.h).
    {
        uint64_t xi = x & 0xffu;
        uint64_t yi = y & 0xffu;
        // 64-byte chunks (see alignedChunks) measured about 15% faster than
        // the loop below over 16 KiB (AMD EPYC Zen 4), where the same with a
        // branch every eight bytes was slower. Up to 63 bytes are drawn one
        // at a time to get there.
        if (length >= 128) {
            for (; ((xi + 1) & 63u) != 0; ++data, --length) {
                uint64_t stream = 0;
                rc4_detail::stepInto(s, xi, yi, stream);
                *data = static_cast<uint8_t>(*data ^ (stream >> 56));
            }
            x = static_cast<uint32_t>(xi);
            y = static_cast<uint32_t>(yi);
            alignedChunks(s, x, y, data, length);
            xi = x;
            yi = y;
        }
        // Sixteen bytes a round, two words: measured about 2% faster than
        // eight; more per round measured slower.
        while (length >= 16) {
            uint64_t first = 0;
            uint64_t second = 0;
            for (unsigned i = 0; i < 8; ++i) {
                rc4_detail::stepInto(s, xi, yi, first);
            }
            for (unsigned i = 0; i < 8; ++i) {
                rc4_detail::stepInto(s, xi, yi, second);
            }
            storeLe64(data, loadLe64(data) ^ first);
            storeLe64(data + 8, loadLe64(data + 8) ^ second);
            data += 16;
            length -= 16;
        }
        if (length >= 8) {
            uint64_t stream = 0;
            for (unsigned i = 0; i < 8; ++i) {
                rc4_detail::stepInto(s, xi, yi, stream);
            }
            storeLe64(data, loadLe64(data) ^ stream);
            data += 8;
            length -= 8;
        }
        x = static_cast<uint32_t>(xi);
        y = static_cast<uint32_t>(yi);
    }
#else
    while (length >= 8) {
        uint64_t stream = 0;
        for (unsigned i = 0; i < 8; ++i) {
            x = (x + 1) & 0xffu;
            stream |= static_cast<uint64_t>(step(s, s + x, y)) << (8 * i);
        }
        storeLe64(data, loadLe64(data) ^ stream);
        data += 8;
        length -= 8;
    }
#endif
    for (; length != 0; --length, ++data) {
        x = (x + 1) & 0xffu;
        *data = static_cast<uint8_t>(*data ^ step(s, s + x, y));
    }

    state->x = x;
    state->y = y & 0xffu;
}

}  // namespace vc
