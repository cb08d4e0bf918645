#include "NullDesktop.h"

#include <cstdio>

namespace murmelin {

void NullHotKeySource::bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)>,
                            std::function<void(ShortcutBinding)> onResult) {
    std::fprintf(stderr, "murmelin: no desktop: %s bound, never pressed\n",
                 shortcut.preferredTrigger.c_str());
    if (onResult)
        onResult({HotKeyRegistration::bound, shortcut.preferredTrigger});
}

bool NullKeyInjector::postPaste(PasteChord chord) {
    const char* name = chord == PasteChord::controlV        ? "Ctrl+V"
                       : chord == PasteChord::controlShiftV ? "Ctrl+Shift+V"
                                                            : "Shift+Insert";
    std::fprintf(stderr, "murmelin: no desktop: paste with %s\n", name);
    return true;
}

} // namespace murmelin
