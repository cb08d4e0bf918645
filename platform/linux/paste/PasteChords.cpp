#include "PasteChords.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace murmelin {
namespace {

// Window classes (instance or class part, lower case) of programs that do not paste on
// Control+V. Terminals that paste the clipboard with Control+Shift+V, where Control+V types a
// literal ^V; st reports its terminal name as class.
// clang-format off
constexpr std::array<std::string_view, 36> kControlShiftV = {
    "gnome-terminal", "gnome-terminal-server", "xfce4-terminal", "lxterminal", "konsole",
    "yakuake", "tilix", "terminator", "mate-terminal", "qterminal", "alacritty", "kitty",
    "org.wezfurlong.wezterm", "wezterm", "foot", "footclient", "terminology", "sakura", "guake",
    "tilda", "deepin-terminal", "cool-retro-term", "kgx", "org.gnome.console", "org.gnome.ptyxis",
    "ptyxis", "com.raggesilver.blackbox", "roxterm", "termite", "hyper", "tabby", "ghostty",
    "com.mitchellh.ghostty", "st", "st-256color", "contour",
};
// xterm and the rxvt family paste the primary selection with Shift+Insert (and have no
// clipboard chord by default); Emacs yanks the clipboard with it, where Control+V scrolls.
constexpr std::array<std::string_view, 6> kShiftInsert = {
    "xterm", "uxterm", "urxvt", "rxvt", "rxvt-unicode", "emacs",
};
// clang-format on

std::optional<PasteChord> builtIn(const std::string& name) {
    if (std::find(kShiftInsert.begin(), kShiftInsert.end(), name) != kShiftInsert.end())
        return PasteChord::shiftInsert;
    if (std::find(kControlShiftV.begin(), kControlShiftV.end(), name) != kControlShiftV.end())
        return PasteChord::controlShiftV;
    return std::nullopt;
}

} // namespace

std::optional<PasteChord> pasteChordNamed(std::string_view name) {
    std::string compact;
    for (char c : asciiLowered(name)) {
        if (c != ' ' && c != '\t')
            compact += c;
    }
    if (compact.starts_with("control+"))
        compact.replace(0, 7, "ctrl");
    for (PasteChord chord :
         {PasteChord::controlV, PasteChord::controlShiftV, PasteChord::shiftInsert})
        if (compact == pasteChordName(chord))
            return chord;
    return std::nullopt;
}

PasteChordTable::PasteChordTable(const std::map<std::string, std::string>& userEntries,
                                 std::vector<std::string>& rejected) {
    for (const auto& [window, name] : userEntries) {
        if (auto chord = pasteChordNamed(name)) {
            user_[asciiLowered(window)] = *chord;
        } else {
            rejected.push_back("\"" + name + "\" for \"" + window +
                               "\" is not ctrl+v, ctrl+shift+v or shift+insert");
        }
    }
}

PasteChord PasteChordTable::chordFor(const WindowClass& window) const {
    const std::string names[] = {asciiLowered(window.instance), asciiLowered(window.className)};
    for (const std::string& name : names) {
        if (auto it = user_.find(name); !name.empty() && it != user_.end())
            return it->second;
    }
    for (const std::string& name : names) {
        if (auto chord = builtIn(name))
            return *chord;
    }
    return PasteChord::controlV;
}

std::string asciiLowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : char(c); });
    return out;
}

const char* pasteChordName(PasteChord chord) {
    switch (chord) {
    case PasteChord::controlV:
        return "ctrl+v";
    case PasteChord::controlShiftV:
        return "ctrl+shift+v";
    case PasteChord::shiftInsert:
        return "shift+insert";
    }
    return "?";
}

std::shared_ptr<const PasteChordTable> readPasteChords(const DefaultsStore& defaults) {
    std::vector<std::string> rejected;
    auto table = std::make_shared<const PasteChordTable>(
        defaults.stringMap(kPasteChordsKey).value_or(std::map<std::string, std::string>{}),
        rejected);
    for (const std::string& entry : rejected)
        std::fprintf(stderr, "murmelin: settings: %s: %s; ignored\n", kPasteChordsKey,
                     entry.c_str());
    return table;
}

} // namespace murmelin
