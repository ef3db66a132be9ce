// The mouse-and-keyboard gatherer: turns the user's key presses and mouse
// movements into seed bytes, paints its progress, and ends with a digest of
// the whole screen. Every rule lives here; the window system underneath is
// reached only through WindowSystem, so the same rules run on Windows, on
// X11 and against the tests' scripted fake.
#include <cstdio>
#include <cstring>

#include "crypto/md5.h"
#include "entropy/window_system.h"
#include "support/secure_wipe.h"

namespace vc {

const char GATHER_WINDOW_CLASS[] = "MouseKeyboard";
const char GATHER_WINDOW_TITLE[] = "Veilcastnet\xAE";
// Three lines; the first ends in CR LF, the second in a lone LF.
const char GATHER_DEFAULT_PROMPT[] =
    "Bitte Zufallszahlen erzeugen...\r\n"
    "Bewegen Sie die Maus innerhalb dieses Fensters und/oder bet\xE4tigen Sie "
    "gew\xF6hnliche Tasten (keine Funktionstasten) der Tastatur!\n"
    "Tastatur- und Mauseingaben gleichzeitig sind auch m\xF6glich.";

namespace {

// The text colour over the host's background picture.
constexpr Color BITMAP_TEXT_COLOR = 0x00800000;  // RGB(0, 0, 128)

uint8_t rotateLeft8(uint32_t value, uint32_t bits) noexcept {
    const uint32_t v = value & 0xFF;
    return static_cast<uint8_t>(((v << bits) | (v >> ((8 - bits) & 7))) & 0xFF);
}

// The two lowest bits of the clock both enter the byte and choose its
// rotation; the loop counter adds the processor's timing.
uint8_t seedByte(const GatherState& state, uint32_t ticks, uint32_t eventBits) noexcept {
    const uint32_t r = ticks & 3;
    return rotateLeft8((r << 6) ^ (state.spinCounter & 0xFF) ^ eventBits, r);
}

// Repaints only on a change; a negative answer means the generator has
// enough and the window is asked to close.
void reportProgress(WindowSystem& system, GatherState& state, int32_t progress) noexcept {
    if (progress != state.lastProgress) {
        DrawingContext dc = system.getDC(state.window);
        entropyPaintProgress(system, state.window, dc, progress);
        system.releaseDC(state.window, dc);
        state.lastProgress = progress;
    }
    if (progress < 0) {
        system.postMessage(state.window, MESSAGE_CLOSE);
    }
}

void feed(WindowSystem& system, GatherState& state, uint8_t byte) noexcept {
    const int32_t progress = state.callback(&byte, 1);
    secureWipeObject(byte);
    reportProgress(system, state, progress);
}

void onKeyDown(WindowSystem& system, GatherState& state, uintptr_t wParam,
               intptr_t lParam) noexcept {
    if (state.collecting == 0) {
        return;
    }
    // Any of the last four keys again gives nothing: held keys and short
    // repeated patterns carry next to no information.
    const auto key = static_cast<uint8_t>(wParam & 0xFF);
    for (const uint8_t recent : state.recentKeys) {
        if (recent == key) {
            return;
        }
    }
    const uint32_t scanCode = (static_cast<uintptr_t>(lParam) >> 16) & 0xFF;
    const uint32_t x = scanCode ^ state.recentKeys[0] ^ state.recentKeys[1];
    feed(system, state, seedByte(state, system.tickCount(), x));
    std::memmove(state.recentKeys + 1, state.recentKeys, sizeof(state.recentKeys) - 1);
    state.recentKeys[0] = key;
}

uint16_t distance(uint16_t a, uint16_t b) noexcept {
    return static_cast<uint16_t>(a > b ? a - b : b - a);
}

void onMouseMove(WindowSystem& system, GatherState& state, intptr_t lParam) noexcept {
    const auto bits = static_cast<uintptr_t>(lParam);
    const auto x = static_cast<uint16_t>(bits & 0xFFFF);
    const auto y = static_cast<uint16_t>((bits >> 16) & 0xFFFF);
    // The first position is only a reference, even before collecting starts.
    if (state.haveMousePoint == 0) {
        state.lastMouseX = x;
        state.lastMouseY = y;
        state.haveMousePoint = 1;
        return;
    }
    // Straight lines and small jitter are too predictable: a movement
    // counts only once it has gone far enough along both axes.
    if (distance(x, state.lastMouseX) < GATHER_MOUSE_STEP ||
        distance(y, state.lastMouseY) < GATHER_MOUSE_STEP || state.collecting == 0) {
        return;
    }
    state.lastMouseX = x;
    state.lastMouseY = y;
    feed(system, state, seedByte(state, system.tickCount(), (x & 0xFFu) ^ (y & 0xFFu)));
}

void onCreate(WindowSystem& system, WindowHandle window) noexcept {
    DrawingContext screen = system.getDC(nullptr);
    const WindowSize screenSize = system.deviceSize(screen);
    system.releaseDC(nullptr, screen);
    const WindowRect frame = system.windowRect(window);
    const int32_t width = frame.right - frame.left;
    const int32_t height = frame.bottom - frame.top;
    system.moveWindow(window, screenSize.width / 2 - width / 2, screenSize.height / 2 - height / 2);
}

// Tiles the host's picture from the top-left corner over everything but
// the progress strip; false when the picture cannot be used.
bool tileBitmap(WindowSystem& system, DrawingContext dc, void* bitmap,
                const WindowRect& client) noexcept {
    WindowSize tile{};
    if (bitmap == nullptr || !system.bitmapSize(bitmap, &tile) || tile.width <= 0 ||
        tile.height <= 0) {
        return false;
    }
    DrawingContext memory = system.selectBitmap(dc, bitmap);
    if (memory == nullptr) {
        return false;
    }
    const int32_t areaBottom = client.bottom - GATHER_PROGRESS_HEIGHT;
    for (int32_t y = client.top; y < areaBottom; y += tile.height) {
        const int32_t height = areaBottom - y < tile.height ? areaBottom - y : tile.height;
        for (int32_t x = client.left; x < client.right; x += tile.width) {
            const int32_t width = client.right - x < tile.width ? client.right - x : tile.width;
            system.blit(dc, x, y, width, height, memory);
        }
    }
    system.releaseBitmapContext(memory);
    return true;
}

void onPaint(WindowSystem& system, WindowHandle window, const GatherState& state) noexcept {
    DrawingContext dc = system.getDC(window);
    const WindowRect client = system.clientRect(window);
    const Color oldBackground = system.setBkColor(dc, system.sysColor(SYSTEM_COLOR_WINDOW));
    system.extTextOut(dc, 0, 0, TEXT_OUT_OPAQUE, client, "", 0);
    const Color textColor = tileBitmap(system, dc, state.bitmap, client)
                                ? BITMAP_TEXT_COLOR
                                : system.sysColor(SYSTEM_COLOR_WINDOW_TEXT);
    const Color oldText = system.setTextColor(dc, textColor);
    const int32_t oldMode = system.setBkMode(dc, BACKGROUND_TRANSPARENT);
    const char* text = state.promptText != nullptr && state.promptText[0] != '\0'
                           ? state.promptText
                           : GATHER_DEFAULT_PROMPT;
    system.drawText(dc, text, client);
    system.setBkMode(dc, oldMode);
    system.setTextColor(dc, oldText);
    system.setBkColor(dc, oldBackground);
    entropyPaintProgress(system, window, dc, state.lastProgress);
    system.releaseDC(window, dc);
    system.validate(window);
}

// Adds every screen line but the last to the digest, a line at a time so
// the buffer stays small on any screen.
void digestScreen(WindowSystem& system, uint8_t digest[16]) noexcept {
    Md5Context md5;
    md5Init(&md5);
    DrawingContext screen = system.getDC(nullptr);
    const WindowSize size = system.deviceSize(screen);
    DrawingContext lines = system.beginScreenLines(screen, size.width);
    uint8_t line[GATHER_SCREEN_LINE_BYTES];
    for (int32_t y = 0; y < size.height - 1; ++y) {
        uint32_t got = system.readScreenLine(lines, screen, y, line, sizeof(line));
        got = got < sizeof(line) ? got : static_cast<uint32_t>(sizeof(line));
        md5Update(&md5, line, got);
    }
    md5Final(digest, &md5);
    secureWipe(line, sizeof(line));
    secureWipeObject(md5);
    system.endScreenLines(lines);
    system.releaseDC(nullptr, screen);
}

}  // namespace

void entropyPaintProgress(WindowSystem& system, WindowHandle window, DrawingContext dc,
                          int32_t progress) noexcept {
    const int32_t p = progress < 0 ? 100 : progress;
    char text[16];
    const int written = std::snprintf(text, sizeof(text), "%3d %%", static_cast<int>(p));
    const auto length = static_cast<uint32_t>(written > 0 ? written : 0);

    WindowRect strip = system.clientRect(window);
    strip.top = strip.bottom - GATHER_PROGRESS_HEIGHT;
    const WindowPoint shadow[3] = {
        {strip.left, strip.bottom}, {strip.left, strip.top}, {strip.right, strip.top}};
    const WindowPoint light[3] = {
        {strip.right, strip.top}, {strip.right, strip.bottom}, {strip.left, strip.bottom}};
    system.polyline(dc, system.sysColor(SYSTEM_COLOR_BUTTON_SHADOW), shadow, 3);
    system.polyline(dc, system.sysColor(SYSTEM_COLOR_BUTTON_FACE), light, 3);

    const int32_t innerLeft = strip.left + 1;
    const int32_t innerTop = strip.top + 1;
    const int32_t innerWidth = strip.right - innerLeft;
    const int32_t innerHeight = strip.bottom - innerTop;
    // 64-bit so an out-of-range progress cannot overflow the product.
    const auto fillEnd =
        static_cast<int32_t>(innerLeft + static_cast<int64_t>(innerWidth) * p / 100);
    const WindowSize extent = system.textExtent(dc, text, length);
    const int32_t x = innerLeft + (innerWidth - extent.width) / 2;
    const int32_t y = innerTop + (innerHeight - extent.height) / 2;

    // The same text twice, clipped to each part of the bar, so the figure
    // changes colour exactly where the bar ends.
    const WindowRect filled = {innerLeft, innerTop, fillEnd, strip.bottom};
    const WindowRect rest = {fillEnd, innerTop, strip.right, strip.bottom};
    const Color oldBackground = system.setBkColor(dc, system.sysColor(SYSTEM_COLOR_ACTIVE_CAPTION));
    const Color oldText = system.setTextColor(dc, system.sysColor(SYSTEM_COLOR_BUTTON_FACE));
    system.extTextOut(dc, x, y, TEXT_OUT_OPAQUE | TEXT_OUT_CLIPPED, filled, text, length);
    system.setBkColor(dc, system.sysColor(SYSTEM_COLOR_SCROLL_BAR));
    system.setTextColor(dc, system.sysColor(SYSTEM_COLOR_BUTTON_TEXT));
    system.extTextOut(dc, x, y, TEXT_OUT_OPAQUE | TEXT_OUT_CLIPPED, rest, text, length);
    system.setTextColor(dc, oldText);
    system.setBkColor(dc, oldBackground);
}

intptr_t entropyWindowProc(WindowSystem& system, WindowHandle window, uint32_t message,
                           uintptr_t wParam, intptr_t lParam) noexcept {
    if (message == MESSAGE_CREATE) {
        onCreate(system, window);
        return 0;
    }
    if (message == MESSAGE_SYSTEM_COMMAND) {
        // The user can neither move, minimise nor close the window.
        return 0;
    }
    GatherState* state = system.getState(window);
    if (state == nullptr) {
        return system.defaultProc(window, message, wParam, lParam);
    }
    switch (message) {
        case MESSAGE_PAINT:
            onPaint(system, window, *state);
            return 0;
        case MESSAGE_KEY_DOWN:
            onKeyDown(system, *state, wParam, lParam);
            return 0;
        case MESSAGE_MOUSE_MOVE:
            onMouseMove(system, *state, lParam);
            return 0;
        case MESSAGE_ACTIVATE_APP:
            // Switching away must give the mouse back; coming back only
            // restores the keyboard focus.
            if (wParam == 0) {
                system.releaseCapture();
                system.clipCursor(nullptr);
            } else {
                system.setFocus(window);
            }
            return system.defaultProc(window, message, wParam, lParam);
        case MESSAGE_CLOSE:
            state->done = 1;
            // The state must not be reachable from a window on its way out.
            system.setState(window, nullptr);
            system.destroyWindow(window);
            state->window = nullptr;
            return 0;
        default:
            return system.defaultProc(window, message, wParam, lParam);
    }
}

int32_t entropyGatherWindow(WindowSystem& system, WindowHandle parentWindow, void* instance,
                            void* bitmap, const char* promptText, SeedCallback callback) noexcept {
    GatherState state{};
    state.instance = instance;
    state.bitmap = bitmap;
    state.promptText = promptText;
    state.callback = callback;
    WindowHandle parent = parentWindow != nullptr ? parentWindow : system.desktopWindow();
    state.spinCounter = system.tickCount();

    // Without a class or a window nothing could ever close the loop.
    if (!system.registerClass(instance)) {
        return 1;
    }
    state.window = system.createWindow(parent, instance, GATHER_WINDOW_TITLE, GATHER_WINDOW_WIDTH,
                                       GATHER_WINDOW_HEIGHT);
    if (state.window == nullptr) {
        system.unregisterClass(instance);
        return 1;
    }
    system.setState(state.window, &state);
    system.enableWindow(parent, false);
    system.showOnTop(state.window);
    system.updateWindow(state.window);

    // Whatever the window system queued while the window came up is
    // handled before events start to count. The loop below looks at the
    // last message taken from the queue, wherever it was taken, so a quit
    // message that arrived before the window was up still ends it.
    QueuedMessage message{};
    uint32_t lastMessage = 0;
    while (system.peekMessage(&message)) {
        lastMessage = message.message;
        system.dispatchMessage(message);
    }
    state.collecting = 1;

    const WindowRect frame = system.windowRect(state.window);
    system.setCursorPos((frame.left + frame.right) / 2, (frame.top + frame.bottom) / 2);
    system.clipCursor(&frame);
    system.setCapture(state.window);

    // A busy loop on purpose: the turns it makes between two events depend
    // on the processor and its load, and enter every seed byte.
    while (state.done == 0 && lastMessage != MESSAGE_QUIT) {
        --state.spinCounter;
        if (system.peekMessage(&message)) {
            lastMessage = message.message;
            system.dispatchMessage(message);
        }
    }
    // Left on a quit message, the window would outlive its state.
    if (state.window != nullptr) {
        system.setState(state.window, nullptr);
        system.destroyWindow(state.window);
        state.window = nullptr;
    }

    system.releaseCapture();
    system.clipCursor(nullptr);
    system.enableWindow(parent, true);
    system.setActiveWindow(parent);
    system.unregisterClass(instance);
    CursorHandle previousCursor = system.showBusyCursor();

    uint8_t digest[16];
    digestScreen(system, digest);
    (void)callback(digest, sizeof(digest));
    secureWipe(digest, sizeof(digest));
    system.restoreCursor(previousCursor);

    const int32_t result = state.done != 0 ? 0 : 1;
    secureWipeObject(state);
    return result;
}

}  // namespace vc
