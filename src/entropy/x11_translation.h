// What the X11 window system translates between X's terms and the Windows
// ones the gatherer is written in: keys to virtual-key codes, and the
// gatherer's Windows-1252 texts to the UTF-8 that window managers read.
#pragma once

#include <X11/X.h>

#include <cstdint>

namespace vc::x11 {

// Converts a NUL-terminated Windows-1252 text to UTF-8, stopping before a
// character that would not fit; returns the bytes written.
uint32_t windows1252ToUtf8(const char* text, uint8_t* out, uint32_t capacity) noexcept;

// The Windows virtual-key code of the key with this unshifted keysym.
uint8_t virtualKey(KeySym keysym) noexcept;

// Windows reports Alt, F10 and every key pressed with Alt as system keys,
// which the gatherer never sees; the same keys are left out here so both
// platforms count the same presses.
bool isSystemKey(KeySym keysym, unsigned int modifiers) noexcept;

}  // namespace vc::x11
