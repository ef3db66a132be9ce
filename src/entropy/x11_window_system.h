// The X11 window system of the mouse-and-keyboard gatherer: the one
// back-end object and the records it keeps. Its operations are split by
// what they do: window_posix.cpp has the connection, the windows and the
// message queue; x11_pointer_posix.cpp the pointer, focus and cursor;
// x11_drawing_posix.cpp the drawing and the reading of the screen.
#pragma once

// Our headers come first: Xlib defines macros such as None, Bool and Status.
#include "entropy/window_system.h"
#include "entropy/x11_xlib.h"

#include <cstdint>

namespace vc::x11 {

// Set when our connection to the display breaks; see onConnectionLost and
// XWindowSystem::canAllocate.
extern bool connectionLost;

inline Window windowId(WindowHandle handle) noexcept {
    return static_cast<Window>(reinterpret_cast<uintptr_t>(handle));
}

inline WindowHandle windowHandle(Window id) noexcept {
    return reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(id));
}

constexpr uint32_t CONTEXT_COUNT = 8;
constexpr uint32_t WINDOW_COUNT = 4;
constexpr uint32_t POSTED_COUNT = 8;

enum class ContextKind : uint8_t { FREE, DRAWING, SCREEN_LINES };

// A drawing context: a GC for a window, the screen or the host's pixmap,
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
    bool canAllocate() noexcept;
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
    Cursor busy_ = 0;
    Atom protocolsAtom_ = 0;
    Atom deleteWindowAtom_ = 0;
    Atom netWmNameAtom_ = 0;
    Atom utf8StringAtom_ = 0;
    Atom motifHintsAtom_ = 0;
    Window gatherWindow_ = 0;  // the window a cursor clip confines to
    bool pointerGrabbed_ = false;
    GC gcs_[CONTEXT_COUNT] = {};  // one for each context, made in open()
    Context contexts_[CONTEXT_COUNT] = {};
    WindowEntry windows_[WINDOW_COUNT] = {};
    QueuedMessage posted_[POSTED_COUNT] = {};
    uint32_t postedFirst_ = 0;
    uint32_t postedCount_ = 0;
    bool quitToggle_ = false;
};

}  // namespace vc::x11
