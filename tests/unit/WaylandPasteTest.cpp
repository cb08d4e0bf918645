// The Wayland paste's own logic: its keymap, and the chord for an app_id.
#include "WaylandKeyInjector.h"

#include <xkbcommon/xkbcommon.h>

#include <gtest/gtest.h>

#include <memory>

using namespace murmelin;

namespace {

// Compiled by libxkbcommon as compositors and clients compile it: each key the paste sends
// gives its keysym, and the modifier masks it sends are Control and Shift.
TEST(WaylandPaste, TheKeymapCompilesWithEachPasteKeyAndModifierWhereThePasteSendsIt) {
    std::unique_ptr<xkb_context, decltype(&xkb_context_unref)> context(
        xkb_context_new(
            xkb_context_flags(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)),
        &xkb_context_unref);
    ASSERT_TRUE(context);
    std::unique_ptr<xkb_keymap, decltype(&xkb_keymap_unref)> keymap(
        xkb_keymap_new_from_string(context.get(), pasteKeymap().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                   XKB_KEYMAP_COMPILE_NO_FLAGS),
        &xkb_keymap_unref);
    ASSERT_TRUE(keymap) << "the keymap does not compile";
    struct Case {
        uint32_t evdev;
        xkb_keysym_t keysym;
    };
    for (const Case c :
         {Case{virtual_keys::leftControl, XKB_KEY_Control_L},
          Case{virtual_keys::leftShift, XKB_KEY_Shift_L}, Case{virtual_keys::v, XKB_KEY_v},
          Case{virtual_keys::insert, XKB_KEY_Insert}}) {
        const xkb_keysym_t* syms = nullptr;
        ASSERT_EQ(xkb_keymap_key_get_syms_by_level(keymap.get(), c.evdev + 8, 0, 0, &syms), 1)
            << "no key at evdev code " << c.evdev;
        EXPECT_EQ(syms[0], c.keysym) << "at evdev code " << c.evdev;
    }
    EXPECT_EQ(1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_CTRL),
              virtual_keys::controlMask);
    EXPECT_EQ(1u << xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT),
              virtual_keys::shiftMask);
}

// Terminals name themselves in reverse DNS on Wayland, with the X11 name last.
TEST(WaylandPaste, AnAppIdFindsItsChordLikeAWindowClass) {
    const PasteChordTable chords;
    struct Case {
        const char* appId;
        PasteChord chord;
    };
    for (const Case c : {Case{"foot", PasteChord::controlShiftV},
                         Case{"org.kde.konsole", PasteChord::controlShiftV},
                         Case{"com.gexperts.Tilix", PasteChord::controlShiftV},
                         Case{"org.wezfurlong.wezterm", PasteChord::controlShiftV},
                         Case{"org.mozilla.firefox", PasteChord::controlV},
                         Case{"Emacs", PasteChord::shiftInsert}, Case{"", PasteChord::controlV}})
        EXPECT_EQ(chords.chordFor(windowClassOfAppId(c.appId)), c.chord) << c.appId;
}

} // namespace
