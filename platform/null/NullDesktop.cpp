#include "NullDesktop.h"

#include "PasteChords.h"

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
    std::fprintf(stderr, "murmelin: no desktop: paste with %s\n", pasteChordName(chord));
    return true;
}

} // namespace murmelin
