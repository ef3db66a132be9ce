// Drawing for the X11 window system: device contexts kept as GCs with the
// colours and mode a Windows device context keeps, text and lines drawn as
// Windows draws them, the host's picture, and the screen read a line at a
// time for the digest.
#include "entropy/x11_window_system.h"
#include "support/secure_wipe.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vc::x11 {
namespace {

short clampShort(int32_t value) noexcept {
    return static_cast<short>(value < -32768 ? -32768 : (value > 32767 ? 32767 : value));
}

unsigned short clampExtent(int32_t value) noexcept {
    return static_cast<unsigned short>(value < 0 ? 0 : (value > 65535 ? 65535 : value));
}

XRectangle xRectangle(const WindowRect& rect) noexcept {
    return XRectangle{clampShort(rect.left), clampShort(rect.top),
                      clampExtent(rect.right - rect.left), clampExtent(rect.bottom - rect.top)};
}

unsigned long channelPixel(uint32_t value, unsigned long mask) noexcept {
    if (mask == 0) {
        return 0;
    }
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const unsigned long scaled = bits >= 8 ? static_cast<unsigned long>(value) << (bits - 8)
                                           : static_cast<unsigned long>(value) >> (8 - bits);
    return (scaled << shift) & mask;
}

}  // namespace

unsigned long XWindowSystem::pixel(Color color) const noexcept {
    const uint32_t red = color & 0xFF;
    const uint32_t green = (color >> 8) & 0xFF;
    const uint32_t blue = (color >> 16) & 0xFF;
    if (visual_ != nullptr && (visual_->c_class == TrueColor || visual_->c_class == DirectColor)) {
        return channelPixel(red, visual_->red_mask) | channelPixel(green, visual_->green_mask) |
               channelPixel(blue, visual_->blue_mask);
    }
    // Colour-mapped and grey displays get black or white, whichever is
    // nearer: enough for text and lines to stay readable.
    const uint32_t luminance = (red * 30 + green * 59 + blue * 11) / 100;
    return luminance >= 128 ? WhitePixel(display_, screen_) : BlackPixel(display_, screen_);
}

// A fresh context has Windows' defaults: black text on an opaque white
// background, and the GC open() made for its place. A dead connection
// gives none, so nothing more is drawn: Xlib keeps what is sent over one
// in its buffer, and a request that no longer fits there crashes in Xlib.
Context* XWindowSystem::newContext(Drawable drawable) noexcept {
    if (connectionLost) {
        return nullptr;
    }
    for (uint32_t i = 0; i < CONTEXT_COUNT; ++i) {
        if (contexts_[i].kind == ContextKind::FREE && gcs_[i] != nullptr) {
            contexts_[i] = Context{.kind = ContextKind::DRAWING,
                                   .gc = gcs_[i],
                                   .drawable = drawable,
                                   .background = 0x00FFFFFF,
                                   .text = 0x00000000,
                                   .backgroundMode = BACKGROUND_OPAQUE,
                                   .lineWidth = 0};
            return &contexts_[i];
        }
    }
    return nullptr;
}

Context* XWindowSystem::drawing(DrawingContext dc) const noexcept {
    auto* context = static_cast<Context*>(dc);
    return context != nullptr && context->kind == ContextKind::DRAWING ? context : nullptr;
}

// The GC stays for the next context; close() frees it.
void XWindowSystem::freeContext(Context* context) noexcept {
    if (context == nullptr) {
        return;
    }
    *context = Context{};
    xlib.flush(display_);
}

DrawingContext XWindowSystem::getDC(WindowHandle window) noexcept {
    return newContext(window != nullptr ? windowId(window) : root_);
}

void XWindowSystem::releaseDC(WindowHandle, DrawingContext dc) noexcept {
    freeContext(drawing(dc));
}

WindowSize XWindowSystem::deviceSize(DrawingContext) noexcept {
    return WindowSize{DisplayWidth(display_, screen_), DisplayHeight(display_, screen_)};
}

// X has no system colours; these are the classic Windows ones.
Color XWindowSystem::sysColor(SystemColor index) noexcept {
    switch (index) {
        case SYSTEM_COLOR_SCROLL_BAR:
            return 0x00C8C8C8;
        case SYSTEM_COLOR_ACTIVE_CAPTION:
            return 0x00800000;
        case SYSTEM_COLOR_WINDOW:
            return 0x00FFFFFF;
        case SYSTEM_COLOR_BUTTON_FACE:
            return 0x00C0C0C0;
        case SYSTEM_COLOR_BUTTON_SHADOW:
            return 0x00808080;
        case SYSTEM_COLOR_WINDOW_TEXT:
        case SYSTEM_COLOR_BUTTON_TEXT:
        default:
            return 0x00000000;
    }
}

// The colours and the background mode are kept in the context and applied
// when drawing, as a Windows device context keeps them.
template <typename T>
T XWindowSystem::exchange(DrawingContext dc, T Context::*field, T value) noexcept {
    Context* context = drawing(dc);
    return context == nullptr ? T{} : std::exchange(context->*field, value);
}

Color XWindowSystem::setBkColor(DrawingContext dc, Color color) noexcept {
    return exchange(dc, &Context::background, color);
}

Color XWindowSystem::setTextColor(DrawingContext dc, Color color) noexcept {
    return exchange(dc, &Context::text, color);
}

int32_t XWindowSystem::setBkMode(DrawingContext dc, int32_t mode) noexcept {
    return exchange(dc, &Context::backgroundMode, mode);
}

void XWindowSystem::clipTo(const Context& context, const WindowRect& rect) noexcept {
    XRectangle clip = xRectangle(rect);
    xlib.setClipRectangles(display_, context.gc, 0, 0, &clip, 1, Unsorted);
}

// (x, y) is the top-left corner of the text cell, as on Windows; X draws
// from the baseline. An opaque background fills the cell behind the text.
void XWindowSystem::drawRun(const Context& context, int32_t x, int32_t y, const char* text,
                            int32_t length) noexcept {
    if (font_ == nullptr || length <= 0) {
        return;
    }
    xlib.setForeground(display_, context.gc, pixel(context.text));
    const int32_t baseline = y + font_->ascent;
    if (context.backgroundMode == BACKGROUND_OPAQUE) {
        xlib.setBackground(display_, context.gc, pixel(context.background));
        xlib.drawImageString(display_, context.drawable, context.gc, x, baseline, text, length);
    } else {
        xlib.drawString(display_, context.drawable, context.gc, x, baseline, text, length);
    }
}

void XWindowSystem::extTextOut(DrawingContext dc, int32_t x, int32_t y, uint32_t options,
                               const WindowRect& rect, const char* text, uint32_t length) noexcept {
    Context* context = drawing(dc);
    if (context == nullptr) {
        return;
    }
    if ((options & TEXT_OUT_OPAQUE) != 0 && rect.right > rect.left && rect.bottom > rect.top) {
        const XRectangle fill = xRectangle(rect);
        xlib.setForeground(display_, context->gc, pixel(context->background));
        xlib.fillRectangle(display_, context->drawable, context->gc, fill.x, fill.y, fill.width,
                           fill.height);
    }
    if (text == nullptr || length == 0) {
        return;
    }
    const bool clipped = (options & TEXT_OUT_CLIPPED) != 0;
    if (clipped) {
        clipTo(*context, rect);
    }
    drawRun(*context, x, y, text, static_cast<int32_t>(length > 0x7FFF ? 0x7FFF : length));
    if (clipped) {
        xlib.setClipMask(display_, context->gc, None);
    }
}

int32_t XWindowSystem::charWidth(char c) noexcept {
    return xlib.textWidth(font_, &c, 1);
}

// The end of the part of line that fits maxWidth: the space where a word
// wraps, a line break, or the end of the text. A word wider than the whole
// line stays in one piece and is clipped, as DrawText does.
const char* XWindowSystem::lineEnd(const char* line, int32_t maxWidth) noexcept {
    int32_t width = 0;
    const char* lastSpace = nullptr;
    const char* p = line;
    for (; *p != '\0' && *p != '\r' && *p != '\n'; ++p) {
        if (*p == ' ') {
            lastSpace = p;
        }
        width += charWidth(*p);
        if (width > maxWidth && lastSpace != nullptr) {
            return lastSpace;
        }
    }
    return p;
}

namespace {

// Where the next line starts: after the spaces of a wrap, after CR LF, a
// lone LF or a lone CR.
const char* nextLineStart(const char* end) noexcept {
    if (*end == ' ') {
        while (*end == ' ') {
            ++end;
        }
        return end;
    }
    if (*end == '\r') {
        return end[1] == '\n' ? end + 2 : end + 1;
    }
    return *end == '\n' ? end + 1 : end;
}

}  // namespace

void XWindowSystem::drawText(DrawingContext dc, const char* text, const WindowRect& rect) noexcept {
    Context* context = drawing(dc);
    if (context == nullptr || font_ == nullptr || text == nullptr) {
        return;
    }
    clipTo(*context, rect);
    const int32_t lineHeight = font_->ascent + font_->descent;
    const int32_t maxWidth = rect.right - rect.left;
    int32_t y = rect.top;
    for (const char* line = text; *line != '\0' && y < rect.bottom; y += lineHeight) {
        const char* end = lineEnd(line, maxWidth);
        drawRun(*context, rect.left, y, line, static_cast<int32_t>(end - line));
        line = nextLineStart(end);
    }
    xlib.setClipMask(display_, context->gc, None);
}

WindowSize XWindowSystem::textExtent(DrawingContext, const char* text, uint32_t length) noexcept {
    if (font_ == nullptr || text == nullptr) {
        return WindowSize{0, 0};
    }
    const int count = static_cast<int>(length > 0x7FFF ? 0x7FFF : length);
    return WindowSize{xlib.textWidth(font_, text, count), font_->ascent + font_->descent};
}

void XWindowSystem::polyline(DrawingContext dc, Color pen, const WindowPoint* points,
                             uint32_t count) noexcept {
    Context* context = drawing(dc);
    if (context == nullptr || points == nullptr) {
        return;
    }
    xlib.setForeground(display_, context->gc, pixel(pen));
    // In pieces of at most 16 points; each piece starts where the last ended.
    constexpr uint32_t PIECE = 16;
    XPoint piece[PIECE];
    for (uint32_t start = 0; start + 1 < count;) {
        const uint32_t n = count - start < PIECE ? count - start : PIECE;
        for (uint32_t i = 0; i < n; ++i) {
            piece[i] = XPoint{clampShort(points[start + i].x), clampShort(points[start + i].y)};
        }
        xlib.drawLines(display_, context->drawable, context->gc, piece, static_cast<int>(n),
                       CoordModeOrigin);
        start += n - 1;
    }
}

// The host's picture is a pixmap of the screen's depth; a bad id makes
// XGetGeometry fail through the error handler.
bool XWindowSystem::bitmapSize(void* bitmap, WindowSize* size) noexcept {
    const auto pixmap = static_cast<Drawable>(reinterpret_cast<uintptr_t>(bitmap));
    Window root = 0;
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    if (pixmap == 0 || size == nullptr ||
        xlib.getGeometry(display_, pixmap, &root, &x, &y, &width, &height, &border, &depth) == 0) {
        return false;
    }
    *size = WindowSize{static_cast<int32_t>(width), static_cast<int32_t>(height)};
    return true;
}

DrawingContext XWindowSystem::selectBitmap(DrawingContext, void* bitmap) noexcept {
    WindowSize size{};
    if (!bitmapSize(bitmap, &size)) {
        return nullptr;
    }
    return newContext(static_cast<Drawable>(reinterpret_cast<uintptr_t>(bitmap)));
}

void XWindowSystem::blit(DrawingContext dc, int32_t x, int32_t y, int32_t width, int32_t height,
                         DrawingContext source) noexcept {
    Context* target = drawing(dc);
    const Context* from = drawing(source);
    if (target == nullptr || from == nullptr || width <= 0 || height <= 0) {
        return;
    }
    xlib.copyArea(display_, from->drawable, target->drawable, target->gc, 0, 0,
                  static_cast<unsigned int>(width), static_cast<unsigned int>(height), x, y);
}

void XWindowSystem::releaseBitmapContext(DrawingContext memory) noexcept {
    freeContext(drawing(memory));
}

// X reads screen lines straight from the root window, so the reader only
// has to remember the width.
DrawingContext XWindowSystem::beginScreenLines(DrawingContext, int32_t width) noexcept {
    for (Context& context : contexts_) {
        if (context.kind == ContextKind::FREE) {
            context = Context{};
            context.kind = ContextKind::SCREEN_LINES;
            context.lineWidth = width;
            return &context;
        }
    }
    return nullptr;
}

uint32_t XWindowSystem::readScreenLine(DrawingContext lines, DrawingContext, int32_t y,
                                       uint8_t* buffer, uint32_t capacity) noexcept {
    // A request per line: on a dead connection a tall screen's worth of
    // them would overflow Xlib's buffer (see newContext).
    if (connectionLost) {
        return 0;
    }
    const auto* reader = static_cast<const Context*>(lines);
    if (reader == nullptr || reader->kind != ContextKind::SCREEN_LINES || reader->lineWidth <= 0 ||
        y < 0) {
        return 0;
    }
    XImage* image = xlib.getImage(
        display_, root_, 0, y, static_cast<unsigned int>(reader->lineWidth), 1, AllPlanes, ZPixmap);
    if (image == nullptr) {
        return 0;
    }
    const auto available =
        static_cast<uint32_t>(image->bytes_per_line > 0 ? image->bytes_per_line : 0);
    const uint32_t copied = available < capacity ? available : capacity;
    std::memcpy(buffer, image->data, copied);
    // The screen's contents are seed material.
    secureWipe(image->data, available);
    XDestroyImage(image);
    return copied;
}

void XWindowSystem::endScreenLines(DrawingContext lines) noexcept {
    auto* reader = static_cast<Context*>(lines);
    if (reader != nullptr && reader->kind == ContextKind::SCREEN_LINES) {
        *reader = Context{};
    }
}

}  // namespace vc::x11
