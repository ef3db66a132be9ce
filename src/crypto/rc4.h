// RC4 stream cipher. The state is key material: callers wipe it.
#pragma once

#include <cstdint>

namespace vc {

// The permutation in 32-bit entries: on 32-bit x86 a byte can be stored
// only from four of the seven registers, which the keystream loop cannot
// spare, while a word store takes any; a word per entry costs nothing in 64
// bits. Entries stay below 256, as x and y do between calls.
struct Rc4State {
    uint32_t s[256];
    uint32_t x;
    uint32_t y;
};
static_assert(sizeof(Rc4State) == 1032);

// keyLength must be at least 1; bytes past the 256th are not used.
void rc4SetKey(const uint8_t* key, uint32_t keyLength, Rc4State* state) noexcept;
// XORs the next `length` keystream bytes into data, in place.
void rc4Crypt(uint8_t* data, uint32_t length, Rc4State* state) noexcept;

}  // namespace vc
