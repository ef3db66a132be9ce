// RC4 and MD5 in one pass over a record. Never allocates and never touches
// bytes outside the record; the keystream kept for the MAC, the copies of
// blocks holding the secret, the message words summed for the steps and the
// chaining words are wiped on the way out.
//
// MD5 is a chain of dependent additions and rotations, RC4 a chain of
// dependent table loads: alone, each leaves most of the core idle. Each
// 64-byte block is hashed with one keystream byte drawn beside every MD5
// step, over 64 bytes that neither read what the other writes: sealing
// encrypts bytes at least a block behind the one it hashes (the plaintext
// must be hashed first), opening decrypts bytes at least a block ahead of
// it (the plaintext must be there first).
#include "crypto/rc4_md5.h"

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "crypto/md5.h"
#include "crypto/md5_steps.h"
#include "crypto/rc4_step.h"
#include "support/bytes.h"
#include "support/secure_wipe.h"

namespace vc {
namespace {

// Which message word each step adds, and by how much it rotates.
constexpr uint8_t WORD[64] = {0, 1, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                              1, 6, 11, 0,  5,  10, 15, 4,  9,  14, 3,  8,  13, 2,  7,  12,
                              5, 8, 11, 14, 1,  4,  7,  10, 13, 0,  3,  6,  9,  12, 15, 2,
                              0, 7, 14, 5,  12, 3,  10, 1,  8,  15, 6,  13, 4,  11, 2,  9};
constexpr uint8_t ROTATION[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                  5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                  4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                  6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

constexpr uint32_t MD5_INITIAL[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// MD5 step I on the working words v (a, b, c, d), given its message word
// plus step constant: step I updates a, d, c, b in turn.
template <unsigned I>
[[gnu::always_inline]] inline void md5StepXk(uint32_t v[4], uint32_t xk) noexcept {
    constexpr unsigned A = (4 - I % 4) % 4;
    constexpr unsigned B = (A + 1) % 4;
    constexpr unsigned C = (A + 2) % 4;
    constexpr unsigned D = (A + 3) % 4;
    if constexpr (I < 16) {
        v[A] = md5_detail::stepF(v[A], v[B], v[C], v[D], xk, ROTATION[I]);
    } else if constexpr (I < 32) {
        v[A] = md5_detail::stepG(v[A], v[B], v[C], v[D], xk, ROTATION[I]);
    } else if constexpr (I < 48) {
        v[A] = md5_detail::stepH(v[A], v[B], v[C], v[D], xk, ROTATION[I]);
    } else {
        v[A] = md5_detail::stepI(v[A], v[B], v[C], v[D], xk, ROTATION[I]);
    }
}

// The same with the message word read straight from the block.
template <unsigned I>
[[gnu::always_inline]] inline void md5Step(uint32_t v[4], const uint8_t* block) noexcept {
    md5StepXk<I>(v, loadLe32(block + 4 * WORD[I]) + MD5_STEP_CONSTANTS[I]);
}

#if defined(VC_RC4_BYTE_REGISTERS)
// The step constants of each round placed by the message word their step
// adds, so that four vector additions per round give every step's word
// plus constant: each step then adds one value from memory, one
// instruction where loading the word and adding both took two. Measured
// about 1% faster on a quiet core and 2-3% while the sibling thread is
// busy, where every instruction issued counts (AMD EPYC Zen 4).
struct ByWord {
    alignas(16) uint32_t k[64];
};
constexpr ByWord constantsByWord() {
    ByWord out{};
    for (unsigned i = 0; i < 64; ++i) {
        out.k[16 * (i / 16) + WORD[i]] = MD5_STEP_CONSTANTS[i];
    }
    return out;
}
constexpr ByWord CONSTANTS_BY_WORD = constantsByWord();

[[gnu::always_inline]] inline void addConstants(uint32_t xk[64], const uint8_t* block) noexcept {
    for (unsigned q = 0; q < 4; ++q) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * q));
        for (unsigned r = 0; r < 4; ++r) {
            const __m128i k = _mm_load_si128(
                reinterpret_cast<const __m128i*>(CONSTANTS_BY_WORD.k + 16 * r + 4 * q));
            _mm_store_si128(reinterpret_cast<__m128i*>(xk + 16 * r + 4 * q), _mm_add_epi32(x, k));
        }
    }
}

struct Keystream {
    uint32_t* s;
    uint64_t x;
    uint64_t y;
    // Room for the block's message words with the step constants added.
    alignas(16) uint32_t xk[64];
};
#else
// Keystream bytes are gathered into a register-wide word and XORed into
// the data a word at a time: a store into the data between steps would
// make the compiler reload what it holds of the table.
using StreamWord = std::conditional_t<sizeof(void*) >= 8, uint64_t, uint32_t>;
constexpr unsigned STREAM_BYTES = sizeof(StreamWord);

struct Keystream {
    uint32_t* s;
    uint32_t x;
    uint32_t y;
    StreamWord word = 0;
};

// Step I of a block whose keystream starts with x + 1 = sx - S (see
// hashAndCryptAligned below).
template <unsigned I>
[[gnu::always_inline]] inline void rc4Step(Keystream& k, uint32_t* sx, uint8_t* data) noexcept {
    constexpr unsigned LANE = I % STREAM_BYTES;
    const StreamWord byte = rc4_detail::step(k.s, sx + I, k.y);
    if constexpr (LANE == 0) {
        k.word = byte;
    } else {
        k.word |= byte << (8 * LANE);
    }
    if constexpr (LANE == STREAM_BYTES - 1) {
        uint8_t* const at = data + (I - LANE);
        if constexpr (STREAM_BYTES == 8) {
            storeLe64(at, loadLe64(at) ^ k.word);
        } else {
            storeLe32(at, loadLe32(at) ^ k.word);
        }
    }
}
#endif

template <unsigned... I>
[[gnu::always_inline]] inline void hashOnly(uint32_t h[4], const uint8_t* block,
                                            std::integer_sequence<unsigned, I...>) noexcept {
    uint32_t v[4] = {h[0], h[1], h[2], h[3]};
    (md5Step<I>(v, block), ...);
    for (unsigned i = 0; i < 4; ++i) {
        h[i] += v[i];
    }
}

using Steps = std::make_integer_sequence<unsigned, 64>;

void hashBlocks(uint32_t h[4], const uint8_t* blocks, uint32_t count) noexcept {
    for (; count != 0; --count, blocks += 64) {
        hashOnly(h, blocks, Steps{});
    }
}

// The callers start every block's keystream with x + 1 a multiple of 64,
// so its 64 steps never wrap x: S[x] is a fixed offset from S + x + 1 for
// each, and x costs nothing per byte. The base is masked to a multiple of
// 64 all the same, so no offset can leave the table.
#if defined(VC_RC4_BYTE_REGISTERS)
// Step I's keystream byte goes into a 16-bit lane of lo (bytes 0-7 of each
// sixteen) or hi (bytes 8-15); after the sixteenth, the two are packed to
// bytes and XORed into the data at once. The vector unit does what an XOR
// per byte would take from the integer units, MD5's critical path.
template <unsigned I>
[[gnu::always_inline]] inline void rc4Step(Keystream& k, uint32_t* sx, __m128i& lo, __m128i& hi,
                                           uint8_t* data) noexcept {
    if constexpr (I % 16 < 8) {
        rc4_detail::stepAtLane<I, I % 8>(k.s, sx, k.y, lo);
    } else {
        rc4_detail::stepAtLane<I, I % 8>(k.s, sx, k.y, hi);
    }
    if constexpr (I % 16 == 15) {
        uint8_t* const at = data + (I - 15);
        const __m128i stream = _mm_packus_epi16(lo, hi);
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(at),
            _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), stream));
    }
}
#endif

template <unsigned... I>
[[gnu::always_inline]] inline void hashAndCryptAligned(
    uint32_t h[4], const uint8_t* block, Keystream& k, uint8_t* data,
    std::integer_sequence<unsigned, I...>) noexcept {
    uint32_t v[4] = {h[0], h[1], h[2], h[3]};
    uint32_t* const sx = k.s + ((k.x + 1) & 0xc0u);
#if defined(VC_RC4_BYTE_REGISTERS)
    // The keystream byte ahead of the MD5 step measured slightly faster
    // than after it; running the keystream further ahead, grouping steps,
    // or drawing more bytes in the rounds whose steps are slower, slower
    // or no faster.
    __m128i lo = _mm_setzero_si128();
    __m128i hi = _mm_setzero_si128();
    addConstants(k.xk, block);
    ((rc4Step<I>(k, sx, lo, hi, data), md5StepXk<I>(v, k.xk[16 * (I / 16) + WORD[I]])), ...);
#else
    ((md5Step<I>(v, block), rc4Step<I>(k, sx, data)), ...);
#endif
    k.x = (k.x + 64) & 0xffu;
    for (unsigned i = 0; i < 4; ++i) {
        h[i] += v[i];
    }
}

// Hashes count blocks from `hashed` while the next 64 * count keystream
// bytes go into `crypted`. The two ranges do not overlap; x + 1 is a
// multiple of 64.
void hashWhileCrypting(uint32_t h[4], const uint8_t* hashed, uint8_t* crypted, uint32_t count,
                       Rc4State* state) noexcept {
    Keystream k{state->s, state->x & 0xffu, state->y & 0xffu, {}};
#if defined(VC_RC4_BYTE_REGISTERS)
    const WipeOnExit wipeWords(k.xk);
#endif
    for (; count != 0; --count, hashed += 64, crypted += 64) {
        hashAndCryptAligned(h, hashed, k, crypted, Steps{});
    }
    state->x = static_cast<uint32_t>(k.x);
    state->y = static_cast<uint32_t>(k.y & 0xffu);
}

// The message's first block: the secret, then bytes 16..63 of the record.
void hashFirstBlock(uint32_t h[4], const uint8_t* record, const uint8_t secret[16]) noexcept {
    uint8_t block[64];
    const WipeOnExit wipeBlock(block);
    std::memcpy(block, secret, 16);
    std::memcpy(block + 16, record + 16, 48);
    hashBlocks(h, block, 1);
}

// Hashes what is left of the message from record byte `from` (a multiple
// of 64; from 0 the secret stands in for the first 16 bytes), then the
// suffix, MD5's closing 0x80 and zeros and the message length in bits.
void hashTail(uint32_t h[4], const uint8_t* record, uint32_t from, uint32_t length,
              const uint8_t secret[16], const uint8_t suffix[4]) noexcept {
    uint8_t last[128] = {};
    const WipeOnExit wipeLast(last);
    uint32_t used = length - from;
    std::memcpy(last, record + from, used);
    if (from == 0) {
        std::memcpy(last, secret, 16);
    }
    std::memcpy(last + used, suffix, 4);
    used += 4;
    last[used++] = 0x80;
    const uint32_t blocks = used > 56 ? 2 : 1;
    storeLe64(last + 64 * blocks - 8, (static_cast<uint64_t>(length) + 4) * 8);
    hashBlocks(h, last, blocks);
}

void storeDigest(uint8_t out[16], const uint32_t h[4]) noexcept {
    for (unsigned i = 0; i < 4; ++i) {
        storeLe32(out + 4 * i, h[i]);
    }
}

// Keystream bytes to draw before x + 1 is a multiple of 64.
uint32_t toAlignment(const Rc4State* state) noexcept {
    return (63u - state->x) & 63u;
}

}  // namespace

void rc4Md5Seal(uint8_t* record, uint32_t length, const uint8_t secret[16], const uint8_t suffix[4],
                Rc4State* state) noexcept {
    uint32_t h[4] = {MD5_INITIAL[0], MD5_INITIAL[1], MD5_INITIAL[2], MD5_INITIAL[3]};
    uint8_t macStream[16] = {};
    uint8_t mac[16];
    const WipeOnExit wipeH(h);
    const WipeOnExit wipeStream(macStream);
    const WipeOnExit wipeMac(mac);
    // The MAC is the first thing encrypted but the last thing known.
    rc4Crypt(macStream, 16, state);

    // Encryption runs from byte `encrypted` while block `hashed` is hashed,
    // at least a block behind; it starts where x is aligned.
    const uint32_t full = length / 64;
    uint32_t encrypted = 16 + toAlignment(state);
    const uint32_t firstStitched = (encrypted + 127) / 64;
    const uint32_t plain = full < firstStitched ? full : firstStitched;
    if (plain >= 1) {
        hashFirstBlock(h, record, secret);
        hashBlocks(h, record + 64, plain - 1);
    }
    if (full > firstStitched) {
        rc4Crypt(record + 16, encrypted - 16, state);
        hashWhileCrypting(h, record + 64 * firstStitched, record + encrypted, full - firstStitched,
                          state);
        encrypted += 64 * (full - firstStitched);
    } else {
        encrypted = 16;
    }
    hashTail(h, record, 64 * full, length, secret, suffix);
    rc4Crypt(record + encrypted, length - encrypted, state);

    storeDigest(mac, h);
    for (unsigned i = 0; i < 16; ++i) {
        record[i] = static_cast<uint8_t>(mac[i] ^ macStream[i]);
    }
}

void rc4Md5Open(uint8_t* record, uint32_t length, const uint8_t secret[16], const uint8_t suffix[4],
                Rc4State* state, uint8_t mac[16]) noexcept {
    uint32_t h[4] = {MD5_INITIAL[0], MD5_INITIAL[1], MD5_INITIAL[2], MD5_INITIAL[3]};
    const WipeOnExit wipeH(h);
    // Decryption runs at least a block ahead of hashing, from byte 128 or
    // the first byte after it where x is aligned; blocks 1 onwards are
    // hashed alongside.
    const uint32_t full = length / 64;
    uint32_t decrypted = 128 + toAlignment(state);
    const uint32_t stitched = length > decrypted ? (length - decrypted) / 64 : 0;
    decrypted = stitched > 0 ? decrypted : length;
    rc4Crypt(record, decrypted, state);
    if (full >= 1) {
        hashFirstBlock(h, record, secret);
    }
    if (stitched > 0) {
        hashWhileCrypting(h, record + 64, record + decrypted, stitched, state);
        decrypted += 64 * stitched;
        rc4Crypt(record + decrypted, length - decrypted, state);
    }
    if (full >= 1) {
        hashBlocks(h, record + 64 * (1 + stitched), full - 1 - stitched);
    }
    hashTail(h, record, 64 * full, length, secret, suffix);
    storeDigest(mac, h);
}

}  // namespace vc
