#include "WaylandKeyInjector.h"

#include "WaylandConnection.h"
#include "WaylandToplevels.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace murmelin {
namespace {

uint32_t millisecondsNow() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// A memfd holding `text` and its terminating NUL, which the compositor's parser expects;
// -1 when none can be made.
int keymapFile(const std::string& text) {
    const int fd = ::memfd_create("murmelin-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const char* data = text.c_str();
    size_t left = text.size() + 1;
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return -1;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    // The compositor maps it: it must not shrink under it.
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE);
    return fd;
}

} // namespace

std::string pasteKeymap() {
    // Codes are evdev + 8. ALPHABETIC gives v a capital on Shift, as every layout does, so a
    // client that reads the level still sees Shift+v for Control+Shift+V.
    return R"(xkb_keymap {
xkb_keycodes "murmelin" {
    minimum = 8;
    maximum = 255;
    <LCTL> = 37;
    <LFSH> = 50;
    <AB04> = 55;
    <INS> = 118;
};
xkb_types "murmelin" {
    type "ONE_LEVEL" {
        modifiers = none;
        level_name[Level1] = "Any";
    };
    type "ALPHABETIC" {
        modifiers = Shift+Lock;
        map[Shift] = Level2;
        map[Lock] = Level2;
        level_name[Level1] = "Base";
        level_name[Level2] = "Caps";
    };
};
xkb_compatibility "murmelin" {
    interpret Control_L { action = SetMods(modifiers=Control); };
    interpret Shift_L { action = SetMods(modifiers=Shift); };
};
xkb_symbols "murmelin" {
    key <LCTL> { type = "ONE_LEVEL", [ Control_L ] };
    key <LFSH> { type = "ONE_LEVEL", [ Shift_L ] };
    key <AB04> { type = "ALPHABETIC", [ v, V ] };
    key <INS> { type = "ONE_LEVEL", [ Insert ] };
    modifier_map Control { <LCTL> };
    modifier_map Shift { <LFSH> };
};
};
)";
}

WaylandKeyInjector::WaylandKeyInjector(WaylandConnection& connection,
                                       const WaylandToplevels* toplevels,
                                       std::shared_ptr<const PasteChordTable> chords)
    : connection_(connection), toplevels_(toplevels), chords_(std::move(chords)) {
    if (!connection_.offers().canPaste())
        return;
    const std::string keymap = pasteKeymap();
    keymapSize_ = static_cast<uint32_t>(keymap.size() + 1);
    keymapFile_ = keymapFile(keymap);
    if (keymapFile_ < 0) {
        std::fprintf(stderr, "murmelin: cannot make the paste keymap file: %s; paste is off\n",
                     std::strerror(errno));
        return;
    }
    connection_.post([this] {
        keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
            connection_.virtualKeyboards(), connection_.seat());
        uploadKeymap();
    });
}

WaylandKeyInjector::~WaylandKeyInjector() {
    connection_.postAndWait([this] {
        if (keyboard_)
            zwp_virtual_keyboard_v1_destroy(keyboard_);
        keyboard_ = nullptr;
    });
    if (keymapFile_ >= 0)
        ::close(keymapFile_);
}

void WaylandKeyInjector::uploadKeymap() {
    // The request carries a copy of the descriptor; ours stays for the next upload.
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, keymapFile_,
                                   keymapSize_);
}

WindowClass windowClassOfAppId(const std::string& appId) {
    const size_t dot = appId.rfind('.');
    return {appId, dot == std::string::npos ? appId : appId.substr(dot + 1)};
}

PasteChord WaylandKeyInjector::pasteChord() {
    return chords_->chordFor(
        windowClassOfAppId(toplevels_ ? toplevels_->activeAppId() : std::string()));
}

bool WaylandKeyInjector::postPaste(PasteChord chord) {
    if (keymapFile_ < 0 || connection_.lost())
        return false;
    using namespace virtual_keys;
    const uint32_t mods = chord == PasteChord::controlV        ? controlMask
                          : chord == PasteChord::controlShiftV ? controlMask | shiftMask
                                                               : shiftMask;
    const uint32_t key = chord == PasteChord::shiftInsert ? insert : v;
    connection_.post([this, mods, key] {
        // Again before every chord: sway gives every keyboard, ours too, the layout of its
        // input configuration whenever that changes (to Russian, say, where this key is no v).
        uploadKeymap();
        const uint32_t t = millisecondsNow();
        zwp_virtual_keyboard_v1_modifiers(keyboard_, mods, 0, 0, 0);
        zwp_virtual_keyboard_v1_key(keyboard_, t, key, WL_KEYBOARD_KEY_STATE_PRESSED);
        zwp_virtual_keyboard_v1_key(keyboard_, t, key, WL_KEYBOARD_KEY_STATE_RELEASED);
        zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
    });
    return true;
}

} // namespace murmelin
