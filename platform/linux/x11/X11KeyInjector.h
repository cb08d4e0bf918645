#pragma once

#include "PasteChords.h"
#include "XConnection.h"
#include "ports/Desktop.h"

#include <functional>
#include <memory>

namespace murmelin {

// Synthetic key chords through the XTEST extension, on an X connection opened at first use.
class X11KeyInjector final : public KeyInjector {
public:
    // `chords` says which chord pastes into which window class.
    explicit X11KeyInjector(
        std::shared_ptr<const PasteChordTable> chords = std::make_shared<const PasteChordTable>())
        : chords_(std::move(chords)) {}

    // Main thread, like every call below.
    // The focus window's class; with focus following the pointer (no window manager), the
    // class of the window under the pointer.
    WindowClass focusedWindowClass();
    // The chord the table gives for the focus window's class.
    PasteChord pasteChord() override { return chords_->chordFor(focusedWindowClass()); }
    // Lets go of the modifiers the user holds (they would turn Control+V into, say,
    // Control+Alt+V), sends the chord and presses them again, so none is left stuck. The key
    // is typed in a layout group that has it (locked for the chord, then restored), or else
    // bound to a spare key code for the chord, which is then freed again.
    bool postPaste(PasteChord chord) override;

    // Lets a paste wait while our own hot-key grab would swallow it: `defer` either takes the
    // retry (and runs it on the main thread later) and answers true, or answers false.
    using Deferral = std::function<bool(std::function<void()> retry)>;
    void setDeferral(Deferral defer) { defer_ = std::move(defer); }

private:
    _XDisplay* display();

    std::shared_ptr<const PasteChordTable> chords_;
    x11::DisplayPtr display_;
    Deferral defer_;
};

} // namespace murmelin
