#pragma once

#include "ports/Defaults.h"
#include "ports/Desktop.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace murmelin {

// The names a desktop gives the focused application: both parts of an X11 window's WM_CLASS
// (say "xterm" and "XTerm"), or a Wayland app_id in both; "" if unknown.
struct WindowClass {
    std::string instance;
    std::string className;
};

// Which chord pastes into which program, by the WM_CLASS of its window. Control+V is not
// universal: in a terminal it types a literal ^V, and xterm, urxvt and Emacs paste with
// Shift+Insert. Built-in entries cover the common programs; the user's entries (settings key
// "pasteChords") come first. Names match either part of WM_CLASS, without regard to ASCII case.
class PasteChordTable {
public:
    // The built-in entries alone.
    PasteChordTable() = default;
    // The built-ins under `userEntries` (window class → chord name, see pasteChordNamed).
    // An entry whose chord has no such name is left out and described in `rejected`.
    PasteChordTable(const std::map<std::string, std::string>& userEntries,
                    std::vector<std::string>& rejected);

    // The user's entries, then the built-ins; in each the instance part before the class
    // part. Control+V for windows that none names.
    PasteChord chordFor(const WindowClass& window) const;

private:
    std::map<std::string, PasteChord> user_; // keys in lower case
};

// "ctrl+v", "ctrl+shift+v" or "shift+insert" (any case, spaces ignored, "control" for "ctrl").
std::optional<PasteChord> pasteChordNamed(std::string_view name);
// `text` with A-Z in lower case: window classes and key names compare without regard to
// ASCII case, whatever the locale.
std::string asciiLowered(std::string_view text);

// The chord's name as pasteChordNamed() reads it: "ctrl+v", "ctrl+shift+v" or "shift+insert".
const char* pasteChordName(PasteChord chord);

inline constexpr const char* kPasteChordsKey = "pasteChords";

// The built-ins under the user's entries from the settings; entries that name no chord are
// told on stderr and left out.
std::shared_ptr<const PasteChordTable> readPasteChords(const DefaultsStore& defaults);

} // namespace murmelin
