// Keys and texts between X and Windows: X keysyms become the Windows
// virtual-key codes the gatherer's key rules see, and Windows-1252 texts
// become UTF-8 for the window's properties.
#include "entropy/x11_translation.h"

#include <X11/keysym.h>

namespace vc::x11 {
namespace {

// Windows-1252 0x80..0x9F in Unicode; the five unassigned bytes keep their
// C1 control code, as Windows' own conversion does.
constexpr uint16_t WINDOWS_1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Windows virtual-key codes for the keys whose keysym does not give it
// directly (letters, digits, keypad digits and function keys are computed).
struct KeyMapping {
    KeySym keysym;
    uint8_t virtualKey;
};

constexpr KeyMapping KEY_MAPPINGS[] = {
    {XK_BackSpace, 0x08},   {XK_Tab, 0x09},          {XK_ISO_Left_Tab, 0x09},
    {XK_Return, 0x0D},      {XK_KP_Enter, 0x0D},     {XK_Shift_L, 0x10},
    {XK_Shift_R, 0x10},     {XK_Control_L, 0x11},    {XK_Control_R, 0x11},
    {XK_Pause, 0x13},       {XK_Caps_Lock, 0x14},    {XK_Escape, 0x1B},
    {XK_space, 0x20},       {XK_Prior, 0x21},        {XK_Next, 0x22},
    {XK_End, 0x23},         {XK_Home, 0x24},         {XK_Left, 0x25},
    {XK_Up, 0x26},          {XK_Right, 0x27},        {XK_Down, 0x28},
    {XK_Print, 0x2C},       {XK_Insert, 0x2D},       {XK_Delete, 0x2E},
    {XK_KP_Prior, 0x21},    {XK_KP_Next, 0x22},      {XK_KP_End, 0x23},
    {XK_KP_Home, 0x24},     {XK_KP_Left, 0x25},      {XK_KP_Up, 0x26},
    {XK_KP_Right, 0x27},    {XK_KP_Down, 0x28},      {XK_KP_Begin, 0x0C},
    {XK_KP_Insert, 0x2D},   {XK_KP_Delete, 0x2E},    {XK_Super_L, 0x5B},
    {XK_Super_R, 0x5C},     {XK_Menu, 0x5D},         {XK_KP_Multiply, 0x6A},
    {XK_KP_Add, 0x6B},      {XK_KP_Separator, 0x6C}, {XK_KP_Subtract, 0x6D},
    {XK_KP_Decimal, 0x6E},  {XK_KP_Divide, 0x6F},    {XK_Num_Lock, 0x90},
    {XK_Scroll_Lock, 0x91}, {XK_semicolon, 0xBA},    {XK_equal, 0xBB},
    {XK_comma, 0xBC},       {XK_minus, 0xBD},        {XK_period, 0xBE},
    {XK_slash, 0xBF},       {XK_grave, 0xC0},        {XK_bracketleft, 0xDB},
    {XK_backslash, 0xDC},   {XK_bracketright, 0xDD}, {XK_apostrophe, 0xDE},
};

}  // namespace

uint32_t windows1252ToUtf8(const char* text, uint8_t* out, uint32_t capacity) noexcept {
    uint32_t used = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto byte = static_cast<uint8_t>(*p);
        const uint32_t code = byte >= 0x80 && byte < 0xA0 ? WINDOWS_1252_HIGH[byte - 0x80] : byte;
        const uint32_t length = code < 0x80 ? 1 : (code < 0x800 ? 2 : 3);
        if (capacity - used < length) {
            break;
        }
        if (length == 1) {
            out[used] = static_cast<uint8_t>(code);
        } else if (length == 2) {
            out[used] = static_cast<uint8_t>(0xC0 | (code >> 6));
            out[used + 1] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        } else {
            out[used] = static_cast<uint8_t>(0xE0 | (code >> 12));
            out[used + 1] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
            out[used + 2] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        }
        used += length;
    }
    return used;
}

uint8_t virtualKey(KeySym keysym) noexcept {
    if (keysym >= XK_a && keysym <= XK_z) {
        return static_cast<uint8_t>('A' + (keysym - XK_a));
    }
    if ((keysym >= XK_A && keysym <= XK_Z) || (keysym >= XK_0 && keysym <= XK_9)) {
        return static_cast<uint8_t>(keysym);
    }
    if (keysym >= XK_KP_0 && keysym <= XK_KP_9) {
        return static_cast<uint8_t>(0x60 + (keysym - XK_KP_0));
    }
    if (keysym >= XK_F1 && keysym <= XK_F24) {
        return static_cast<uint8_t>(0x70 + (keysym - XK_F1));
    }
    for (const KeyMapping& mapping : KEY_MAPPINGS) {
        if (mapping.keysym == keysym) {
            return mapping.virtualKey;
        }
    }
    return static_cast<uint8_t>(keysym & 0xFF);
}

bool isSystemKey(KeySym keysym, unsigned int modifiers) noexcept {
    return (modifiers & Mod1Mask) != 0 || keysym == XK_Alt_L || keysym == XK_Alt_R ||
           keysym == XK_Meta_L || keysym == XK_Meta_R || keysym == XK_F10;
}

}  // namespace vc::x11
