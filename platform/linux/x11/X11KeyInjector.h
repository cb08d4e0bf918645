#pragma once

#include "App/ports/Desktop.h"
#include "platform/linux/x11/XConnection.h"

namespace murmelin {

// Synthetic key chords through the XTEST extension, on an X connection opened at first use.
class X11KeyInjector final : public KeyInjector {
public:
    // Main thread, like every call below.
    std::string focusedWindowClass() override;
    // Lets go of the modifiers the user holds (they would turn Control+V into, say,
    // Control+Alt+V), sends the chord and presses them again, so none is left stuck.
    void postPaste(PasteChord chord) override;

private:
    _XDisplay* display();

    x11::DisplayPtr display_;
};

} // namespace murmelin
