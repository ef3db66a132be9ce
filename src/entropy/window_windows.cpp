// The gatherer's window system on Windows: USER32 and GDI32 called one for
// one. Messages, colours and flags already carry their Windows numbers, so
// they pass straight through; only handles and rectangles change type.
//
// One gathering at a time: the back end is a single static object handed
// out under an atomic flag, and it remembers the objects the interface does
// not return (the bitmaps selected out of memory contexts, the last message
// peeked) in its own fields, so nothing is ever allocated.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "entropy/window_system.h"
#include "support/secure_wipe.h"

// The linker's symbol for the start of the module this code is linked into:
// the DLL's own image base, valid without DllMain or any call.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace vc {
namespace {

HWND asWindow(WindowHandle window) noexcept {
    return static_cast<HWND>(window);
}

HDC asContext(DrawingContext dc) noexcept {
    return static_cast<HDC>(dc);
}

// A host that gives no instance gets the class registered under this
// module: the window procedure lives here, and the name cannot collide with
// a class of the same name the host's executable may own.
HINSTANCE moduleInstance(void* instance) noexcept {
    return instance != nullptr ? static_cast<HINSTANCE>(instance)
                               : reinterpret_cast<HINSTANCE>(&__ImageBase);
}

RECT toRect(const WindowRect& rect) noexcept {
    return RECT{rect.left, rect.top, rect.right, rect.bottom};
}

WindowRect fromRect(const RECT& rect) noexcept {
    return WindowRect{static_cast<int32_t>(rect.left), static_cast<int32_t>(rect.top),
                      static_cast<int32_t>(rect.right), static_cast<int32_t>(rect.bottom)};
}

int clampToInt(uint32_t value) noexcept {
    return value > INT32_MAX ? INT32_MAX : static_cast<int>(value);
}

LRESULT CALLBACK gatherWindowProcedure(HWND window, UINT message, WPARAM wParam,
                                       LPARAM lParam) noexcept;

class Win32WindowSystem final : public WindowSystem {
  public:
    uint32_t tickCount() noexcept override { return static_cast<uint32_t>(GetTickCount()); }

    bool registerClass(void* instance) noexcept override {
        WNDCLASSA windowClass{};
        windowClass.style = CS_HREDRAW | CS_VREDRAW;
        windowClass.lpfnWndProc = gatherWindowProcedure;
        windowClass.cbClsExtra = 0;
        // Reserved for the class; the state pointer itself lives in the
        // user-data slot, which holds a whole pointer on 64-bit Windows too.
        windowClass.cbWndExtra = 4;
        windowClass.hInstance = moduleInstance(instance);
        windowClass.hIcon = nullptr;
        windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        windowClass.hbrBackground = nullptr;
        windowClass.lpszMenuName = nullptr;
        windowClass.lpszClassName = GATHER_WINDOW_CLASS;
        return RegisterClassA(&windowClass) != 0;
    }

    void unregisterClass(void* instance) noexcept override {
        (void)UnregisterClassA(GATHER_WINDOW_CLASS, moduleInstance(instance));
    }

    WindowHandle createWindow(WindowHandle owner, void* instance, const char* title, int32_t width,
                              int32_t height) noexcept override {
        // A caption and border make the title bar; without WS_SYSMENU and
        // WS_THICKFRAME there is no system menu, no close box and no sizing.
        return CreateWindowExA(0, GATHER_WINDOW_CLASS, title, WS_POPUP | WS_CAPTION, 0, 0, width,
                               height, asWindow(owner), nullptr, moduleInstance(instance), nullptr);
    }

    void destroyWindow(WindowHandle window) noexcept override {
        (void)DestroyWindow(asWindow(window));
    }

    intptr_t defaultProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                         intptr_t lParam) noexcept override {
        return static_cast<intptr_t>(DefWindowProcA(
            asWindow(window), message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam)));
    }

    // SetWindowLongPtrA and GetWindowLongPtrA are SetWindowLongA and
    // GetWindowLongA in 32-bit builds.
    void setState(WindowHandle window, GatherState* state) noexcept override {
        (void)SetWindowLongPtrA(asWindow(window), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    }

    GatherState* getState(WindowHandle window) noexcept override {
        return reinterpret_cast<GatherState*>(GetWindowLongPtrA(asWindow(window), GWLP_USERDATA));
    }

    WindowHandle desktopWindow() noexcept override { return GetDesktopWindow(); }

    void enableWindow(WindowHandle window, bool enable) noexcept override {
        (void)EnableWindow(asWindow(window), enable ? TRUE : FALSE);
    }

    void setActiveWindow(WindowHandle window) noexcept override {
        (void)SetActiveWindow(asWindow(window));
    }

    void moveWindow(WindowHandle window, int32_t x, int32_t y) noexcept override {
        (void)SetWindowPos(asWindow(window), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }

    void showOnTop(WindowHandle window) noexcept override {
        (void)SetWindowPos(asWindow(window), HWND_TOP, 0, 0, 0, 0,
                           SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
    }

    void updateWindow(WindowHandle window) noexcept override {
        (void)UpdateWindow(asWindow(window));
    }

    WindowRect windowRect(WindowHandle window) noexcept override {
        RECT rect{};
        if (GetWindowRect(asWindow(window), &rect) == 0) {
            return WindowRect{};
        }
        return fromRect(rect);
    }

    WindowRect clientRect(WindowHandle window) noexcept override {
        RECT rect{};
        if (GetClientRect(asWindow(window), &rect) == 0) {
            return WindowRect{};
        }
        return fromRect(rect);
    }

    void validate(WindowHandle window) noexcept override {
        (void)ValidateRect(asWindow(window), nullptr);
    }

    bool peekMessage(QueuedMessage* message) noexcept override {
        if (PeekMessageA(&peeked_, nullptr, 0, 0, PM_REMOVE) == 0) {
            return false;
        }
        message->window = peeked_.hwnd;
        message->message = peeked_.message;
        message->wParam = static_cast<uintptr_t>(peeked_.wParam);
        message->lParam = static_cast<intptr_t>(peeked_.lParam);
        return true;
    }

    void dispatchMessage(const QueuedMessage& message) noexcept override {
        // The message just peeked goes out whole, with its time and cursor
        // position; anything else is rebuilt from the four fields.
        MSG msg = peeked_;
        if (msg.hwnd != asWindow(message.window) || msg.message != message.message ||
            msg.wParam != static_cast<WPARAM>(message.wParam) ||
            msg.lParam != static_cast<LPARAM>(message.lParam)) {
            msg = MSG{};
            msg.hwnd = asWindow(message.window);
            msg.message = message.message;
            msg.wParam = static_cast<WPARAM>(message.wParam);
            msg.lParam = static_cast<LPARAM>(message.lParam);
        }
        (void)TranslateMessage(&msg);
        (void)DispatchMessageA(&msg);
    }

    void postMessage(WindowHandle window, uint32_t message) noexcept override {
        (void)PostMessageA(asWindow(window), message, 0, 0);
    }

    void setCursorPos(int32_t x, int32_t y) noexcept override { (void)SetCursorPos(x, y); }

    void clipCursor(const WindowRect* rect) noexcept override {
        if (rect == nullptr) {
            (void)ClipCursor(nullptr);
            return;
        }
        const RECT clip = toRect(*rect);
        (void)ClipCursor(&clip);
    }

    void setCapture(WindowHandle window) noexcept override { (void)SetCapture(asWindow(window)); }

    void releaseCapture() noexcept override { (void)ReleaseCapture(); }

    void setFocus(WindowHandle window) noexcept override { (void)SetFocus(asWindow(window)); }

    CursorHandle showBusyCursor() noexcept override {
        return SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    }

    void restoreCursor(CursorHandle previous) noexcept override {
        (void)SetCursor(static_cast<HCURSOR>(previous));
    }

    DrawingContext getDC(WindowHandle window) noexcept override { return GetDC(asWindow(window)); }

    void releaseDC(WindowHandle window, DrawingContext dc) noexcept override {
        (void)ReleaseDC(asWindow(window), asContext(dc));
    }

    WindowSize deviceSize(DrawingContext dc) noexcept override {
        return WindowSize{GetDeviceCaps(asContext(dc), HORZRES),
                          GetDeviceCaps(asContext(dc), VERTRES)};
    }

    Color sysColor(SystemColor index) noexcept override {
        return static_cast<Color>(GetSysColor(static_cast<int>(index)));
    }

    Color setBkColor(DrawingContext dc, Color color) noexcept override {
        return static_cast<Color>(SetBkColor(asContext(dc), color));
    }

    Color setTextColor(DrawingContext dc, Color color) noexcept override {
        return static_cast<Color>(SetTextColor(asContext(dc), color));
    }

    int32_t setBkMode(DrawingContext dc, int32_t mode) noexcept override {
        return SetBkMode(asContext(dc), mode);
    }

    void extTextOut(DrawingContext dc, int32_t x, int32_t y, uint32_t options,
                    const WindowRect& rect, const char* text, uint32_t length) noexcept override {
        const RECT area = toRect(rect);
        (void)ExtTextOutA(asContext(dc), x, y, options, &area, text, length, nullptr);
    }

    void drawText(DrawingContext dc, const char* text, const WindowRect& rect) noexcept override {
        // Without DT_SINGLELINE, DrawText breaks at CR LF and at a lone LF
        // as well as at word boundaries.
        RECT area = toRect(rect);
        (void)DrawTextA(asContext(dc), text, -1, &area, DT_WORDBREAK);
    }

    WindowSize textExtent(DrawingContext dc, const char* text, uint32_t length) noexcept override {
        SIZE extent{};
        if (GetTextExtentPoint32A(asContext(dc), text, clampToInt(length), &extent) == 0) {
            return WindowSize{};
        }
        return WindowSize{static_cast<int32_t>(extent.cx), static_cast<int32_t>(extent.cy)};
    }

    void polyline(DrawingContext dc, Color pen, const WindowPoint* points,
                  uint32_t count) noexcept override {
        HPEN solid = CreatePen(PS_SOLID, 1, pen);
        if (solid == nullptr) {
            return;
        }
        HGDIOBJ oldPen = SelectObject(asContext(dc), solid);
        // POINT holds LONGs, not int32_t, so the points are copied over in
        // pieces on the stack. Consecutive pieces share their end point, and
        // as Polyline leaves a line's end point for the next one to draw,
        // the pixels come out as from a single call.
        constexpr uint32_t PIECE = 16;
        POINT piece[PIECE];
        uint32_t start = 0;
        while (start + 1 < count) {
            const uint32_t left = count - start;
            const uint32_t take = left < PIECE ? left : PIECE;
            for (uint32_t i = 0; i < take; ++i) {
                piece[i] = POINT{points[start + i].x, points[start + i].y};
            }
            (void)Polyline(asContext(dc), piece, static_cast<int>(take));
            start += take - 1;
        }
        if (oldPen != nullptr) {
            (void)SelectObject(asContext(dc), oldPen);
        }
        (void)DeleteObject(solid);
    }

    bool bitmapSize(void* bitmap, WindowSize* size) noexcept override {
        BITMAP info{};
        if (bitmap == nullptr || GetObjectA(bitmap, sizeof(info), &info) != sizeof(info)) {
            return false;
        }
        *size = WindowSize{static_cast<int32_t>(info.bmWidth), static_cast<int32_t>(info.bmHeight)};
        return true;
    }

    // The gatherer draws one picture at a time, so one remembered bitmap
    // context is enough; a second one while it is held is refused.
    DrawingContext selectBitmap(DrawingContext dc, void* bitmap) noexcept override {
        if (picture_.memory != nullptr) {
            return nullptr;
        }
        HDC memory = CreateCompatibleDC(asContext(dc));
        if (memory == nullptr) {
            return nullptr;
        }
        // For pens and bitmaps SelectObject answers NULL on failure;
        // HGDI_ERROR is reserved for regions.
        HGDIOBJ old = SelectObject(memory, static_cast<HGDIOBJ>(bitmap));
        if (old == nullptr) {
            (void)DeleteDC(memory);
            return nullptr;
        }
        picture_ = BitmapContext{memory, old};
        return memory;
    }

    void blit(DrawingContext dc, int32_t x, int32_t y, int32_t width, int32_t height,
              DrawingContext source) noexcept override {
        (void)BitBlt(asContext(dc), x, y, width, height, asContext(source), 0, 0, SRCCOPY);
    }

    void releaseBitmapContext(DrawingContext memory) noexcept override {
        if (memory == nullptr || asContext(memory) != picture_.memory) {
            return;
        }
        (void)SelectObject(picture_.memory, picture_.oldBitmap);
        (void)DeleteDC(picture_.memory);
        picture_ = BitmapContext{};
    }

    DrawingContext beginScreenLines(DrawingContext screen, int32_t width) noexcept override {
        if (lines_.memory != nullptr || width <= 0) {
            return nullptr;
        }
        HDC memory = CreateCompatibleDC(asContext(screen));
        if (memory == nullptr) {
            return nullptr;
        }
        HBITMAP line = CreateCompatibleBitmap(asContext(screen), width, 1);
        HGDIOBJ old = line != nullptr ? SelectObject(memory, line) : nullptr;
        if (old == nullptr) {
            if (line != nullptr) {
                (void)DeleteObject(line);
            }
            (void)DeleteDC(memory);
            return nullptr;
        }
        lines_ = ScreenLines{memory, line, old, width};
        return memory;
    }

    uint32_t readScreenLine(DrawingContext lines, DrawingContext screen, int32_t y, uint8_t* buffer,
                            uint32_t capacity) noexcept override {
        if (lines == nullptr || asContext(lines) != lines_.memory) {
            return 0;
        }
        (void)BitBlt(lines_.memory, 0, 0, lines_.width, 1, asContext(screen), 0, y, SRCCOPY);
        const LONG got = GetBitmapBits(lines_.bitmap, clampToInt(capacity), buffer);
        return got > 0 ? static_cast<uint32_t>(got) : 0;
    }

    void endScreenLines(DrawingContext lines) noexcept override {
        if (lines == nullptr || asContext(lines) != lines_.memory) {
            return;
        }
        (void)SelectObject(lines_.memory, lines_.oldBitmap);
        (void)DeleteObject(lines_.bitmap);
        (void)DeleteDC(lines_.memory);
        lines_ = ScreenLines{};
    }

    // A key message carries the key and scan codes that went into a seed
    // byte; the copy kept for dispatching goes when the gathering ends.
    void forgetMessage() noexcept { secureWipeObject(peeked_); }

  private:
    struct BitmapContext {
        HDC memory;
        HGDIOBJ oldBitmap;
    };
    struct ScreenLines {
        HDC memory;
        HBITMAP bitmap;
        HGDIOBJ oldBitmap;
        int32_t width;
    };

    MSG peeked_{};
    BitmapContext picture_{};
    ScreenLines lines_{};
};

// Constant-initialised, with nothing to construct or destroy at run time.
constinit Win32WindowSystem windowSystem;
constinit std::atomic_flag gathering;

LRESULT CALLBACK gatherWindowProcedure(HWND window, UINT message, WPARAM wParam,
                                       LPARAM lParam) noexcept {
    // Windows of this class exist only while a gathering holds the back end.
    return static_cast<LRESULT>(entropyWindowProc(windowSystem, window, message,
                                                  static_cast<uintptr_t>(wParam),
                                                  static_cast<intptr_t>(lParam)));
}

}  // namespace

WindowSystem* windowSystemAcquire() noexcept {
    if (gathering.test_and_set(std::memory_order_acquire)) {
        return nullptr;
    }
    return &windowSystem;
}

void windowSystemRelease(WindowSystem* system) noexcept {
    if (system == &windowSystem) {
        windowSystem.forgetMessage();
        gathering.clear(std::memory_order_release);
    }
}

}  // namespace vc
