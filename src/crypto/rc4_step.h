// One RC4 keystream byte, shared by the plain keystream loop and the one
// stitched with MD5.
#pragma once

#include <cstdint>

namespace vc::rc4_detail {

// sx points at S[x] for the step's (already advanced) x. y runs on as a
// plain 32-bit sum and only its low 8 bits are used: the sum's low byte is
// the same as the masked sum's, and keeping the mask off y means the chain
// from one byte to the next is a single addition. The other indices are
// masked, so the table cannot be overrun whatever it holds.
[[gnu::always_inline]] inline uint32_t step(uint32_t* s, uint32_t* sx, uint32_t& y) noexcept {
    const uint32_t tx = *sx;
    y += tx;
    const uint32_t yi = y & 0xffu;
    const uint32_t ty = s[yi];
    s[yi] = tx;
    *sx = ty;
    return s[(tx + ty) & 0xffu];
}

}  // namespace vc::rc4_detail

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VC_RC4_ASSEMBLY_STEPS 1

// The swap every assembly step shares, given where S[x] is: tx =
// S[x], y += tx in its low byte, S[x] and S[y] exchanged, ty = tx + S[y]
// in its low byte, the index of the keystream byte. The operands are named
// tx, ty, y and s; x and y stay below 256 as byte-wide registers.
#define VC_RC4_SWAP(SX)                \
    "movzbl " SX                       \
    ", %k[tx]\n\t"                     \
    "addb %b[tx], %b[y]\n\t"           \
    "movzbl (%[s],%[y],4), %k[ty]\n\t" \
    "movl %k[tx], (%[s],%[y],4)\n\t"   \
    "movl %k[ty], " SX                 \
    "\n\t"                             \
    "addb %b[tx], %b[ty]\n\t"

namespace vc::rc4_detail {

// One keystream byte where the caller knows x + 1 to be sx - S + AHEAD,
// below 256: S[x + 1] is addressed at a fixed offset from sx, and x costs
// nothing per byte. y is held in a register as a value below 256: a
// byte-wide addition wraps it in place and leaves it usable as an index,
// where the C++ form needs a mask and a zero extension. Entries are loaded
// as their low byte, so no index can leave the table whatever it holds.
// The byte goes into the low byte of word (a register's width, 4 or 8
// bytes), which then turns right by 8: after a word's worth of steps the
// first byte is the lowest, as a little-endian load of the data has it.
// The byte-wide operands take registers that have a low byte ("q"), which
// in 32-bit code are only eax, ebx, ecx and edx: four, just enough.
template <unsigned AHEAD, typename Word>
[[gnu::always_inline]] inline void stepAt(uint32_t* s, uint32_t* sx, uintptr_t& y,
                                          Word& word) noexcept {
    static_assert(AHEAD <= 255 && sizeof(Word) == sizeof(uintptr_t));
    uintptr_t tx;
    uintptr_t ty;
    asm(VC_RC4_SWAP("%c[at](%[sx])")
        "movb (%[s],%[ty],4), %b[word]\n\t"
        "ror $8, %[word]"
        : [y] "+q"(y), [tx] "=&q"(tx), [ty] "=&q"(ty), [word] "+q"(word),
          "+m"(*reinterpret_cast<uint32_t(*)[256]>(s))
        : [s] "r"(s), [sx] "r"(sx), [at] "i"(4 * AHEAD)
        : "cc");
}

}  // namespace vc::rc4_detail
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VC_RC4_BYTE_REGISTERS 1

#include <emmintrin.h>

namespace vc::rc4_detail {

// stepAt's step for bytes whose x may wrap: x is held in a register as
// well, below 256, and moves on in its low byte.
[[gnu::always_inline]] inline void stepInto(uint32_t* s, uint64_t& x, uint64_t& y,
                                            uint64_t& word) noexcept {
    uint64_t tx;
    uint64_t ty;
    asm("addb $1, %b[x]\n\t" VC_RC4_SWAP("(%[s],%[x],4)")
        "movb (%[s],%[ty],4), %b[word]\n\t"
        "rorq $8, %[word]"
        : [x] "+r"(x), [y] "+r"(y), [tx] "=&r"(tx), [ty] "=&r"(ty), [word] "+r"(word),
          "+m"(*reinterpret_cast<uint32_t(*)[256]>(s))
        : [s] "r"(s)
        : "cc");
}

// stepAt, with the keystream byte put into 16-bit lane LANE of acc, read
// as the low half of its entry (the byte and a zero): one insert from
// memory in place of a load and a store or an XOR into the data, which
// measured faster where the steps share the core with MD5's, whose
// additions and rotations want the integer units and the issue slots.
template <unsigned AHEAD, unsigned LANE>
[[gnu::always_inline]] inline void stepAtLane(uint32_t* s, uint32_t* sx, uint64_t& y,
                                              __m128i& acc) noexcept {
    static_assert(AHEAD <= 255 && LANE < 8);
    uint64_t tx;
    uint64_t ty;
    asm(VC_RC4_SWAP("%c[at](%[sx])") "pinsrw %[lane], (%[s],%[ty],4), %[acc]"
        : [y] "+r"(y), [tx] "=&r"(tx), [ty] "=&r"(ty), [acc] "+x"(acc),
          "+m"(*reinterpret_cast<uint32_t(*)[256]>(s))
        : [s] "r"(s), [sx] "r"(sx), [at] "i"(4 * AHEAD), [lane] "i"(LANE)
        : "cc");
}

}  // namespace vc::rc4_detail

#endif

#undef VC_RC4_SWAP
