// The mouse-and-keyboard gatherer and the window system it runs on.
//
// Everything that decides seed bytes, progress and layout is portable and
// lives in gather_window.cpp. It touches the screen, the mouse and the
// message queue only through WindowSystem, whose operations are the Windows
// user-interface and graphics calls the gatherer needs, one for one or a
// small fixed group of them. window_windows.cpp implements it with USER32
// and GDI32, window_posix.cpp and the x11_*_posix.cpp files beside it with
// Xlib loaded at run time, and the tests with a scripted fake. Messages,
// colours and flags keep their Windows numbers so the Win32 back end passes
// them straight through.
#pragma once

#include <cstdint>

#include "crypto/random_pool.h"

namespace vc {

using WindowHandle = void*;    // a window; nullptr stands for the whole screen
using DrawingContext = void*;  // a device context of a window, the screen or memory
using CursorHandle = void*;
using Color = uint32_t;  // 0x00BBGGRR, as a Windows COLORREF

enum WindowMessage : uint32_t {
    MESSAGE_CREATE = 1,
    MESSAGE_PAINT = 15,
    MESSAGE_CLOSE = 16,
    MESSAGE_QUIT = 18,
    MESSAGE_ACTIVATE_APP = 28,  // wParam nonzero: being activated
    MESSAGE_KEY_DOWN = 256,     // wParam virtual-key code, lParam bits 16-23 scan code
    MESSAGE_SYSTEM_COMMAND = 274,
    MESSAGE_MOUSE_MOVE = 512,  // lParam low 16 bits client x, high 16 bits client y
};

// The system colour indexes the gatherer paints with.
enum SystemColor : uint32_t {
    SYSTEM_COLOR_SCROLL_BAR = 0,
    SYSTEM_COLOR_ACTIVE_CAPTION = 2,
    SYSTEM_COLOR_WINDOW = 5,
    SYSTEM_COLOR_WINDOW_TEXT = 8,
    SYSTEM_COLOR_BUTTON_FACE = 15,
    SYSTEM_COLOR_BUTTON_SHADOW = 16,
    SYSTEM_COLOR_BUTTON_TEXT = 18,
};

enum BackgroundMode : int32_t { BACKGROUND_TRANSPARENT = 1, BACKGROUND_OPAQUE = 2 };

// extTextOut options.
constexpr uint32_t TEXT_OUT_OPAQUE = 2;   // fill the rectangle with the background colour
constexpr uint32_t TEXT_OUT_CLIPPED = 4;  // clip the text to the rectangle

struct WindowRect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct WindowPoint {
    int32_t x;
    int32_t y;
};

struct WindowSize {
    int32_t width;
    int32_t height;
};

struct QueuedMessage {
    WindowHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

constexpr int32_t GATHER_WINDOW_WIDTH = 560;
constexpr int32_t GATHER_WINDOW_HEIGHT = 270;
constexpr int32_t GATHER_PROGRESS_HEIGHT = 30;
constexpr int32_t GATHER_MOUSE_STEP = 5;
constexpr uint32_t GATHER_SCREEN_LINE_BYTES = 4096;

// Title, class name and default instruction text, in Windows-1252.
extern const char GATHER_WINDOW_CLASS[];
extern const char GATHER_WINDOW_TITLE[];
extern const char GATHER_DEFAULT_PROMPT[];

// One gathering's state, reached from the window procedure through the
// window's user-data slot. All zero at the start but for what the host gave.
struct GatherState {
    WindowHandle window;
    void* instance;
    void* bitmap;
    const char* promptText;
    SeedCallback callback;
    int32_t lastProgress;
    uint16_t lastMouseX;
    uint16_t lastMouseY;
    uint8_t recentKeys[4];  // newest first
    uint32_t spinCounter;
    uint8_t collecting;
    uint8_t haveMousePoint;
    uint8_t done;
};

// The platform operations, named after the Windows calls they stand for.
// None of them may fail loudly: drawing failures are ignored by design.
class WindowSystem {
  public:
    // Milliseconds since the system started (GetTickCount).
    virtual uint32_t tickCount() noexcept = 0;

    // RegisterClassA / UnregisterClassA of GATHER_WINDOW_CLASS: redraw on
    // resize, entropyWindowProc behind it, the arrow cursor, no background.
    virtual bool registerClass(void* instance) noexcept = 0;
    virtual void unregisterClass(void* instance) noexcept = 0;
    // CreateWindowExA: a pop-up with a caption and border, no system menu,
    // no sizing, at (0, 0) with the given outer size, owned by owner. The
    // create message reaches entropyWindowProc before this returns.
    virtual WindowHandle createWindow(WindowHandle owner, void* instance, const char* title,
                                      int32_t width, int32_t height) noexcept = 0;
    virtual void destroyWindow(WindowHandle window) noexcept = 0;
    virtual intptr_t defaultProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                                 intptr_t lParam) noexcept = 0;
    // The user-data slot (SetWindowLongA / GetWindowLongA).
    virtual void setState(WindowHandle window, GatherState* state) noexcept = 0;
    virtual GatherState* getState(WindowHandle window) noexcept = 0;
    virtual WindowHandle desktopWindow() noexcept = 0;
    virtual void enableWindow(WindowHandle window, bool enable) noexcept = 0;
    virtual void setActiveWindow(WindowHandle window) noexcept = 0;
    // SetWindowPos: move without sizing or changing the z-order ...
    virtual void moveWindow(WindowHandle window, int32_t x, int32_t y) noexcept = 0;
    // ... and show on top without moving or sizing.
    virtual void showOnTop(WindowHandle window) noexcept = 0;
    virtual void updateWindow(WindowHandle window) noexcept = 0;
    virtual WindowRect windowRect(WindowHandle window) noexcept = 0;  // screen coordinates
    virtual WindowRect clientRect(WindowHandle window) noexcept = 0;  // from (0, 0)
    virtual void validate(WindowHandle window) noexcept = 0;

    // PeekMessageA with removal; false when the queue is empty.
    virtual bool peekMessage(QueuedMessage* message) noexcept = 0;
    // TranslateMessage and DispatchMessageA: the window's messages end up
    // in entropyWindowProc.
    virtual void dispatchMessage(const QueuedMessage& message) noexcept = 0;
    virtual void postMessage(WindowHandle window, uint32_t message) noexcept = 0;

    virtual void setCursorPos(int32_t x, int32_t y) noexcept = 0;
    virtual void clipCursor(const WindowRect* rect) noexcept = 0;  // nullptr frees it
    virtual void setCapture(WindowHandle window) noexcept = 0;
    virtual void releaseCapture() noexcept = 0;
    virtual void setFocus(WindowHandle window) noexcept = 0;
    // SetCursor(LoadCursorA(hourglass)), returning the previous cursor ...
    virtual CursorHandle showBusyCursor() noexcept = 0;
    // ... and SetCursor(previous).
    virtual void restoreCursor(CursorHandle previous) noexcept = 0;

    // GetDC / ReleaseDC; a null window means the whole screen.
    virtual DrawingContext getDC(WindowHandle window) noexcept = 0;
    virtual void releaseDC(WindowHandle window, DrawingContext dc) noexcept = 0;
    // GetDeviceCaps horizontal and vertical resolution.
    virtual WindowSize deviceSize(DrawingContext dc) noexcept = 0;
    virtual Color sysColor(SystemColor index) noexcept = 0;
    virtual Color setBkColor(DrawingContext dc, Color color) noexcept = 0;    // previous
    virtual Color setTextColor(DrawingContext dc, Color color) noexcept = 0;  // previous
    virtual int32_t setBkMode(DrawingContext dc, int32_t mode) noexcept = 0;  // previous
    // ExtTextOutA at (x, y) with TEXT_OUT_* options over rect.
    virtual void extTextOut(DrawingContext dc, int32_t x, int32_t y, uint32_t options,
                            const WindowRect& rect, const char* text, uint32_t length) noexcept = 0;
    // DrawTextA of a NUL-terminated text into rect, breaking lines at word
    // boundaries, at CR LF and at a lone LF.
    virtual void drawText(DrawingContext dc, const char* text, const WindowRect& rect) noexcept = 0;
    virtual WindowSize textExtent(DrawingContext dc, const char* text,
                                  uint32_t length) noexcept = 0;
    // CreatePen (solid, 1 pixel), SelectObject, Polyline, and the old pen
    // selected back; the pen is deleted before this returns.
    virtual void polyline(DrawingContext dc, Color pen, const WindowPoint* points,
                          uint32_t count) noexcept = 0;

    // GetObjectA on the host's bitmap: false when its size cannot be read.
    virtual bool bitmapSize(void* bitmap, WindowSize* size) noexcept = 0;
    // CreateCompatibleDC and SelectObject of the bitmap; nullptr on failure.
    virtual DrawingContext selectBitmap(DrawingContext dc, void* bitmap) noexcept = 0;
    // BitBlt, source copy, from (0, 0) of source.
    virtual void blit(DrawingContext dc, int32_t x, int32_t y, int32_t width, int32_t height,
                      DrawingContext source) noexcept = 0;
    // Selects the old bitmap back and deletes the memory context.
    virtual void releaseBitmapContext(DrawingContext memory) noexcept = 0;

    // The screen digest's line reader: a compatible memory context and a
    // compatible bitmap width pixels wide and one line high ...
    virtual DrawingContext beginScreenLines(DrawingContext screen, int32_t width) noexcept = 0;
    // ... line y of the screen copied into it, and at most capacity bytes
    // of its bits read (GetBitmapBits); returns the bytes read ...
    virtual uint32_t readScreenLine(DrawingContext lines, DrawingContext screen, int32_t y,
                                    uint8_t* buffer, uint32_t capacity) noexcept = 0;
    // ... and both released.
    virtual void endScreenLines(DrawingContext lines) noexcept = 0;

  protected:
    ~WindowSystem() = default;
};

// The window way of entropyGather: 0 once the callback answered negative
// and the window closed, 1 when the message loop met a quit message. The
// screen digest is handed to the callback either way.
int32_t entropyGatherWindow(WindowSystem& system, WindowHandle parentWindow, void* instance,
                            void* bitmap, const char* promptText, SeedCallback callback) noexcept;

// The window procedure of GATHER_WINDOW_CLASS. Back ends call it for every
// message of a gathering window; it finds the state through getState.
intptr_t entropyWindowProc(WindowSystem& system, WindowHandle window, uint32_t message,
                           uintptr_t wParam, intptr_t lParam) noexcept;

// Paints the progress strip (100 for a negative progress).
void entropyPaintProgress(WindowSystem& system, WindowHandle window, DrawingContext dc,
                          int32_t progress) noexcept;

// The platform's window system for one gathering, or nullptr when there is
// none (no window system library, no display, or a gathering already
// running). Every successful acquire is paired with a release.
WindowSystem* windowSystemAcquire() noexcept;
void windowSystemRelease(WindowSystem* system) noexcept;

}  // namespace vc
