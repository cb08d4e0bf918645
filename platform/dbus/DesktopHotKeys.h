#pragma once

#include "ports/Shortcuts.h"

#include <memory>

namespace murmelin {

// The hot key on a desktop that gives clients no global key grab (Wayland): the desktop's
// GlobalShortcuts portal when the session bus offers one, else (or where the portal binds
// nothing) Plasma's kglobalaccel when it is there, else the key commands that the user binds
// in the desktop's own settings (`murmelin press` / `murmelin release`), which also serve
// beside the other two. Says on stderr which it chose. Main thread, with a QCoreApplication;
// waits at most a second for the portal. The sources answer on the Qt main thread.
std::unique_ptr<HotKeySource> makeDesktopHotKeys();

} // namespace murmelin
