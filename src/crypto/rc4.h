// RC4 stream cipher. The state is key material: callers wipe it.
#pragma once

#include <cstdint>

namespace vc {

struct Rc4State {
    uint8_t s[256];
    uint8_t x;
    uint8_t y;
};
static_assert(sizeof(Rc4State) == 258);

// keyLength must be at least 1; bytes past the 256th are not used.
void rc4SetKey(const uint8_t* key, uint32_t keyLength, Rc4State* state) noexcept;
// XORs the next `length` keystream bytes into data, in place.
void rc4Crypt(uint8_t* data, uint32_t length, Rc4State* state) noexcept;

}  // namespace vc
