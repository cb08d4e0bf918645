#pragma once

#include "ports/Desktop.h"
#include "ports/Shortcuts.h"

namespace murmelin {

// The desktop of a session without one (tests, a server): every facility works and does
// nothing but say on stderr what it was asked, so a run can be followed from its log.
class NullHotKeySource final : public HotKeySource {
public:
    // Answers bound at once; no edge ever comes.
    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override;
};

class NullKeyInjector final : public KeyInjector {
public:
    PasteChord pasteChord() override { return PasteChord::controlV; }
    bool postPaste(PasteChord chord) override;
};

class NullAccessibilityTrust final : public AccessibilityTrust {
public:
    bool isTrusted() override { return true; }
    void requestTrust(std::function<void(bool)> answered) override { answered(true); }
    void setOnChange(std::function<void(bool)>) override {}
};

} // namespace murmelin
