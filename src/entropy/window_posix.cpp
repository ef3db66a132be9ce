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
// This file holds the connection, the windows and the message queue; the
// pointer, focus and cursor are in x11_pointer_posix.cpp, the drawing in
// x11_drawing_posix.cpp, the Xlib table in x11_xlib_posix.cpp and the key
// and text conversions in x11_translation_posix.cpp.
//
// Our headers come first: Xlib defines macros such as None, Bool and Status.
#include "entropy/window_system.h"
#include "entropy/x11_translation.h"
#include "entropy/x11_window_system.h"

#include <X11/cursorfont.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace vc::x11 {
namespace {

constexpr uintptr_t SYSTEM_COMMAND_CLOSE = 0xF060;  // SC_CLOSE
constexpr long MAP_WAIT_NANOSECONDS = 5'000'000;
constexpr int MAP_WAIT_ROUNDS = 400;  // two seconds at most

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

}  // namespace

// When our connection breaks (the server ends, say) Xlib calls the
// process-wide I/O error handler, whose default prints and exits, then the
// connection's exit handler, whose default exits. Ours only note it, and
// the message queue answers with a quit message, so the gathering ends
// with 1 and the host lives on. A broken connection of the host's still
// goes to its handler. Requests on the dead display are dropped, except
// that a call allocating a resource id can end the process inside Xlib
// (see canAllocate): every id is therefore allocated in open() while the
// connection is new, but the gathering window's, and each allocation asks
// canAllocate first.
bool connectionLost = false;

namespace {

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

constinit XWindowSystem backend;

}  // namespace

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
    if (canAllocate()) {
        font_ = xlib.loadQueryFont(display_, "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso8859-1");
    }
    if (font_ == nullptr && canAllocate()) {
        font_ = xlib.loadQueryFont(display_, "fixed");
    }
    // A font cursor may cost several ids (the cursor font, and pictures
    // and pixmaps when libXcursor finds a themed one), so it is made while
    // the connection is new, even the busy cursor shown only at the end.
    if (canAllocate()) {
        arrow_ = xlib.createFontCursor(display_, XC_left_ptr);
    }
    if (canAllocate()) {
        busy_ = xlib.createFontCursor(display_, XC_watch);
    }
    // The contexts' GCs, made on the root: a GC serves every drawable of
    // its screen and depth, so the gathering window and the host's picture
    // too. Each drawing sets its colours and takes its clip off again, so a
    // GC comes back as it was made. Lines leave out their last point, as
    // Windows' pens do.
    XGCValues values{};
    values.graphics_exposures = False;
    values.cap_style = CapNotLast;
    unsigned long valueMask = GCGraphicsExposures | GCCapStyle;
    if (font_ != nullptr) {
        values.font = font_->fid;
        valueMask |= GCFont;
    }
    for (GC& gc : gcs_) {
        if (canAllocate()) {
            gc = xlib.createGC(display_, root_, valueMask, &values);
        }
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
    for (GC gc : gcs_) {
        if (gc != nullptr) {
            xlib.freeGC(display_, gc);
        }
    }
    for (Cursor cursor : {arrow_, busy_}) {
        if (cursor != 0) {
            xlib.freeCursor(display_, cursor);
        }
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

// Xlib hands out the resource id it fetched from libxcb at the call
// before, and fetches the next one at the call after; once libxcb's
// connection has failed, that fetch yields an invalid id, and the next
// allocation fails an assertion in Xlib that ends the process (on 32-bit
// builds, where the invalid id is the one Xlib checks for). Once the loss
// is known, nothing more is allocated.
bool XWindowSystem::canAllocate() noexcept {
    return !connectionLost;
}

// X has no window classes; the class's arrow cursor is made in open().
bool XWindowSystem::registerClass(void*) noexcept {
    return true;
}

void XWindowSystem::unregisterClass(void*) noexcept {}

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
    if (entry == nullptr || width <= 0 || height <= 0 || !canAllocate()) {
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
    // start-up drain stops at the empty answer after one, and the message
    // loop ends on the quit message taken last, in the drain or in the loop.
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

}  // namespace vc::x11

namespace vc {

using x11::backend;
using x11::gathering;

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
