#include "SessionBackend.h"

#include "Fakes.h"

#include <gtest/gtest.h>

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
        {{{"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", "wayland-0"}}, SessionKind::x11}, // Xwayland
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

} // namespace
