// Constant tables of DES: the small tables of FIPS 46-3 as printed there, and
// the combined round and key-schedule lookup tables computed from them at
// compile time. Nothing here depends on a key; included by des.cpp and
// des_wide.cpp only.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace vc::des_tables {

// ---------------------------------------------------------------------------
// FIPS 46-3 tables, copied from the standard. Bits are numbered from 1 at the
// most significant bit of the first byte, as the standard numbers them.

inline constexpr uint8_t INITIAL_PERMUTATION[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

// E: which bit of the 32-bit half feeds each of the 48 S-box inputs.
inline constexpr uint8_t EXPANSION[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

// P: output bit i of the round function is S-box output bit PERMUTATION[i-1].
inline constexpr uint8_t PERMUTATION[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                            26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                            3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

// S1..S8, four rows of sixteen; the row is selected by the outer two input
// bits, the column by the inner four.
inline constexpr uint8_t SBOXES[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// PC-1: the 56 key bits that form the registers C (first 28) and D.
inline constexpr uint8_t PERMUTED_CHOICE_1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

// PC-2: which of the 56 register bits (C then D) forms each subkey bit.
inline constexpr uint8_t PERMUTED_CHOICE_2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

// Left rotations of C and D before each round: 0 rotates by one bit, 1 by
// two (the standard's schedule 1 1 2 2 2 2 2 2 1 2 2 2 2 2 2 1).
inline constexpr uint8_t DOUBLE_SHIFT[16] = {0, 0, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 0};

// ---------------------------------------------------------------------------
// Word layout of the rounds.
//
// The initial permutation leaves bit i (1..32) of a half at word bit i - 1.
// For the rounds both halves are rotated left by 3, putting bit i at
// (i + 2) mod 32: then the six half bits each S-box reads lie side by side.
// S1, S3, S5 and S7 read that view at bits 2-7, 10-15, 18-23 and 26-31;
// S2, S4, S6 and S8 read the same groups of a second view rotated right by a
// further 4 bits, where bit i sits at (i - 2) mod 32.

constexpr unsigned roundPosition(unsigned halfBit) {
    return (halfBit + 2u) % 32u;
}

constexpr unsigned viewPosition(unsigned box, unsigned halfBit) {
    return box % 2u == 0 ? roundPosition(halfBit) : (halfBit + 30u) % 32u;
}

constexpr unsigned sboxGroupBase(unsigned box) {
    return 2u + 8u * (box / 2u);
}

// Which bit of its 6-bit table index carries input bit `inputBit` (0 = the
// first expansion bit) of S-box `box` (0..7).
constexpr unsigned sboxIndexBit(unsigned box, unsigned inputBit) {
    return viewPosition(box, EXPANSION[6u * box + inputBit]) - sboxGroupBase(box);
}

constexpr bool sboxGroupsAreContiguous() {
    for (unsigned box = 0; box < 8; ++box) {
        unsigned seen = 0;
        for (unsigned b = 0; b < 6; ++b) {
            const unsigned position = viewPosition(box, EXPANSION[6u * box + b]);
            if (position < sboxGroupBase(box) || position >= sboxGroupBase(box) + 6u) {
                return false;
            }
            seen |= 1u << sboxIndexBit(box, b);
        }
        if (seen != 0x3fu) {
            return false;
        }
    }
    return true;
}
static_assert(sboxGroupsAreContiguous(), "the expansion must map onto the 6-bit index groups");

using Table64 = std::array<uint32_t, 64>;

// S-box `box` combined with P: the word to XOR into the other half, in the
// rotated layout, for each 6-bit index read from the S-box's group.
constexpr uint32_t sboxPermutationEntry(unsigned box, unsigned index) {
    unsigned input = 0;  // the first expansion bit is the most significant
    for (unsigned b = 0; b < 6; ++b) {
        if (((index >> sboxIndexBit(box, b)) & 1u) != 0) {
            input |= 1u << (5u - b);
        }
    }
    const unsigned row = ((input >> 4) & 2u) | (input & 1u);
    const unsigned column = (input >> 1) & 15u;
    const unsigned value = SBOXES[box][16u * row + column];
    uint32_t word = 0;
    for (unsigned i = 0; i < 32; ++i) {
        const unsigned source = PERMUTATION[i] - 1u;  // 0-based S-box output bit
        if (source / 4u == box && ((value >> (3u - source % 4u)) & 1u) != 0) {
            word |= 1u << roundPosition(i + 1u);
        }
    }
    return word;
}

constexpr std::array<Table64, 8> makeSboxPermutationTables() {
    std::array<Table64, 8> tables{};
    for (unsigned box = 0; box < 8; ++box) {
        for (unsigned index = 0; index < 64; ++index) {
            tables[box][index] = sboxPermutationEntry(box, index);
        }
    }
    return tables;
}

alignas(64) inline constexpr std::array<Table64, 8> SBOX_P = makeSboxPermutationTables();

// S1 maps input 0 to 14 = 1110b; P sends S-box outputs 1, 2, 3 to round
// outputs 9, 17, 23, which sit at 11, 19, 25 in the rotated layout.
static_assert(SBOX_P[0][0] == 0x02080800u);
// S8 maps input 63 (row 3, column 15) to 11 = 1011b: outputs 29, 31, 32 go
// to round outputs 5, 15, 21 (P), that is bits 7, 17, 23.
static_assert(SBOX_P[7][63] == 0x00820080u);

constexpr bool sboxPermutationTablesAreWellFormed() {
    uint32_t all = 0;
    for (unsigned box = 0; box < 8; ++box) {
        uint32_t used = 0;
        for (unsigned index = 0; index < 64; ++index) {
            used |= SBOX_P[box][index];
        }
        // Each S-box drives exactly four output bits, none shared.
        if (std::popcount(used) != 4 || (all & used) != 0) {
            return false;
        }
        all |= used;
        // Each row of an S-box is a permutation of 0..15, so every output
        // word occurs exactly four times.
        for (unsigned index = 0; index < 64; ++index) {
            unsigned count = 0;
            for (unsigned other = 0; other < 64; ++other) {
                count += SBOX_P[box][other] == SBOX_P[box][index] ? 1u : 0u;
            }
            if (count != 4) {
                return false;
            }
        }
    }
    return all == 0xffffffffu;
}
static_assert(sboxPermutationTablesAreWellFormed());

// ---------------------------------------------------------------------------
// Key schedule layout.
//
// C holds register bits 1..28 and D bits 29..56 (numbered as in PC-2), the
// lowest-numbered bit most significant: bit n of C at word bit 28 - n, bit n
// of D at 56 - n. The standard's left rotation is then a 28-bit left
// rotation. PC-2 drops bits 9, 18, 22, 25 of C and 35, 38, 43, 54 of D; the
// 48 bits it keeps are read as eight groups of six, four per register.

// Register bits of each group, from the index's most significant bit down.
inline constexpr uint8_t KEY_GROUPS[8][6] = {{1, 2, 3, 4, 5, 6},       {7, 8, 10, 11, 12, 13},
                                             {14, 15, 16, 17, 19, 20}, {21, 23, 24, 26, 27, 28},
                                             {29, 30, 31, 32, 33, 34}, {36, 37, 39, 40, 41, 42},
                                             {44, 45, 46, 47, 48, 49}, {50, 51, 52, 53, 55, 56}};

constexpr uint32_t keyGroupIndex(unsigned group, uint32_t c, uint32_t d) {
    switch (group) {
        case 0:
            return (c >> 22) & 0x3fu;
        case 1:
            return ((c >> 16) & 0x30u) | ((c >> 15) & 0x0fu);
        case 2:
            return ((c >> 9) & 0x3cu) | ((c >> 8) & 0x03u);
        case 3:
            return ((c >> 2) & 0x20u) | ((c >> 1) & 0x18u) | (c & 0x07u);
        case 4:
            return (d >> 22) & 0x3fu;
        case 5:
            return ((d >> 15) & 0x30u) | ((d >> 14) & 0x0fu);
        case 6:
            return (d >> 7) & 0x3fu;
        default:
            return ((d >> 1) & 0x3cu) | (d & 0x03u);
    }
}

// Every register bit reaches exactly its slot of its own group's index, and
// the groups hold exactly the bits PC-2 keeps.
constexpr bool keyGroupsMatchExtraction() {
    uint64_t covered = 0;
    for (unsigned group = 0; group < 8; ++group) {
        for (unsigned slot = 0; slot < 6; ++slot) {
            const unsigned n = KEY_GROUPS[group][slot];
            const uint32_t c = n <= 28 ? 1u << (28u - n) : 0u;
            const uint32_t d = n > 28 ? 1u << (56u - n) : 0u;
            for (unsigned other = 0; other < 8; ++other) {
                const uint32_t expected = other == group ? 1u << (5u - slot) : 0u;
                if (keyGroupIndex(other, c, d) != expected) {
                    return false;
                }
            }
            covered |= uint64_t{1} << n;
        }
    }
    uint64_t selected = 0;
    for (unsigned k = 0; k < 48; ++k) {
        selected |= uint64_t{1} << PERMUTED_CHOICE_2[k];
    }
    return covered == selected && std::popcount(selected) == 48;
}
static_assert(keyGroupsMatchExtraction());

// Subkey bit k (0..47) is XORed with expansion bit k, so it takes that bit's
// place in its S-box's view. Table words pack two 16-bit halves: a C table
// (S1-S4, all in the low half of their views) carries the first view's low
// half in bits 0-15 and the second view's low half in bits 16-31; a D table
// (S5-S8, all in the high half) the first view's high half in bits 0-15 and
// the second view's high half in bits 16-31.
constexpr uint32_t subkeyBitWord(unsigned k) {
    const unsigned box = k / 6u;
    const unsigned position = viewPosition(box, EXPANSION[k]);
    if (box < 4) {
        return box % 2u == 0 ? 1u << position : 1u << (position + 16u);
    }
    return box % 2u == 0 ? 1u << (position - 16u) : 1u << position;
}

constexpr bool subkeyHalvesAreSeparate() {
    for (unsigned k = 0; k < 48; ++k) {
        const unsigned position = viewPosition(k / 6u, EXPANSION[k]);
        if ((k < 24) != (position < 16)) {
            return false;
        }
    }
    return true;
}
static_assert(subkeyHalvesAreSeparate());

constexpr uint32_t keyGroupEntry(unsigned group, unsigned index) {
    uint32_t word = 0;
    for (unsigned slot = 0; slot < 6; ++slot) {
        if (((index >> (5u - slot)) & 1u) == 0) {
            continue;
        }
        for (unsigned k = 0; k < 48; ++k) {
            if (PERMUTED_CHOICE_2[k] == KEY_GROUPS[group][slot]) {
                word |= subkeyBitWord(k);
            }
        }
    }
    return word;
}

constexpr std::array<Table64, 8> makeKeyGroupTables() {
    std::array<Table64, 8> tables{};
    for (unsigned group = 0; group < 8; ++group) {
        for (unsigned index = 0; index < 64; ++index) {
            tables[group][index] = keyGroupEntry(group, index);
        }
    }
    return tables;
}

alignas(64) inline constexpr std::array<Table64, 8> KEY_PC2 = makeKeyGroupTables();

// C bit 1 is subkey bit 5 (PC-2), an S1 input fed by half bit 4, which sits
// at bit 6 of the first view: word bit 6.
static_assert(KEY_PC2[0][0x20] == 0x00000040u);
// D bit 56 (the last) is subkey bit 40, an S7 input fed by half bit 27, at
// bit 29 of the first view: bit 13 of a D word.
static_assert(KEY_PC2[7][0x01] == 0x00002000u);

}  // namespace vc::des_tables
