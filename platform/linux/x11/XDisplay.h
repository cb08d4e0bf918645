#pragma once

#include "XConnection.h"

#include <X11/Xlib.h>

#include <memory>
#include <vector>

namespace murmelin::x11 {

struct XFreer {
    void operator()(void* data) const;
};
// Memory that Xlib hands out and XFree releases.
template <typename T> using XPtr = std::unique_ptr<T, XFreer>;

struct ModifierMapFreer {
    void operator()(XModifierKeymap* map) const;
};
using ModifierMapPtr = std::unique_ptr<XModifierKeymap, ModifierMapFreer>;

// Opens $DISPLAY with Xlib's thread support on, or returns null. Protocol errors on the
// returned connection never end the process: they are recorded for takeError().
DisplayPtr openDisplay();

// Waits for the server to process everything sent on `display`, then returns the code of the
// last protocol error it caused since the previous call (0 for none) and forgets it.
int takeError(Display* display);

// The modifier masks bound to a locking key (Caps, Shift, Num and Scroll Lock), LockMask
// included: state that must neither break a grab nor be released around a paste.
unsigned lockingModifiers(Display* display, const XModifierKeymap& map);

// The mask of the modifier that `keysym` is bound to, 0 if none.
unsigned modifierOf(Display* display, const XModifierKeymap& map, unsigned long keysym);

// The keycodes of non-locking modifiers that are physically down right now.
std::vector<unsigned char> heldModifierKeys(Display* display);

} // namespace murmelin::x11
