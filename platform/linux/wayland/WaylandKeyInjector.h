#pragma once

#include "PasteChords.h"
#include "ports/Desktop.h"

#include <cstdint>
#include <memory>
#include <string>

struct zwp_virtual_keyboard_v1;

namespace murmelin {

class WaylandConnection;
class WaylandToplevels;

// The keys of the keymap the virtual keyboard uploads, as evdev codes (xkb code - 8), and
// the modifier masks of that keymap.
namespace virtual_keys {
inline constexpr uint32_t leftControl = 29, leftShift = 42, v = 47, insert = 110;
inline constexpr uint32_t shiftMask = 1u << 0, controlMask = 1u << 2;
} // namespace virtual_keys

// An XKB text keymap (format XKB_V1) that holds only Control_L, Shift_L, Insert and v at the
// codes above: whatever layout the user types with, v is v for the paste.
std::string pasteKeymap();

// The names the chord table looks up for a Wayland app_id: the app_id itself and, for a
// reverse-DNS one ("org.kde.konsole"), its last part, the program's name under X11.
WindowClass windowClassOfAppId(const std::string& appId);

// Paste chords through one virtual keyboard (zwp_virtual_keyboard_v1), made at start and kept:
// a keyboard made just before a key loses that key, as clients bind the seat's new keyboard
// only after it appears.
class WaylandKeyInjector final : public KeyInjector {
public:
    // `toplevels` may be null (the compositor tells no app_id): Control+V then.
    WaylandKeyInjector(WaylandConnection& connection, const WaylandToplevels* toplevels,
                       std::shared_ptr<const PasteChordTable> chords);
    ~WaylandKeyInjector() override;

    // The chord the table gives for the activated toplevel's app_id.
    PasteChord pasteChord() override;
    // The chord's modifiers, key down and up, modifiers cleared; false when the compositor
    // offers no virtual keyboard or has gone.
    bool postPaste(PasteChord chord) override;

private:
    void uploadKeymap();

    WaylandConnection& connection_;
    const WaylandToplevels* toplevels_;
    std::shared_ptr<const PasteChordTable> chords_;
    // A sealed memfd, sent again before each chord; -1 when the paste cannot work.
    int keymapFile_ = -1;
    uint32_t keymapSize_ = 0;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr; // Wayland thread
};

} // namespace murmelin
