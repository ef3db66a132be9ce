// Finds the Xlib entry points in libX11.so.6 with dlopen and dlsym.
#include "entropy/x11_xlib.h"

#include <dlfcn.h>

namespace vc::x11 {

XlibFunctions xlib{};

namespace {

bool xlibLoaded = false;

template <typename Function>
bool resolve(void* library, const char* name, Function* slot) noexcept {
    void* symbol = dlsym(library, name);
    *slot = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

}  // namespace

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

}  // namespace vc::x11
