// The X11 window system of the mouse-and-keyboard gatherer.
//
// Xlib is loaded at run time, so the shared library needs nothing of X to
// load, and a host without libX11 or without a display still starts from a
// seed file. Each gathering opens its own connection to the display DISPLAY
// names and closes it at the end; a connection the host may have is never
// used. Window handles are X window ids. The host's parent window and
// background picture are the ids of its own window and pixmap on the same
// server, so the host must have flushed the requests that made them. A host
// that keeps using Xlib on other threads while a gathering runs must have
// called XInitThreads, as for any two threads sharing Xlib.
//
// Windows' messages map onto X events where X has them; what X lacks (a
// disabled window, a cursor clip rectangle) is approximated or left out, as
// said at each operation. Nothing here allocates: the one back-end object,
// its drawing contexts and its tables are static, and only Xlib allocates
// on its own behalf.
//
// Our headers come first: Xlib defines macros such as None, Bool and Status.
#include "entropy/window_system.h"
#include "support/secure_wipe.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace vc {
namespace {

// The Xlib entry points the back end uses, found by name in libX11.so.6.
struct XlibFunctions {
    decltype(&XOpenDisplay) openDisplay;
    decltype(&XCloseDisplay) closeDisplay;
    decltype(&XSetErrorHandler) setErrorHandler;
    decltype(&XInternAtom) internAtom;
    decltype(&XCreateWindow) createWindow;
    decltype(&XDestroyWindow) destroyWindow;
    decltype(&XStoreName) storeName;
    decltype(&XChangeProperty) changeProperty;
    decltype(&XSetClassHint) setClassHint;
    decltype(&XSetWMNormalHints) setNormalHints;
    decltype(&XSetTransientForHint) setTransientForHint;
    decltype(&XSetWMProtocols) setProtocols;
    decltype(&XMapRaised) mapRaised;
    decltype(&XMoveWindow) moveWindow;
    decltype(&XGetWindowAttributes) getWindowAttributes;
    decltype(&XGetGeometry) getGeometry;
    decltype(&XTranslateCoordinates) translateCoordinates;
    decltype(&XCheckTypedWindowEvent) checkTypedWindowEvent;
    decltype(&XPending) pending;
    decltype(&XNextEvent) nextEvent;
    decltype(&XLookupKeysym) lookupKeysym;
    decltype(&XSetInputFocus) setInputFocus;
    decltype(&XWarpPointer) warpPointer;
    decltype(&XGrabPointer) grabPointer;
    decltype(&XUngrabPointer) ungrabPointer;
    decltype(&XCreateFontCursor) createFontCursor;
    decltype(&XDefineCursor) defineCursor;
    decltype(&XUndefineCursor) undefineCursor;
    decltype(&XFreeCursor) freeCursor;
    decltype(&XFlush) flush;
    decltype(&XCreateGC) createGC;
    decltype(&XFreeGC) freeGC;
    decltype(&XSetForeground) setForeground;
    decltype(&XSetBackground) setBackground;
    decltype(&XSetFont) setFont;
    decltype(&XSetClipRectangles) setClipRectangles;
    decltype(&XSetClipMask) setClipMask;
    decltype(&XFillRectangle) fillRectangle;
    decltype(&XDrawString) drawString;
    decltype(&XDrawImageString) drawImageString;
    decltype(&XDrawLines) drawLines;
    decltype(&XCopyArea) copyArea;
    decltype(&XLoadQueryFont) loadQueryFont;
    decltype(&XFreeFont) freeFont;
    decltype(&XTextWidth) textWidth;
    decltype(&XGetImage) getImage;
    // Optional: libX11 before 1.7 lacks it, and then a lost server still
    // ends the process.
    decltype(&XSetIOErrorExitHandler) setIOErrorExitHandler;
    decltype(&XSetIOErrorHandler) setIOErrorHandler;
};

XlibFunctions xlib{};
bool xlibLoaded = false;

template <typename Function>
bool resolve(void* library, const char* name, Function* slot) noexcept {
    void* symbol = dlsym(library, name);
    *slot = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

// Loads libX11 on the first gathering and keeps it: libxcb underneath keeps
// per-thread data whose destructors must still be there when threads that
// used it end, and a second gathering would only load it again. Runs only
// while the gathering flag is held.
bool loadXlib() noexcept {
    if (xlibLoaded) {
        return true;
    }
    void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return false;
    }
    XlibFunctions f{};
    const bool complete =
        resolve(library, "XOpenDisplay", &f.openDisplay) &&
        resolve(library, "XCloseDisplay", &f.closeDisplay) &&
        resolve(library, "XSetErrorHandler", &f.setErrorHandler) &&
        resolve(library, "XInternAtom", &f.internAtom) &&
        resolve(library, "XCreateWindow", &f.createWindow) &&
        resolve(library, "XDestroyWindow", &f.destroyWindow) &&
        resolve(library, "XStoreName", &f.storeName) &&
        resolve(library, "XChangeProperty", &f.changeProperty) &&
        resolve(library, "XSetClassHint", &f.setClassHint) &&
        resolve(library, "XSetWMNormalHints", &f.setNormalHints) &&
        resolve(library, "XSetTransientForHint", &f.setTransientForHint) &&
        resolve(library, "XSetWMProtocols", &f.setProtocols) &&
        resolve(library, "XMapRaised", &f.mapRaised) &&
        resolve(library, "XMoveWindow", &f.moveWindow) &&
        resolve(library, "XGetWindowAttributes", &f.getWindowAttributes) &&
        resolve(library, "XGetGeometry", &f.getGeometry) &&
        resolve(library, "XTranslateCoordinates", &f.translateCoordinates) &&
        resolve(library, "XCheckTypedWindowEvent", &f.checkTypedWindowEvent) &&
        resolve(library, "XPending", &f.pending) && resolve(library, "XNextEvent", &f.nextEvent) &&
        resolve(library, "XLookupKeysym", &f.lookupKeysym) &&
        resolve(library, "XSetInputFocus", &f.setInputFocus) &&
        resolve(library, "XWarpPointer", &f.warpPointer) &&
        resolve(library, "XGrabPointer", &f.grabPointer) &&
        resolve(library, "XUngrabPointer", &f.ungrabPointer) &&
        resolve(library, "XCreateFontCursor", &f.createFontCursor) &&
        resolve(library, "XDefineCursor", &f.defineCursor) &&
        resolve(library, "XUndefineCursor", &f.undefineCursor) &&
        resolve(library, "XFreeCursor", &f.freeCursor) && resolve(library, "XFlush", &f.flush) &&
        resolve(library, "XCreateGC", &f.createGC) && resolve(library, "XFreeGC", &f.freeGC) &&
        resolve(library, "XSetForeground", &f.setForeground) &&
        resolve(library, "XSetBackground", &f.setBackground) &&
        resolve(library, "XSetFont", &f.setFont) &&
        resolve(library, "XSetClipRectangles", &f.setClipRectangles) &&
        resolve(library, "XSetClipMask", &f.setClipMask) &&
        resolve(library, "XFillRectangle", &f.fillRectangle) &&
        resolve(library, "XDrawString", &f.drawString) &&
        resolve(library, "XDrawImageString", &f.drawImageString) &&
        resolve(library, "XDrawLines", &f.drawLines) &&
        resolve(library, "XCopyArea", &f.copyArea) &&
        resolve(library, "XLoadQueryFont", &f.loadQueryFont) &&
        resolve(library, "XFreeFont", &f.freeFont) &&
        resolve(library, "XTextWidth", &f.textWidth) && resolve(library, "XGetImage", &f.getImage);
    if (!complete) {
        dlclose(library);
        return false;
    }
    if (!resolve(library, "XSetIOErrorExitHandler", &f.setIOErrorExitHandler) ||
        !resolve(library, "XSetIOErrorHandler", &f.setIOErrorHandler)) {
        f.setIOErrorExitHandler = nullptr;
    }
    xlib = f;
    xlibLoaded = true;
    return true;
}

// The error handler in place while a gathering runs. Protocol errors on our
// connection happen in ordinary use (a host window or pixmap id that is
// gone, focus on a window the window manager has not mapped yet) and must
// not reach Xlib's default handler, which ends the process. Errors on the
// host's own connections still go to the handler it had, which is put back
// at the end (a handler the host sets meanwhile is replaced by it). A lost
// connection is another matter: Xlib ends the process on it whatever the
// handler says, unless libX11 lets us replace the exit (see onConnectionLost).
Display* ownDisplay = nullptr;
XErrorHandler hostErrorHandler = nullptr;

int onXError(Display* display, XErrorEvent* error) {
    if (display == ownDisplay || hostErrorHandler == nullptr) {
        return 0;
    }
    return hostErrorHandler(display, error);
}

// When our connection breaks (the server ends, say) Xlib calls the
// process-wide I/O error handler, whose default prints and exits, then the
// connection's exit handler, whose default exits. Ours only note it: the
// display is then dead, later calls on it do nothing, and the message queue
// answers with a quit message, so the gathering ends with 1 and the host
// lives on. A broken connection of the host's still goes to its handler.
bool connectionLost = false;
XIOErrorHandler hostIOErrorHandler = nullptr;

int onXIOError(Display* display) {
    if (display == ownDisplay || hostIOErrorHandler == nullptr) {
        return 0;
    }
    return hostIOErrorHandler(display);
}

void onConnectionLost(Display*, void*) {
    connectionLost = true;
}

std::atomic<bool> gathering{false};

Window windowId(WindowHandle handle) noexcept {
    return static_cast<Window>(reinterpret_cast<uintptr_t>(handle));
}

WindowHandle windowHandle(Window id) noexcept {
    return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(id));
}

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

// Windows-1252 0x80..0x9F in Unicode; the five unassigned bytes keep their
// C1 control code, as Windows' own conversion does.
constexpr uint16_t WINDOWS_1252_HIGH[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Converts a NUL-terminated Windows-1252 text to UTF-8, stopping before a
// character that would not fit; returns the bytes written.
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

// Windows reports Alt, F10 and every key pressed with Alt as system keys,
// which the gatherer never sees; the same keys are left out here so both
// platforms count the same presses.
bool isSystemKey(KeySym keysym, unsigned int modifiers) noexcept {
    return (modifiers & Mod1Mask) != 0 || keysym == XK_Alt_L || keysym == XK_Alt_R ||
           keysym == XK_Meta_L || keysym == XK_Meta_R || keysym == XK_F10;
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

constexpr uint32_t CONTEXT_COUNT = 8;
constexpr uint32_t WINDOW_COUNT = 4;
constexpr uint32_t POSTED_COUNT = 8;
constexpr uintptr_t SYSTEM_COMMAND_CLOSE = 0xF060;  // SC_CLOSE
constexpr long MAP_WAIT_NANOSECONDS = 5'000'000;
constexpr int MAP_WAIT_ROUNDS = 400;  // two seconds at most

enum class ContextKind : uint8_t { FREE, DRAWING, SCREEN_LINES };

// A drawing context: a GC on a window, the screen or the host's pixmap,
// with the colours and mode Windows keeps in a device context. Screen-line
// readers only need the width.
struct Context {
    ContextKind kind;
    GC gc;
    Drawable drawable;
    Color background;
    Color text;
    int32_t backgroundMode;
    int32_t lineWidth;
};

struct WindowEntry {
    Window id;
    GatherState* state;
    int32_t width;
    int32_t height;
    bool placed;  // moved at least once, so its position is the program's
};

class XWindowSystem final : public WindowSystem {
  public:
    constexpr XWindowSystem() = default;

    bool open() noexcept;
    void close() noexcept;

    uint32_t tickCount() noexcept override;
    bool registerClass(void* instance) noexcept override;
    void unregisterClass(void* instance) noexcept override;
    WindowHandle createWindow(WindowHandle owner, void* instance, const char* title, int32_t width,
                              int32_t height) noexcept override;
    void destroyWindow(WindowHandle window) noexcept override;
    intptr_t defaultProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                         intptr_t lParam) noexcept override;
    void setState(WindowHandle window, GatherState* state) noexcept override;
    GatherState* getState(WindowHandle window) noexcept override;
    WindowHandle desktopWindow() noexcept override;
    void enableWindow(WindowHandle window, bool enable) noexcept override;
    void setActiveWindow(WindowHandle window) noexcept override;
    void moveWindow(WindowHandle window, int32_t x, int32_t y) noexcept override;
    void showOnTop(WindowHandle window) noexcept override;
    void updateWindow(WindowHandle window) noexcept override;
    WindowRect windowRect(WindowHandle window) noexcept override;
    WindowRect clientRect(WindowHandle window) noexcept override;
    void validate(WindowHandle window) noexcept override;
    bool peekMessage(QueuedMessage* message) noexcept override;
    void dispatchMessage(const QueuedMessage& message) noexcept override;
    void postMessage(WindowHandle window, uint32_t message) noexcept override;
    void setCursorPos(int32_t x, int32_t y) noexcept override;
    void clipCursor(const WindowRect* rect) noexcept override;
    void setCapture(WindowHandle window) noexcept override;
    void releaseCapture() noexcept override;
    void setFocus(WindowHandle window) noexcept override;
    CursorHandle showBusyCursor() noexcept override;
    void restoreCursor(CursorHandle previous) noexcept override;
    DrawingContext getDC(WindowHandle window) noexcept override;
    void releaseDC(WindowHandle window, DrawingContext dc) noexcept override;
    WindowSize deviceSize(DrawingContext dc) noexcept override;
    Color sysColor(SystemColor index) noexcept override;
    Color setBkColor(DrawingContext dc, Color color) noexcept override;
    Color setTextColor(DrawingContext dc, Color color) noexcept override;
    int32_t setBkMode(DrawingContext dc, int32_t mode) noexcept override;
    void extTextOut(DrawingContext dc, int32_t x, int32_t y, uint32_t options,
                    const WindowRect& rect, const char* text, uint32_t length) noexcept override;
    void drawText(DrawingContext dc, const char* text, const WindowRect& rect) noexcept override;
    WindowSize textExtent(DrawingContext dc, const char* text, uint32_t length) noexcept override;
    void polyline(DrawingContext dc, Color pen, const WindowPoint* points,
                  uint32_t count) noexcept override;
    bool bitmapSize(void* bitmap, WindowSize* size) noexcept override;
    DrawingContext selectBitmap(DrawingContext dc, void* bitmap) noexcept override;
    void blit(DrawingContext dc, int32_t x, int32_t y, int32_t width, int32_t height,
              DrawingContext source) noexcept override;
    void releaseBitmapContext(DrawingContext memory) noexcept override;
    DrawingContext beginScreenLines(DrawingContext screen, int32_t width) noexcept override;
    uint32_t readScreenLine(DrawingContext lines, DrawingContext screen, int32_t y, uint8_t* buffer,
                            uint32_t capacity) noexcept override;
    void endScreenLines(DrawingContext lines) noexcept override;

  private:
    WindowEntry* findWindow(Window id) noexcept;
    void setNormalHints(const WindowEntry& entry, int32_t x, int32_t y) noexcept;
    void setWindowProperties(Window id, Window owner, const char* title) noexcept;
    bool translate(XEvent& event, QueuedMessage* message) noexcept;
    void grabPointer(Window id) noexcept;
    void ungrabPointer() noexcept;
    unsigned long pixel(Color color) const noexcept;
    Context* newContext(Drawable drawable) noexcept;
    Context* drawing(DrawingContext dc) const noexcept;
    template <typename T>
    T exchange(DrawingContext dc, T Context::*field, T value) noexcept;
    void freeContext(Context* context) noexcept;
    void clipTo(const Context& context, const WindowRect& rect) noexcept;
    int32_t charWidth(char c) noexcept;
    const char* lineEnd(const char* line, int32_t maxWidth) noexcept;
    void drawRun(const Context& context, int32_t x, int32_t y, const char* text,
                 int32_t length) noexcept;

    Display* display_ = nullptr;
    int screen_ = 0;
    Window root_ = 0;
    Visual* visual_ = nullptr;
    XFontStruct* font_ = nullptr;
    Cursor arrow_ = 0;
    Atom protocolsAtom_ = 0;
    Atom deleteWindowAtom_ = 0;
    Atom netWmNameAtom_ = 0;
    Atom utf8StringAtom_ = 0;
    Atom motifHintsAtom_ = 0;
    Window gatherWindow_ = 0;  // the window a cursor clip confines to
    bool pointerGrabbed_ = false;
    Context contexts_[CONTEXT_COUNT] = {};
    WindowEntry windows_[WINDOW_COUNT] = {};
    QueuedMessage posted_[POSTED_COUNT] = {};
    uint32_t postedFirst_ = 0;
    uint32_t postedCount_ = 0;
    bool quitToggle_ = false;
};

constinit XWindowSystem backend;

bool XWindowSystem::open() noexcept {
    if (!loadXlib()) {
        return false;
    }
    display_ = xlib.openDisplay(nullptr);
    if (display_ == nullptr) {
        return false;
    }
    ownDisplay = display_;
    hostErrorHandler = xlib.setErrorHandler(onXError);
    connectionLost = false;
    if (xlib.setIOErrorExitHandler != nullptr) {
        hostIOErrorHandler = xlib.setIOErrorHandler(onXIOError);
        xlib.setIOErrorExitHandler(display_, onConnectionLost, nullptr);
    }
    screen_ = DefaultScreen(display_);
    root_ = RootWindow(display_, screen_);
    visual_ = DefaultVisual(display_, screen_);
    // The prompt is Windows-1252; the letters it uses outside ASCII are
    // the same in Latin-1, which the first font is encoded in.
    font_ = xlib.loadQueryFont(display_, "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso8859-1");
    if (font_ == nullptr) {
        font_ = xlib.loadQueryFont(display_, "fixed");
    }
    protocolsAtom_ = xlib.internAtom(display_, "WM_PROTOCOLS", False);
    deleteWindowAtom_ = xlib.internAtom(display_, "WM_DELETE_WINDOW", False);
    netWmNameAtom_ = xlib.internAtom(display_, "_NET_WM_NAME", False);
    utf8StringAtom_ = xlib.internAtom(display_, "UTF8_STRING", False);
    motifHintsAtom_ = xlib.internAtom(display_, "_MOTIF_WM_HINTS", False);
    return true;
}

void XWindowSystem::close() noexcept {
    ungrabPointer();
    for (WindowEntry& entry : windows_) {
        if (entry.id != 0) {
            xlib.destroyWindow(display_, entry.id);
        }
    }
    for (Context& context : contexts_) {
        if (context.kind == ContextKind::DRAWING) {
            xlib.freeGC(display_, context.gc);
        }
    }
    if (arrow_ != 0) {
        xlib.freeCursor(display_, arrow_);
    }
    if (font_ != nullptr) {
        xlib.freeFont(display_, font_);
    }
    // Errors the closing flush brings in still belong to our connection.
    xlib.closeDisplay(display_);
    xlib.setErrorHandler(hostErrorHandler);
    if (xlib.setIOErrorExitHandler != nullptr) {
        xlib.setIOErrorHandler(hostIOErrorHandler);
    }
    ownDisplay = nullptr;
    hostErrorHandler = nullptr;
    hostIOErrorHandler = nullptr;
    *this = XWindowSystem{};
}

uint32_t XWindowSystem::tickCount() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t milliseconds =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1'000'000u;
    return static_cast<uint32_t>(milliseconds);
}

// X has no window classes; registering only makes the class's arrow cursor.
bool XWindowSystem::registerClass(void*) noexcept {
    if (arrow_ == 0) {
        arrow_ = xlib.createFontCursor(display_, XC_left_ptr);
    }
    return true;
}

void XWindowSystem::unregisterClass(void*) noexcept {
    if (arrow_ != 0) {
        xlib.freeCursor(display_, arrow_);
        arrow_ = 0;
    }
}

WindowEntry* XWindowSystem::findWindow(Window id) noexcept {
    for (WindowEntry& entry : windows_) {
        if (entry.id != 0 && entry.id == id) {
            return &entry;
        }
    }
    return nullptr;
}

// A fixed size; once the program has placed the window, that position too,
// so a window manager keeps the window centred.
void XWindowSystem::setNormalHints(const WindowEntry& entry, int32_t x, int32_t y) noexcept {
    XSizeHints hints{};
    hints.flags = PSize | PMinSize | PMaxSize | (entry.placed ? USPosition | PPosition : 0);
    hints.x = x;
    hints.y = y;
    hints.width = hints.min_width = hints.max_width = entry.width;
    hints.height = hints.min_height = hints.max_height = entry.height;
    xlib.setNormalHints(display_, entry.id, &hints);
}

void XWindowSystem::setWindowProperties(Window id, Window owner, const char* title) noexcept {
    // WM_NAME is Latin-1 by definition, which the title's bytes are;
    // _NET_WM_NAME carries it exactly, in UTF-8.
    xlib.storeName(display_, id, title);
    uint8_t utf8[256];
    const uint32_t utf8Length = windows1252ToUtf8(title, utf8, sizeof(utf8));
    xlib.changeProperty(display_, id, netWmNameAtom_, utf8StringAtom_, 8, PropModeReplace, utf8,
                        static_cast<int>(utf8Length));

    char instanceName[] = "veilcastnet";
    // Xlib wants writable strings; the class name is short and fits.
    char className[32] = {};
    const std::size_t classLength = std::strlen(GATHER_WINDOW_CLASS);
    std::memcpy(className, GATHER_WINDOW_CLASS,
                classLength < sizeof(className) ? classLength : sizeof(className) - 1);
    XClassHint classHint{instanceName, className};
    xlib.setClassHint(display_, id, &classHint);

    if (owner != 0 && owner != root_) {
        xlib.setTransientForHint(display_, id, owner);
    }
    // The user's close request arrives as a message the gatherer ignores.
    Atom protocols[] = {deleteWindowAtom_};
    xlib.setProtocols(display_, id, protocols, 1);

    // Title and border only, and no move, resize, minimise or close
    // functions: a window manager that honours these hints shows what the
    // gatherer allows. Five longs: flags, functions, decorations, input
    // mode, status.
    constexpr long MOTIF_FUNCTIONS_AND_DECORATIONS = 1 | 2;
    constexpr long MOTIF_DECORATE_BORDER_AND_TITLE = 2 | 8;
    const long motifHints[5] = {MOTIF_FUNCTIONS_AND_DECORATIONS, 0, MOTIF_DECORATE_BORDER_AND_TITLE,
                                0, 0};
    xlib.changeProperty(display_, id, motifHintsAtom_, motifHintsAtom_, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(motifHints), 5);
}

// The window's outer size is its X size: a window manager's frame comes on
// top, so the client area is the whole window.
WindowHandle XWindowSystem::createWindow(WindowHandle owner, void*, const char* title,
                                         int32_t width, int32_t height) noexcept {
    WindowEntry* entry = nullptr;
    for (WindowEntry& candidate : windows_) {
        if (candidate.id == 0) {
            entry = &candidate;
            break;
        }
    }
    if (entry == nullptr || width <= 0 || height <= 0) {
        return nullptr;
    }
    XSetWindowAttributes attributes{};
    attributes.background_pixel = pixel(sysColor(SYSTEM_COLOR_WINDOW));
    attributes.event_mask =
        ExposureMask | KeyPressMask | PointerMotionMask | FocusChangeMask | StructureNotifyMask;
    attributes.cursor = arrow_;
    const unsigned long mask = CWBackPixel | CWEventMask | (arrow_ != 0 ? CWCursor : 0);
    const Window id = xlib.createWindow(display_, root_, 0, 0, static_cast<unsigned int>(width),
                                        static_cast<unsigned int>(height), 0, CopyFromParent,
                                        InputOutput, nullptr, mask, &attributes);
    if (id == 0) {
        return nullptr;
    }
    *entry = WindowEntry{id, nullptr, width, height, false};
    gatherWindow_ = id;
    setNormalHints(*entry, 0, 0);
    setWindowProperties(id, windowId(owner), title);
    const WindowHandle handle = windowHandle(id);
    entropyWindowProc(*this, handle, MESSAGE_CREATE, 0, 0);
    return handle;
}

void XWindowSystem::destroyWindow(WindowHandle window) noexcept {
    const Window id = windowId(window);
    if (id == gatherWindow_) {
        ungrabPointer();
        gatherWindow_ = 0;
    }
    if (WindowEntry* entry = findWindow(id)) {
        *entry = WindowEntry{};
    }
    xlib.destroyWindow(display_, id);
    xlib.flush(display_);
}

intptr_t XWindowSystem::defaultProc(WindowHandle, uint32_t, uintptr_t, intptr_t) noexcept {
    return 0;
}

void XWindowSystem::setState(WindowHandle window, GatherState* state) noexcept {
    if (WindowEntry* entry = findWindow(windowId(window))) {
        entry->state = state;
    }
}

GatherState* XWindowSystem::getState(WindowHandle window) noexcept {
    const WindowEntry* entry = findWindow(windowId(window));
    return entry != nullptr ? entry->state : nullptr;
}

WindowHandle XWindowSystem::desktopWindow() noexcept {
    return windowHandle(root_);
}

// X has no disabled windows. The pointer grab keeps the mouse in the
// gathering window and the keyboard focus is there, which is as close as
// another client can come to disabling the host's window.
void XWindowSystem::enableWindow(WindowHandle, bool) noexcept {}

// Gives the keyboard focus back to the host's window if it is on screen.
// For the root there is nothing to activate: the window manager, or the
// server's focus reverting, picks the next window.
void XWindowSystem::setActiveWindow(WindowHandle window) noexcept {
    const Window id = windowId(window);
    if (id == 0 || id == root_) {
        return;
    }
    XWindowAttributes attributes{};
    if (xlib.getWindowAttributes(display_, id, &attributes) != 0 &&
        attributes.map_state == IsViewable) {
        xlib.setInputFocus(display_, id, RevertToParent, CurrentTime);
        xlib.flush(display_);
    }
}

void XWindowSystem::moveWindow(WindowHandle window, int32_t x, int32_t y) noexcept {
    const Window id = windowId(window);
    xlib.moveWindow(display_, id, x, y);
    if (WindowEntry* entry = findWindow(id)) {
        entry->placed = true;
        setNormalHints(*entry, x, y);
    }
    xlib.flush(display_);
}

// Maps and raises, then waits (bounded) until the window is mapped, since
// focus can only go to a viewable window. Without a window manager, as
// under a virtual server, nobody else would give it the focus.
void XWindowSystem::showOnTop(WindowHandle window) noexcept {
    const Window id = windowId(window);
    XWindowAttributes attributes{};
    const bool wasMapped = xlib.getWindowAttributes(display_, id, &attributes) != 0 &&
                           attributes.map_state != IsUnmapped;
    xlib.mapRaised(display_, id);
    if (!wasMapped) {
        XEvent event;
        for (int round = 0; round < MAP_WAIT_ROUNDS; ++round) {
            if (xlib.checkTypedWindowEvent(display_, id, MapNotify, &event) != 0) {
                break;
            }
            const timespec pause{0, MAP_WAIT_NANOSECONDS};
            nanosleep(&pause, nullptr);
        }
    }
    xlib.setInputFocus(display_, id, RevertToParent, CurrentTime);
    xlib.flush(display_);
}

// Paints at once, as UpdateWindow does with an invalid window.
void XWindowSystem::updateWindow(WindowHandle window) noexcept {
    entropyWindowProc(*this, window, MESSAGE_PAINT, 0, 0);
}

WindowRect XWindowSystem::windowRect(WindowHandle window) noexcept {
    const Window id = windowId(window);
    Window root = 0;
    Window child = 0;
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    if (xlib.getGeometry(display_, id, &root, &x, &y, &width, &height, &border, &depth) == 0 ||
        xlib.translateCoordinates(display_, id, root_, 0, 0, &x, &y, &child) == 0) {
        return WindowRect{0, 0, 0, 0};
    }
    return WindowRect{x, y, x + static_cast<int32_t>(width), y + static_cast<int32_t>(height)};
}

WindowRect XWindowSystem::clientRect(WindowHandle window) noexcept {
    const WindowRect frame = windowRect(window);
    return WindowRect{0, 0, frame.right - frame.left, frame.bottom - frame.top};
}

// Xlib keeps no update region to validate.
void XWindowSystem::validate(WindowHandle) noexcept {}

bool XWindowSystem::translate(XEvent& event, QueuedMessage* message) noexcept {
    *message = QueuedMessage{windowHandle(event.xany.window), 0, 0, 0};
    switch (event.type) {
        case Expose:
            // Only the last of a series: one paint covers the whole window.
            message->message = MESSAGE_PAINT;
            return event.xexpose.count == 0;
        case MotionNotify: {
            const uint32_t x = static_cast<uint32_t>(event.xmotion.x) & 0xFFFF;
            const uint32_t y = static_cast<uint32_t>(event.xmotion.y) & 0xFFFF;
            message->message = MESSAGE_MOUSE_MOVE;
            message->lParam = static_cast<intptr_t>((y << 16) | x);
            return true;
        }
        case KeyPress: {
            // The unshifted keysym names the key, as a virtual-key code
            // does. X key codes are the kernel's plus 8, and the kernel's
            // are the PC scan codes for ordinary keys. The repeat count
            // in the low bits is 1, as for a single WM_KEYDOWN.
            const KeySym keysym = xlib.lookupKeysym(&event.xkey, 0);
            if (isSystemKey(keysym, event.xkey.state)) {
                return false;
            }
            const uint32_t scanCode = (event.xkey.keycode - 8u) & 0xFF;
            message->message = MESSAGE_KEY_DOWN;
            message->wParam = virtualKey(keysym);
            message->lParam = static_cast<intptr_t>((scanCode << 16) | 1u);
            return true;
        }
        case FocusIn:
        case FocusOut:
            // Focus moving within the window, following the pointer, or
            // passing through someone's keyboard grab is no switch to or
            // from another application.
            if (event.xfocus.mode == NotifyGrab || event.xfocus.mode == NotifyUngrab ||
                event.xfocus.detail == NotifyInferior || event.xfocus.detail == NotifyPointer) {
                return false;
            }
            message->message = MESSAGE_ACTIVATE_APP;
            message->wParam = event.type == FocusIn ? 1 : 0;
            return true;
        case ClientMessage:
            // The window manager's close button, a system command on Windows.
            message->message = MESSAGE_SYSTEM_COMMAND;
            message->wParam = SYSTEM_COMMAND_CLOSE;
            return event.xclient.message_type == protocolsAtom_ && event.xclient.format == 32 &&
                   static_cast<Atom>(event.xclient.data.l[0]) == deleteWindowAtom_;
        default:
            return false;
    }
}

// Posted messages first, then the server's events; events that mean
// nothing to the gatherer are dropped on the way.
bool XWindowSystem::peekMessage(QueuedMessage* message) noexcept {
    // A dead connection reads as a quit message on every other call: the
    // start-up drain stops at the empty answer between two of them, and the
    // message loop ends at the next one.
    if (connectionLost) {
        quitToggle_ = !quitToggle_;
        *message = {nullptr, MESSAGE_QUIT, 0, 0};
        return quitToggle_;
    }
    if (postedCount_ > 0) {
        *message = posted_[postedFirst_];
        postedFirst_ = (postedFirst_ + 1) % POSTED_COUNT;
        --postedCount_;
        return true;
    }
    while (xlib.pending(display_) > 0) {
        XEvent event;
        xlib.nextEvent(display_, &event);
        if (translate(event, message)) {
            return true;
        }
    }
    return false;
}

void XWindowSystem::dispatchMessage(const QueuedMessage& message) noexcept {
    if (message.window != nullptr) {
        entropyWindowProc(*this, message.window, message.message, message.wParam, message.lParam);
    }
}

// A full queue drops the message, as PostMessage fails then.
void XWindowSystem::postMessage(WindowHandle window, uint32_t message) noexcept {
    if (postedCount_ < POSTED_COUNT) {
        posted_[(postedFirst_ + postedCount_) % POSTED_COUNT] =
            QueuedMessage{window, message, 0, 0};
        ++postedCount_;
    }
}

void XWindowSystem::setCursorPos(int32_t x, int32_t y) noexcept {
    xlib.warpPointer(display_, None, root_, 0, 0, 0, 0, x, y);
    xlib.flush(display_);
}

// X confines the pointer to a window, not a rectangle; the gatherer only
// ever clips to its own window's rectangle, so that window it is.
void XWindowSystem::grabPointer(Window id) noexcept {
    if (id == 0) {
        return;
    }
    constexpr unsigned int POINTER_EVENTS = PointerMotionMask | ButtonPressMask | ButtonReleaseMask;
    // A grab can fail (another client holds one, the window is not yet
    // viewable); the gathering works without it, just unconfined.
    pointerGrabbed_ = xlib.grabPointer(display_, id, True, POINTER_EVENTS, GrabModeAsync,
                                       GrabModeAsync, id, None, CurrentTime) == GrabSuccess;
    xlib.flush(display_);
}

void XWindowSystem::ungrabPointer() noexcept {
    if (pointerGrabbed_) {
        xlib.ungrabPointer(display_, CurrentTime);
        xlib.flush(display_);
        pointerGrabbed_ = false;
    }
}

void XWindowSystem::clipCursor(const WindowRect* rect) noexcept {
    if (rect == nullptr) {
        ungrabPointer();
    } else {
        grabPointer(gatherWindow_);
    }
}

void XWindowSystem::setCapture(WindowHandle window) noexcept {
    grabPointer(windowId(window));
}

void XWindowSystem::releaseCapture() noexcept {
    ungrabPointer();
}

void XWindowSystem::setFocus(WindowHandle window) noexcept {
    xlib.setInputFocus(display_, windowId(window), RevertToParent, CurrentTime);
    xlib.flush(display_);
}

// X cannot tell which cursor is showing, so the handle is the busy cursor
// itself, and restoring takes it off the root window again.
// Cursors go through libXcursor, which does not survive a dead connection;
// the screen cannot be read over one either.
CursorHandle XWindowSystem::showBusyCursor() noexcept {
    if (connectionLost) {
        return nullptr;
    }
    const Cursor busy = xlib.createFontCursor(display_, XC_watch);
    xlib.defineCursor(display_, root_, busy);
    xlib.flush(display_);
    return reinterpret_cast<CursorHandle>(static_cast<uintptr_t>(busy));
}

void XWindowSystem::restoreCursor(CursorHandle previous) noexcept {
    if (connectionLost) {
        return;
    }
    xlib.undefineCursor(display_, root_);
    const auto busy = static_cast<Cursor>(reinterpret_cast<uintptr_t>(previous));
    if (busy != 0) {
        xlib.freeCursor(display_, busy);
    }
    xlib.flush(display_);
}

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
// background. Lines leave out their last point, as Windows' pens do.
Context* XWindowSystem::newContext(Drawable drawable) noexcept {
    for (Context& context : contexts_) {
        if (context.kind == ContextKind::FREE) {
            XGCValues values{};
            values.graphics_exposures = False;
            values.cap_style = CapNotLast;
            context = Context{
                ContextKind::DRAWING,
                xlib.createGC(display_, drawable, GCGraphicsExposures | GCCapStyle, &values),
                drawable,
                0x00FFFFFF,
                0x00000000,
                BACKGROUND_OPAQUE,
                0};
            if (font_ != nullptr) {
                xlib.setFont(display_, context.gc, font_->fid);
            }
            return &context;
        }
    }
    return nullptr;
}

Context* XWindowSystem::drawing(DrawingContext dc) const noexcept {
    auto* context = static_cast<Context*>(dc);
    return context != nullptr && context->kind == ContextKind::DRAWING ? context : nullptr;
}

void XWindowSystem::freeContext(Context* context) noexcept {
    if (context == nullptr) {
        return;
    }
    if (context->kind == ContextKind::DRAWING) {
        xlib.freeGC(display_, context->gc);
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

}  // namespace

// One gathering at a time: the connection, the error handler and every
// table here belong to it.
WindowSystem* windowSystemAcquire() noexcept {
    bool expected = false;
    if (!gathering.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
        return nullptr;
    }
    if (!backend.open()) {
        gathering.store(false, std::memory_order_release);
        return nullptr;
    }
    return &backend;
}

void windowSystemRelease(WindowSystem* system) noexcept {
    if (system != &backend) {
        return;
    }
    backend.close();
    gathering.store(false, std::memory_order_release);
}

}  // namespace vc
