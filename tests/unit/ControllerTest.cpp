#include "Controller.h"
#include "HUD.h"
#include "tests/support/Fakes.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace murmelin;
using namespace murmelin::testing;

namespace {

using Strings = std::vector<std::string>;

Strings numbered(const std::string& prefix, int count) {
    Strings out;
    for (int i = 0; i < count; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

struct ControllerTest : ::testing::Test {
    ControllerRig rig;
    std::shared_ptr<Controller> controller;

    Controller& started() {
        controller = rig.make();
        controller->start();
        return *controller;
    }
    // Press, release and hand the recorder's completion `transcript`.
    void dictate(const std::string& transcript) {
        rig.hotKey.press();
        rig.hotKey.release();
        rig.recorder->complete(transcript);
    }
};

TEST_F(ControllerTest, CreationReadsBothSettingsAndWritesNone) {
    struct Case {
        const char* name;
        std::map<std::string, FakeDefaults::Value> stored;
        Strings history;
        std::string localeID;
    };
    const Case cases[] = {
        {"empty store", {}, {}, "de_CH"},
        {"twelve entries kept whole",
         {{"history", numbered("t", 12)}, {"locale", std::string("fr-FR")}},
         numbered("t", 12),
         "fr-FR"},
        {"history as a string", {{"history", std::string("hello")}}, {}, "de_CH"},
        {"history as a number", {{"history", 3.0}}, {}, "de_CH"},
        {"locale as a list", {{"locale", Strings{"en-US"}}}, {}, "de_CH"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerRig r;
        r.localeInfo.current = "de_CH";
        r.defaults.values = c.stored;
        r.trust.trusted = false;
        auto made = r.make();
        EXPECT_EQ(made->history.get(), c.history);
        EXPECT_EQ(made->localeID.get(), c.localeID);
        EXPECT_FALSE(made->recording.get());
        EXPECT_FALSE(made->trusted.get());
        EXPECT_TRUE(r.defaults.writes.empty());
        EXPECT_TRUE(r.recorder->calls.empty());
        EXPECT_EQ(r.hotKey.registrations, 0);
    }
}

TEST_F(ControllerTest, EveryAssignmentOfLocaleIDPersistsAndAnnounces) {
    controller = rig.make();
    int announcements = 0;
    auto sub = controller->objectWillChange.subscribe([&] { ++announcements; });
    controller->localeID = "de-CH";
    controller->localeID = "de-CH";
    EXPECT_EQ(announcements, 2);
    ASSERT_EQ(rig.defaults.writes.size(), 2u);
    for (const auto& [key, value] : rig.defaults.writes) {
        EXPECT_EQ(key, "locale");
        EXPECT_EQ(std::get<std::string>(value), "de-CH");
    }
}

TEST_F(ControllerTest, StartRunsOnceAndAsksForNotificationsOnlyWithAnIdentity) {
    for (std::string identity : {"org.murmelin.Murmelin", ""}) {
        SCOPED_TRACE(identity);
        ControllerRig r;
        r.identity.identifier = identity;
        auto made = r.make();
        made->start();
        made->start();
        EXPECT_EQ(r.recorder->calls, Strings{"requestPermissions"});
        EXPECT_EQ(r.notifier.authorizationRequests, identity.empty() ? 0 : 1);
        EXPECT_EQ(r.hotKey.registrations, 1);
        EXPECT_TRUE(r.hotKey.onPress && r.hotKey.onRelease && r.recorder->onLevel);
    }
}

TEST_F(ControllerTest, FullCycleDeliversAndPastesExactlyAfterTheDelay) {
    rig.recognizers.locales = {"de-DE", "en-US"};
    rig.localeInfo.current = "en_US";
    auto& c = started();
    auto& model = rig.hud->levelModel;

    rig.hotKey.press();
    EXPECT_EQ(rig.recorder->calls.back(), "start:en-US");
    EXPECT_TRUE(c.recording.get());
    EXPECT_EQ(rig.hud->shows, 1);
    EXPECT_EQ(model.label.get(), kListeningLabel);

    rig.recorder->level(0.1f); // widened, not rounded to the nearest double of 0.1
    EXPECT_EQ(model.level.get(), static_cast<double>(0.1f));

    rig.hotKey.release();
    EXPECT_FALSE(c.recording.get());
    EXPECT_EQ(model.label.get(), kTranscribingLabel);
    EXPECT_EQ(model.level.get(), 0.0);
    EXPECT_EQ(rig.recorder->calls.back(), "stop");

    rig.keys.windowClass = "firefox";
    rig.recorder->complete("hello  new line world");
    EXPECT_EQ(rig.hud->window->calls.back(), "out");
    EXPECT_EQ(c.history.get(), Strings{"hello\nworld"});
    EXPECT_EQ(rig.clipboard.writes, Strings{"hello\nworld"});
    ASSERT_EQ(rig.defaults.writes.size(), 1u);
    EXPECT_EQ(std::get<Strings>(rig.defaults.writes[0].second), Strings{"hello\nworld"});
    EXPECT_TRUE(c.trusted.get());

    // The focused window is the one at paste time, not at delivery.
    rig.keys.windowClass = "Gnome-terminal";
    advance(rig.queue, rig.clock, 0.079);
    EXPECT_TRUE(rig.keys.pastes.empty());
    advance(rig.queue, rig.clock, 0.001);
    ASSERT_EQ(rig.keys.pastes.size(), 1u);
    EXPECT_EQ(rig.keys.pastes[0].chord, PasteChord::controlShiftV);
    EXPECT_EQ(rig.keys.pastes[0].at, secondsToNanos(0.08));
    EXPECT_TRUE(rig.notifier.posted.empty());
}

TEST_F(ControllerTest, FailedStartNotifiesOnceAndTheReleaseDoesNothing) {
    rig.recorder->startThrows =
        std::make_exception_ptr(std::runtime_error("Microphone access is not authorized."));
    auto& c = started();
    int announcements = 0;
    auto sub = c.objectWillChange.subscribe([&] { ++announcements; });
    rig.hotKey.press();
    rig.hotKey.release();
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].title, "Murmelin");
    EXPECT_EQ(rig.notifier.posted[0].body, "Microphone access is not authorized.");
    EXPECT_EQ(rig.notifier.posted[0].identifier, "uuid-1");
    EXPECT_EQ(announcements, 1); // the last error, shown in the tool tip; recording never set
    EXPECT_EQ(c.lastError.get(), "Microphone access is not authorized.");
    EXPECT_EQ(rig.hud->shows, 0);
    EXPECT_EQ(rig.recorder->calls, (Strings{"requestPermissions", "start:en-US"}));
}

TEST_F(ControllerTest, PressesAndReleasesOutOfTurnAreIgnored) {
    started();
    rig.hotKey.release(); // before any press
    EXPECT_EQ(rig.hud->levelModel.label.get(), kListeningLabel);
    rig.hotKey.press();
    rig.hotKey.press(); // key repeat while recording
    EXPECT_EQ(rig.recorder->calls, (Strings{"requestPermissions", "start:en-US"}));
    rig.hotKey.release();
    rig.hotKey.release(); // while transcribing
    EXPECT_EQ(std::count(rig.recorder->calls.begin(), rig.recorder->calls.end(), "stop"), 1);
}

TEST_F(ControllerTest, TranscriptsThatCleanToNothingDeliverNothing) {
    for (std::string transcript : {"", "   "}) {
        SCOPED_TRACE("'" + transcript + "'");
        ControllerRig r;
        auto made = r.make();
        made->start();
        r.hotKey.press();
        r.hotKey.release();
        r.recorder->complete(transcript);
        advance(r.queue, r.clock, 1.0);
        EXPECT_EQ(r.hud->window->calls.back(), "out");
        EXPECT_TRUE(made->history->empty());
        EXPECT_TRUE(r.defaults.writes.empty());
        EXPECT_TRUE(r.clipboard.writes.empty());
        EXPECT_TRUE(r.keys.pastes.empty());
        EXPECT_TRUE(r.notifier.posted.empty());
    }
}

TEST_F(ControllerTest, UntrustedDeliveryNotifiesInsteadOfPasting) {
    rig.trust.trusted = true;
    auto& c = started();
    rig.trust.trusted = false; // revoked after launch: sampled at delivery
    dictate("hello  world");
    advance(rig.queue, rig.clock, 1.0);
    EXPECT_FALSE(c.trusted.get());
    EXPECT_TRUE(rig.keys.pastes.empty());
    EXPECT_EQ(rig.clipboard.writes, Strings{"hello world"});
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].title, "Copied to clipboard");
    EXPECT_EQ(rig.notifier.posted[0].body, "hello world");
}

TEST_F(ControllerTest, HistoryKeepsTheTenNewestAfterADelivery) {
    rig.defaults.values["history"] = numbered("t", 12);
    auto& c = started();
    rig.hotKey.press();
    rig.hotKey.release();
    int announcements = 0;
    auto sub = c.objectWillChange.subscribe([&] { ++announcements; });
    rig.recorder->complete("hello");
    Strings expected = numbered("t", 9);
    expected.insert(expected.begin(), "hello");
    EXPECT_EQ(c.history.get(), expected);
    EXPECT_EQ(std::get<Strings>(rig.defaults.values["history"]), expected);
    EXPECT_EQ(announcements, 3); // insert, trim, trusted

    dictate("hello");
    EXPECT_EQ(c.history->at(0), "hello");
    EXPECT_EQ(c.history->at(1), "hello");
    EXPECT_EQ(c.history->size(), 10u);
}

TEST_F(ControllerTest, CallbacksDoNothingOnceTheControllerIsGone) {
    started();
    rig.hotKey.press();
    rig.hotKey.release();
    controller.reset();
    rig.recorder->complete("hello"); // pending completion
    rig.recorder->level(0.5f);
    rig.hotKey.press();
    rig.hotKey.release();
    EXPECT_TRUE(rig.clipboard.writes.empty());
    EXPECT_EQ(rig.hud->window->calls, Strings{"front"});
    EXPECT_EQ(rig.hud->levelModel.level.get(), 0.0);
    EXPECT_EQ(rig.recorder->calls, (Strings{"requestPermissions", "start:en-US", "stop"}));
}

TEST_F(ControllerTest, AScheduledPasteRunsEvenIfTheControllerIsGone) {
    started();
    dictate("hello");
    controller.reset();
    advance(rig.queue, rig.clock, 0.08);
    EXPECT_EQ(rig.keys.pastes.size(), 1u);
}

TEST_F(ControllerTest, WithoutIdentityNotificationsGoThroughTheScriptRunner) {
    rig.identity.identifier = "";
    rig.trust.trusted = false;
    started();
    dictate("say \\\"hi\\\"");
    ASSERT_EQ(rig.runner.launches.size(), 1u);
    EXPECT_TRUE(rig.notifier.posted.empty());
    EXPECT_EQ(rig.runner.launches[0].program, rig.runner.program);
    EXPECT_EQ(rig.runner.launches[0].arguments,
              (Strings{"-e", "display notification \"say \\\\\\\"hi\\\\\\\"\" with title "
                             "\"Copied to clipboard\""}));
}

TEST(ScriptEscaping, BackslashesFirstThenQuotes) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},       {"plain", "plain"},       {"\\", "\\\\"},
        {"\"", "\\\""}, {"a\\\"b", "a\\\\\\\"b"}, // backslash+quote → three backslashes, then the
                                                  // quote
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(escapeForScript(in), out) << in;
    EXPECT_EQ(notificationScript("", ""), "display notification \"\" with title \"\"");
    EXPECT_EQ(notificationScript("T", "B"), "display notification \"B\" with title \"T\"");
}

TEST_F(ControllerTest, OpenSettingsOpensOnlyValidLinksUnencoded) {
    struct Case {
        std::string prefix, anchor;
        bool opens;
    };
    const Case cases[] = {
        {"settings://privacy?", "Privacy_Microphone", true},
        {"settings://privacy?", "a%20b", true},
        {"settings://privacy?", "two words", false},
        {"settings://privacy?", "bad%zz", false},
        {"settings://privacy?", "caf\xC3\xA9", false},
        {"settings://privacy?", "tab\there", false},
        {"", "Privacy_Microphone", false}, // no scheme
        {"1x:", "Privacy_Microphone", false},
    };
    controller = rig.make();
    for (const auto& c : cases) {
        rig.settings.prefix = c.prefix;
        rig.settings.opened.clear();
        controller->openSettings(c.anchor);
        EXPECT_EQ(rig.settings.opened.size(), c.opens ? 1u : 0u) << c.prefix << c.anchor;
        if (c.opens) {
            EXPECT_EQ(rig.settings.opened[0], c.prefix + c.anchor);
        }
    }
}

TEST_F(ControllerTest, PromptAccessibilityTakesTheAnswerAtOnce) {
    rig.trust.trusted = false;
    rig.trust.answerToPrompt = true;
    controller = rig.make();
    controller->promptAccessibility();
    EXPECT_TRUE(controller->trusted.get());
    EXPECT_EQ(rig.trust.prompts, 1);
}

TEST(PasteChord, TerminalsGetControlShiftV) {
    const std::pair<std::string, PasteChord> cases[] = {
        {"Gnome-terminal", PasteChord::controlShiftV},
        {"gnome-terminal-server", PasteChord::controlShiftV},
        {"Xfce4-terminal", PasteChord::controlShiftV},
        {"Lxterminal", PasteChord::controlShiftV},
        {"konsole", PasteChord::controlShiftV},
        {"KONSOLE", PasteChord::controlShiftV},
        {"Alacritty", PasteChord::controlShiftV},
        {"kitty", PasteChord::controlShiftV},
        {"org.wezfurlong.wezterm", PasteChord::controlShiftV},
        {"st-256color", PasteChord::controlShiftV},
        {"XTerm", PasteChord::controlV},
        {"UXTerm", PasteChord::controlV},
        {"URxvt", PasteChord::controlV},
        {"firefox", PasteChord::controlV},
        {"Gnome-terminal-preferences", PasteChord::controlV},
        {"", PasteChord::controlV},
    };
    for (const auto& [windowClass, chord] : cases)
        EXPECT_EQ(pasteChordFor(windowClass), chord) << windowClass;
}

} // namespace
