#pragma once

// An owned X connection without pulling Xlib's macros (None, Bool, Status...) into headers
// that Qt or test code includes.

#include <memory>

struct _XDisplay; // Xlib's Display

namespace murmelin::x11 {

struct DisplayCloser {
    void operator()(_XDisplay* display) const;
};
// An X connection of our own. Closing it also forgets its recorded errors.
using DisplayPtr = std::unique_ptr<_XDisplay, DisplayCloser>;

} // namespace murmelin::x11
