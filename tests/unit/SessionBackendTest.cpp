#include "SessionBackend.h"

#include "Fakes.h"
#include "WaylandConnection.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

using namespace murmelin;

namespace {

TEST(SessionBackend, OneBackendIsChosenFromTheEnvironment) {
    struct Case {
        std::map<std::string, std::string> env;
        std::optional<SessionKind> kind;
    };
    const Case cases[] = {
        {{{"DISPLAY", ":0"}}, SessionKind::x11},
        // An Xwayland DISPLAY beside the Wayland display reaches only X11 windows.
        {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}, SessionKind::wayland},
        {{{"WAYLAND_DISPLAY", "/run/user/1000/wayland-1"}}, SessionKind::wayland},
        {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", ""}}, SessionKind::x11},
        {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"MURMELIN_SESSION", "x11"}},
         SessionKind::x11},
        {{{"MURMELIN_SESSION", "wayland"}}, SessionKind::wayland},
        {{{"DISPLAY", ""}}, SessionKind::none},
        {{}, SessionKind::none},
        {{{"DISPLAY", ":0"}, {"MURMELIN_SESSION", "none"}}, SessionKind::none},
        {{{"MURMELIN_SESSION", "x11"}}, SessionKind::x11},
        {{{"DISPLAY", ":0"}, {"MURMELIN_SESSION", "mir"}}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string problem;
        const auto kind = chooseSession(
            [&](const char* name) {
                auto it = c.env.find(name);
                return it == c.env.end() ? nullptr : it->second.c_str();
            },
            problem);
        EXPECT_EQ(kind, c.kind) << ::testing::PrintToString(c.env);
        EXPECT_EQ(problem.empty(), kind.has_value()) << problem;
    }
}

// mutter offers neither data-control nor layer-shell: there Qt runs on Xwayland, whose
// clipboard and panel need no focus. Every other case leaves the platform to Qt.
TEST(SessionBackend, QtRunsOnXwaylandWhereTheCompositorHasNoClipboardOrPanelOfItsOwn) {
    WaylandOffers mutter; // what mutter 43 offers of ours
    mutter.seat = mutter.shm = mutter.compositor = true;
    WaylandOffers sway = mutter; // and the wlroots family
    sway.virtualKeyboard = sway.foreignToplevel = sway.layerShell = true;
    sway.dataControl = 2;
    WaylandOffers clipboardOnly = mutter, panelOnly = mutter;
    clipboardOnly.dataControl = 1;
    panelOnly.layerShell = true;
    struct Case {
        const WaylandOffers* offers; // null: no compositor answered
        const char* display;
        const char* session; // MURMELIN_SESSION
        const char* platform;
    };
    const Case cases[] = {
        {&mutter, ":0", nullptr, "xcb"},
        {&mutter, ":0", "wayland", "xcb"},
        {&mutter, nullptr, nullptr, ""}, // no Xwayland: Qt's Wayland, focus needed
        {&mutter, "", nullptr, ""},
        {&mutter, ":0", "x11", ""}, // the X11 backend, Qt chooses as before
        {&mutter, ":0", "none", ""},
        {&sway, ":0", nullptr, ""},
        {&clipboardOnly, ":0", nullptr, ""},
        {&panelOnly, ":0", nullptr, ""},
        {nullptr, ":0", nullptr, ""}, // the backend falls back to X11 and says so
    };
    for (const Case& c : cases) {
        const std::map<std::string, const char*> env{{"WAYLAND_DISPLAY", "wayland-0"},
                                                     {"DISPLAY", c.display},
                                                     {"MURMELIN_SESSION", c.session}};
        std::string problem;
        const auto kind = chooseSession([&](const char* name) { return env.at(name); }, problem);
        ASSERT_TRUE(kind) << problem;
        const QtPlatformChoice choice = chooseQtPlatform(*kind, c.offers, c.display);
        SCOPED_TRACE(std::string(c.offers ? c.offers->describe() : "no compositor") + ", DISPLAY " +
                     (c.display ? c.display : "unset") + ", MURMELIN_SESSION " +
                     (c.session ? c.session : "unset"));
        EXPECT_EQ(choice.platform, c.platform);
        EXPECT_EQ(choice.why.empty(), choice.platform.empty()) << choice.why;
    }
}

// The session without a desktop answers every port at once and pastes nothing anywhere.
TEST(SessionBackend, TheNullBackendBindsAndPastesWithoutADesktop) {
    ManualClock clock;
    MainQueue main(clock);
    murmelin::testing::FakeDefaults defaults;
    const auto backend = makeSessionBackend(SessionKind::none, main, defaults);
    std::optional<ShortcutBinding> bound;
    ::testing::internal::CaptureStderr();
    backend->hotKeys().bind(
        {"dictate", "Dictate", "Ctrl+Alt+Space"}, [](ShortcutEdge) {},
        [&](ShortcutBinding b) { bound = b; });
    EXPECT_TRUE(backend->keys().postPaste(backend->keys().pasteChord()));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "murmelin: no desktop: Ctrl+Alt+Space bound, never pressed\n"
              "murmelin: no desktop: paste with ctrl+v\n");
    ASSERT_TRUE(bound);
    EXPECT_EQ(bound->outcome, HotKeyRegistration::bound);
    EXPECT_TRUE(backend->trust().isTrusted());
}

// A Wayland display that cannot be reached is said, and the session goes on without it.
TEST(SessionBackend, AnUnreachableWaylandDisplayFallsBackToTheNextSession) {
    ManualClock clock;
    MainQueue main(clock);
    murmelin::testing::FakeDefaults defaults;
    const char* display = std::getenv("DISPLAY");
    const std::string savedDisplay = display ? display : "";
    ::setenv("WAYLAND_DISPLAY", "/nonexistent/wayland-9", 1);
    ::unsetenv("DISPLAY");
    ::testing::internal::CaptureStderr();
    const auto backend = makeSessionBackend(SessionKind::wayland, main, defaults);
    backend->keys().postPaste(PasteChord::controlV);
    const std::string said = ::testing::internal::GetCapturedStderr();
    ::unsetenv("WAYLAND_DISPLAY");
    if (display)
        ::setenv("DISPLAY", savedDisplay.c_str(), 1);
    EXPECT_EQ(said, "murmelin: cannot connect to the Wayland display /nonexistent/wayland-9: No "
                    "such file or directory; using the desktop-less session instead\n"
                    "murmelin: no desktop: paste with ctrl+v\n");
    murmelin::testing::FakeClipboard toolkit;
    EXPECT_EQ(&backend->clipboard(toolkit), &toolkit);
    EXPECT_EQ(backend->layerShell(), nullptr);
}

} // namespace
