// DES key schedule, the 16-round core and triple-DES EDE3 in CBC mode.
// Never reads or writes past the whole 8-byte blocks of a buffer, never
// allocates, and leaves no key-derived temporaries behind in memory.
#include "crypto/des.h"

#include "crypto/des_tables.h"
#include "support/bytes.h"
#include "support/secure_wipe.h"

#include <cstring>

#if defined(__GNUC__)
#define VC_DES_INLINE inline __attribute__((always_inline))
#else
#define VC_DES_INLINE inline
#endif

namespace vc {
namespace {

using des_tables::KEY_PC2;
using des_tables::SBOX_P;

constexpr uint32_t rotateLeft(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32u - n));
}

constexpr uint32_t rotateRight(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32u - n));
}

// Swaps the bits of `a` selected by mask << shift with the bits of `b`
// selected by mask.
constexpr void exchangeBits(uint32_t& a, uint32_t& b, unsigned shift, uint32_t mask) {
    const uint32_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

// In: bytes 0-3 of a block in `low`, 4-7 in `high`, each least significant
// byte first. Out: the left half of the permuted block in `high`, the right
// half in `low`, half bit i at word bit i - 1. Five exchanges of bit groups
// do the whole 64-bit permutation; the byte order of the loads is what puts
// the halves in the opposite words.
constexpr void initialPermutation(uint32_t& low, uint32_t& high) {
    exchangeBits(high, low, 4, 0x0f0f0f0fu);
    exchangeBits(low, high, 16, 0x0000ffffu);
    exchangeBits(high, low, 2, 0x33333333u);
    exchangeBits(low, high, 8, 0x00ff00ffu);
    exchangeBits(high, low, 1, 0x55555555u);
}

// The inverse: each exchange is its own inverse, so the same five in
// reverse order. `high` carries the block's first half, `low` its second.
constexpr void finalPermutation(uint32_t& low, uint32_t& high) {
    exchangeBits(high, low, 1, 0x55555555u);
    exchangeBits(low, high, 8, 0x00ff00ffu);
    exchangeBits(high, low, 2, 0x33333333u);
    exchangeBits(low, high, 16, 0x0000ffffu);
    exchangeBits(high, low, 4, 0x0f0f0f0fu);
}

// Checks the exchange network against the standard's table: input bit n
// alone must come out at the position whose table entry is n, and the final
// permutation must bring it back.
constexpr bool permutationsMatchStandard() {
    for (unsigned n = 1; n <= 64; ++n) {
        const unsigned byte = (n - 1u) / 8u;
        const uint32_t bit = (0x80u >> ((n - 1u) % 8u)) << (8u * (byte % 4u));
        uint32_t low = byte < 4 ? bit : 0u;
        uint32_t high = byte < 4 ? 0u : bit;
        initialPermutation(low, high);
        unsigned j = 0;
        while (des_tables::INITIAL_PERMUTATION[j] != n) {
            ++j;
        }
        const uint32_t expectedHigh = j < 32 ? 1u << j : 0u;
        const uint32_t expectedLow = j < 32 ? 0u : 1u << (j - 32u);
        if (high != expectedHigh || low != expectedLow) {
            return false;
        }
        finalPermutation(low, high);
        if (low != (byte < 4 ? bit : 0u) || high != (byte < 4 ? 0u : bit)) {
            return false;
        }
    }
    return true;
}
static_assert(permutationsMatchStandard());

// SBOX_P read as bytes: entry i of table b lies at byte 256 b + 4 i, so an
// index group brought to bits 2-7 and masked with 0xfc is its entry's
// offset as it stands. Indexing the word arrays instead makes the compiler
// shift each group down and scale it back up, and on 32-bit x86 the extra
// temporaries push the round's values out to the stack.
static_assert(sizeof(SBOX_P) == 8 * 64 * sizeof(uint32_t), "the tables lie back to back");

VC_DES_INLINE uint32_t sboxWord(uint32_t offset) {
    uint32_t word;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(SBOX_P.data()) + offset, sizeof word);
    return word;
}

// Returns x unchanged, as a value the compiler must take as given: the
// round's XOR chain then stays in the order it is written.
VC_DES_INLINE uint32_t inOrder(uint32_t x) {
#if defined(__GNUC__)
    __asm__("" : "+r"(x));
#endif
    return x;
}

// l ^ f(r, K), with r in the rotated layout and K the round's two subkey
// words. The first view (r ^ K[0]) holds the indices of S1, S3, S5 and S7 at
// bits 2-7, 10-15, 18-23 and 26-31. The second view is meant to be rotated
// right by 4 first; its groups are read where they lie instead, at bits
// 6-11, 14-19, 22-27 and 30-3 of r ^ K[1], so no rotation waits in front of
// the lookups.
//
// The eight table words fill disjoint bits. They are ORed in pairs and the
// pairs XORed into l one after another, the pairs whose indices take fewest
// operations first. A balanced tree is shorter on paper but measured slower,
// in 32 and in 64 bits: it holds more values at once, and 32-bit x86 has
// seven registers to hold them. Left to itself the compiler reassociates
// the chain into some other order, hence inOrder. Which lookups are made
// does not depend on the order.
VC_DES_INLINE uint32_t feistelRound(uint32_t l, uint32_t r, const uint32_t* subkey) {
    const uint32_t u = r ^ subkey[0];
    const uint32_t t = r ^ subkey[1];
    uint32_t x = l ^ (sboxWord(0 * 256 + (u & 0xfcu)) | sboxWord(6 * 256 + ((u >> 26) << 2)));
    x = inOrder(x) ^
        (sboxWord(2 * 256 + ((u >> 8) & 0xfcu)) | sboxWord(4 * 256 + ((u >> 16) & 0xfcu)));
    x = inOrder(x) ^
        (sboxWord(1 * 256 + ((t >> 4) & 0xfcu)) | sboxWord(3 * 256 + ((t >> 12) & 0xfcu)));
    x = inOrder(x) ^
        (sboxWord(5 * 256 + ((t >> 20) & 0xfcu)) | sboxWord(7 * 256 + (rotateLeft(t, 4) & 0xfcu)));
    return x;
}

// The 16 rounds with the halves swapping roles each round; after an even
// number of rounds no final swap is needed to be in place for the caller.
VC_DES_INLINE void encryptRounds(uint32_t& left, uint32_t& right, const uint32_t* k) {
    uint32_t l = rotateLeft(left, 3);
    uint32_t r = rotateLeft(right, 3);
    l = feistelRound(l, r, k + 0);
    r = feistelRound(r, l, k + 2);
    l = feistelRound(l, r, k + 4);
    r = feistelRound(r, l, k + 6);
    l = feistelRound(l, r, k + 8);
    r = feistelRound(r, l, k + 10);
    l = feistelRound(l, r, k + 12);
    r = feistelRound(r, l, k + 14);
    l = feistelRound(l, r, k + 16);
    r = feistelRound(r, l, k + 18);
    l = feistelRound(l, r, k + 20);
    r = feistelRound(r, l, k + 22);
    l = feistelRound(l, r, k + 24);
    r = feistelRound(r, l, k + 26);
    l = feistelRound(l, r, k + 28);
    r = feistelRound(r, l, k + 30);
    left = rotateRight(l, 3);
    right = rotateRight(r, 3);
}

VC_DES_INLINE void decryptRounds(uint32_t& left, uint32_t& right, const uint32_t* k) {
    uint32_t l = rotateLeft(left, 3);
    uint32_t r = rotateLeft(right, 3);
    l = feistelRound(l, r, k + 30);
    r = feistelRound(r, l, k + 28);
    l = feistelRound(l, r, k + 26);
    r = feistelRound(r, l, k + 24);
    l = feistelRound(l, r, k + 22);
    r = feistelRound(r, l, k + 20);
    l = feistelRound(l, r, k + 18);
    r = feistelRound(r, l, k + 16);
    l = feistelRound(l, r, k + 14);
    r = feistelRound(r, l, k + 12);
    l = feistelRound(l, r, k + 10);
    r = feistelRound(r, l, k + 8);
    l = feistelRound(l, r, k + 6);
    r = feistelRound(r, l, k + 4);
    l = feistelRound(l, r, k + 2);
    r = feistelRound(r, l, k + 0);
    left = rotateRight(l, 3);
    right = rotateRight(r, 3);
}

// N independent blocks through the same 16 rounds, each round applied to
// every block before the next round starts. One block's round is a chain
// of dependent steps (key XOR, index, table load, combine) that leaves most
// of the processor idle; the other blocks' rounds fill that time. The
// lookups made are those of N separate runs.
template <unsigned N, bool Encrypt>
VC_DES_INLINE void roundsInterleaved(uint32_t* left, uint32_t* right, const uint32_t* k) {
    uint32_t l[N];
    uint32_t r[N];
    for (unsigned j = 0; j < N; ++j) {
        l[j] = rotateLeft(left[j], 3);
        r[j] = rotateLeft(right[j], 3);
    }
#pragma GCC unroll 8
    for (unsigned i = 0; i < 8; ++i) {
        const uint32_t* first = Encrypt ? k + 4 * i : k + 30 - 4 * i;
        const uint32_t* second = Encrypt ? first + 2 : first - 2;
        for (unsigned j = 0; j < N; ++j) {
            l[j] = feistelRound(l[j], r[j], first);
        }
        for (unsigned j = 0; j < N; ++j) {
            r[j] = feistelRound(r[j], l[j], second);
        }
    }
    for (unsigned j = 0; j < N; ++j) {
        left[j] = rotateRight(l[j], 3);
        right[j] = rotateRight(r[j], 3);
    }
}

// CBC decryption of N consecutive blocks at once: no block's decryption
// waits for another's, only the final XOR takes the ciphertext before it.
// Every block is read before any is written, so output may equal input.
// (v0, v1) is the chaining value in, the last ciphertext block out.
template <unsigned N>
VC_DES_INLINE void decryptGroup(const uint8_t* input, uint8_t* output, const uint32_t* s1,
                                const uint32_t* s2, const uint32_t* s3, uint32_t& v0,
                                uint32_t& v1) {
    uint32_t c0[N];
    uint32_t c1[N];
    uint32_t low[N];
    uint32_t high[N];
    for (unsigned j = 0; j < N; ++j) {
        c0[j] = loadLe32(input + 8 * j);
        c1[j] = loadLe32(input + 8 * j + 4);
        low[j] = c0[j];
        high[j] = c1[j];
        initialPermutation(low[j], high[j]);
    }
    roundsInterleaved<N, false>(high, low, s3);
    roundsInterleaved<N, true>(low, high, s2);
    roundsInterleaved<N, false>(high, low, s1);
    for (unsigned j = 0; j < N; ++j) {
        finalPermutation(high[j], low[j]);
        storeLe32(output + 8 * j, high[j] ^ v0);
        storeLe32(output + 8 * j + 4, low[j] ^ v1);
        v0 = c0[j];
        v1 = c1[j];
    }
}

// Two blocks at a time: measured on x86-64 (AMD Zen 4) against one, three
// and four, three and four are slower than two, their halves and indices
// no longer fitting the sixteen registers.
constexpr unsigned DECRYPT_GROUP = 2;

// The 28-bit key registers; they are key material until wiped.
struct KeyRegisters {
    uint32_t c;
    uint32_t d;
};

constexpr uint32_t rotateRegister(uint32_t x, unsigned n) {
    return ((x << n) | (x >> (28u - n))) & 0x0fffffffu;
}

}  // namespace

void desSetKey(const uint8_t key[8], DesKeySchedule* schedule) noexcept {
    using des_tables::PERMUTED_CHOICE_1;
    KeyRegisters reg{0, 0};
    // PC-1, bit by bit: once per key, and the parity bits (the low bit of
    // each byte) are never selected.
    for (unsigned i = 0; i < 28; ++i) {
        const unsigned c = PERMUTED_CHOICE_1[i] - 1u;
        const unsigned d = PERMUTED_CHOICE_1[28 + i] - 1u;
        reg.c |= static_cast<uint32_t>((key[c / 8] >> (7u - c % 8u)) & 1u) << (27u - i);
        reg.d |= static_cast<uint32_t>((key[d / 8] >> (7u - d % 8u)) & 1u) << (27u - i);
    }
    uint32_t* out = schedule->subkeys;
    for (unsigned round = 0; round < 16; ++round) {
        const unsigned shift = des_tables::DOUBLE_SHIFT[round] != 0 ? 2u : 1u;
        reg.c = rotateRegister(reg.c, shift);
        reg.d = rotateRegister(reg.d, shift);
        const uint32_t fromC = KEY_PC2[0][des_tables::keyGroupIndex(0, reg.c, reg.d)] |
                               KEY_PC2[1][des_tables::keyGroupIndex(1, reg.c, reg.d)] |
                               KEY_PC2[2][des_tables::keyGroupIndex(2, reg.c, reg.d)] |
                               KEY_PC2[3][des_tables::keyGroupIndex(3, reg.c, reg.d)];
        const uint32_t fromD = KEY_PC2[4][des_tables::keyGroupIndex(4, reg.c, reg.d)] |
                               KEY_PC2[5][des_tables::keyGroupIndex(5, reg.c, reg.d)] |
                               KEY_PC2[6][des_tables::keyGroupIndex(6, reg.c, reg.d)] |
                               KEY_PC2[7][des_tables::keyGroupIndex(7, reg.c, reg.d)];
        // Reassemble the two views from the halves the tables carry; the
        // second is stored rotated back left by 4 so the round function can
        // XOR it with the unrotated half.
        out[2 * round] = (fromC & 0x0000ffffu) | (fromD << 16);
        out[2 * round + 1] = rotateLeft((fromC >> 16) | (fromD & 0xffff0000u), 4);
    }
    secureWipeObject(reg);
}

void desCore(uint32_t* left, uint32_t* right, const DesKeySchedule* schedule,
             int encrypt) noexcept {
    if (encrypt != 0) {
        encryptRounds(*left, *right, schedule->subkeys);
    } else {
        decryptRounds(*left, *right, schedule->subkeys);
    }
}

void desEde3CbcCrypt(const uint8_t* input, uint8_t* output, int32_t length,
                     const DesKeySchedule* k1, const DesKeySchedule* k2, const DesKeySchedule* k3,
                     uint8_t iv[8], int encrypt) noexcept {
    if (length < 8) {
        return;
    }
    const uint32_t blocks = static_cast<uint32_t>(length) / 8u;
    const uint32_t* s1 = k1->subkeys;
    const uint32_t* s2 = k2->subkeys;
    const uint32_t* s3 = k3->subkeys;
    // The chaining value, kept in the loaded (byte-order) form.
    uint32_t v0 = loadLe32(iv);
    uint32_t v1 = loadLe32(iv + 4);

    if (encrypt != 0) {
        // The initial permutation is linear, IP(P ^ C) = IP(P) ^ IP(C), and
        // IP of the previous ciphertext block is that block's state before
        // its final permutation. So the chain from block to block runs
        // from rounds to rounds; each block's permutations are computed
        // beside it instead of in its way.
        uint32_t chainLow = v0;
        uint32_t chainHigh = v1;
        initialPermutation(chainLow, chainHigh);
        for (uint32_t i = 0; i < blocks; ++i, input += 8, output += 8) {
            uint32_t low = loadLe32(input);
            uint32_t high = loadLe32(input + 4);
            initialPermutation(low, high);
            low ^= chainLow;
            high ^= chainHigh;
            // Between passes the halves trade places, which is what the
            // final and initial permutations of adjacent passes would do.
            encryptRounds(high, low, s1);
            decryptRounds(low, high, s2);
            encryptRounds(high, low, s3);
            chainLow = high;
            chainHigh = low;
            finalPermutation(high, low);
            storeLe32(output, high);
            storeLe32(output + 4, low);
            v0 = high;
            v1 = low;
        }
    } else if (!desDecryptWide(input, output, blocks, s1, s2, s3, v0, v1)) {
        uint32_t i = 0;
        for (; i + DECRYPT_GROUP <= blocks;
             i += DECRYPT_GROUP, input += 8 * DECRYPT_GROUP, output += 8 * DECRYPT_GROUP) {
            decryptGroup<DECRYPT_GROUP>(input, output, s1, s2, s3, v0, v1);
        }
        for (; i < blocks; ++i, input += 8, output += 8) {
            decryptGroup<1>(input, output, s1, s2, s3, v0, v1);
        }
    }
    storeLe32(iv, v0);
    storeLe32(iv + 4, v1);
}

}  // namespace vc
