// The Xlib entry points of the X11 window system. libX11 is loaded at run
// time, so the shared library needs nothing of X to load; everything the
// back end calls goes through this table.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace vc::x11 {

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

// Filled by the first successful loadXlib and kept from then on.
extern XlibFunctions xlib;

// Loads libX11 on the first gathering and keeps it: libxcb underneath keeps
// per-thread data whose destructors must still be there when threads that
// used it end, and a second gathering would only load it again. Runs only
// while the gathering flag is held.
bool loadXlib() noexcept;

}  // namespace vc::x11
