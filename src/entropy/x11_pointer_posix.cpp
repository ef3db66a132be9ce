// Pointer, focus and cursor for the X11 window system. X grabs the pointer
// to a window where Windows clips it to a rectangle, and cannot say which
// cursor shows, so both are approximated as each operation says.
//
// Our headers come first: Xlib defines macros such as None, Bool and Status.
#include "entropy/x11_window_system.h"

#include <cstdint>

namespace vc::x11 {

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
// itself, and restoring takes it off the root window again. On a dead
// connection there is nothing to show.
CursorHandle XWindowSystem::showBusyCursor() noexcept {
    if (connectionLost || busy_ == 0) {
        return nullptr;
    }
    xlib.defineCursor(display_, root_, busy_);
    xlib.flush(display_);
    return reinterpret_cast<CursorHandle>(static_cast<uintptr_t>(busy_));
}

void XWindowSystem::restoreCursor(CursorHandle previous) noexcept {
    if (connectionLost || previous == nullptr) {
        return;
    }
    xlib.undefineCursor(display_, root_);
    xlib.flush(display_);
}

}  // namespace vc::x11
