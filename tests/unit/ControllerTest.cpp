#include "Controller.h"
#include "Fakes.h"
#include "HUD.h"
#include "PasteChords.h"

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
    rig.recorder->level(0.3f); // the meter moves only while recording
    EXPECT_EQ(model.level.get(), 0.0);

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
    rig.recorder->level(0.7f); // the last buffer, flushed by the release
    EXPECT_EQ(model.level.get(), 0.0);

    rig.recorder->complete("hello  new line world");
    rig.recorder->level(0.2f);
    EXPECT_EQ(model.level.get(), 0.0);
    EXPECT_EQ(rig.hud->window->calls.back(), "out");
    EXPECT_EQ(c.history.get(), Strings{"hello\nworld"});
    EXPECT_EQ(rig.clipboard.writes, Strings{"hello\nworld"});
    ASSERT_EQ(rig.defaults.writes.size(), 1u);
    EXPECT_EQ(std::get<Strings>(rig.defaults.writes[0].second), Strings{"hello\nworld"});
    EXPECT_TRUE(c.trusted.get());

    // The focused application is the one at paste time, not at delivery.
    rig.keys.chord = PasteChord::controlShiftV;
    advance(rig.queue, rig.clock, 0.079);
    EXPECT_TRUE(rig.keys.pastes.empty());
    advance(rig.queue, rig.clock, 0.001);
    ASSERT_EQ(rig.keys.pastes.size(), 1u);
    EXPECT_EQ(rig.keys.pastes[0].chord, PasteChord::controlShiftV);
    EXPECT_EQ(rig.keys.pastes[0].at, secondsToNanos(0.08));
    EXPECT_TRUE(rig.notifier.posted.empty());
}

// Release, then press again before the first transcript arrives: its completion delivers
// it but leaves the panel to the dictation that records; the last completion hides it.
TEST_F(ControllerTest, AnEarlierCompletionLeavesThePanelToTheRecordingDictation) {
    auto& c = started();
    rig.hotKey.press();
    auto& window = *rig.hud->window;
    rig.hotKey.release();
    rig.hotKey.press();
    rig.recorder->complete("first");
    EXPECT_TRUE(c.recording.get());
    EXPECT_EQ(window.calls, (Strings{"front", "front"}));
    EXPECT_EQ(rig.hud->levelModel.label.get(), kListeningLabel);
    EXPECT_EQ(rig.clipboard.writes, Strings{"first"});

    rig.hotKey.release();
    rig.recorder->complete("second");
    EXPECT_EQ(window.calls.back(), "out");
    EXPECT_EQ(c.history.get(), (Strings{"second", "first"}));
}

// A target reads the clipboard when the chord reaches it: a transcript delivered while an
// earlier paste is due must not be on the clipboard before that paste has gone out, and a
// paste due while the hot key is held again waits for its release.
TEST_F(ControllerTest, EachPasteFindsItsOwnTextOnTheClipboardInDeliveryOrder) {
    struct Case {
        const char* name;
        bool heldAgain;       // the first completes while the key is held for the next dictation
        bool afterFirstPaste; // the second completes just after the first chord went out
    };
    for (const Case& k :
         {Case{"back to back", false, false}, Case{"just after the first paste", false, true},
          Case{"while held again", true, false},
          Case{"just after the release pasted", true, true}}) {
        SCOPED_TRACE(k.name);
        ControllerRig r;
        auto c = r.make();
        c->start();
        r.hotKey.press();
        r.hotKey.release();
        r.hotKey.press();
        if (!k.heldAgain)
            r.hotKey.release();
        r.recorder->complete("first");
        advance(r.queue, r.clock, k.heldAgain ? 0.5 : 0.01);
        EXPECT_TRUE(r.keys.pastes.empty());
        if (k.heldAgain)
            r.hotKey.release();
        if (k.afterFirstPaste) {
            advance(r.queue, r.clock, kPasteDelaySeconds);
            EXPECT_EQ(r.keys.pastes.size(), 1u);
        }
        r.recorder->complete("second");
        // The target fetches the clipboard after the chord: the next text waits its turn.
        EXPECT_EQ(r.clipboard.writes, Strings{"first"});
        advance(r.queue, r.clock, 1.0);

        ASSERT_EQ(r.keys.pastes.size(), 2u);
        EXPECT_EQ(r.keys.pastes[0].clipboard, "first");
        EXPECT_EQ(r.keys.pastes[1].clipboard, "second");
        EXPECT_GE(r.keys.pastes[1].at - r.keys.pastes[0].at,
                  secondsToNanos(PasteQueue::kSettleSeconds + kPasteDelaySeconds));
        EXPECT_EQ(r.clipboard.writes, (Strings{"first", "second"}));
        EXPECT_EQ(c->history.get(), (Strings{"second", "first"}));
    }
}

// The capture ended mid-dictation: the user is told at once, the meter drops, and the
// release still delivers what was heard.
TEST_F(ControllerTest, ACutShortRecordingIsToldAtOnceAndStillDelivered) {
    auto& c = started();
    rig.hotKey.press();
    rig.recorder->level(0.7f);
    rig.recorder->interrupt("The sound server went away.");
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].title, "Murmelin");
    EXPECT_EQ(rig.notifier.posted[0].body, "The recording was cut short. The sound server went "
                                           "away. What you said before that is kept.");
    EXPECT_EQ(rig.hud->levelModel.level.get(), 0.0);
    EXPECT_TRUE(c.recording.get());

    rig.hotKey.release();
    rig.recorder->complete("hello");
    advance(rig.queue, rig.clock, 0.08);
    EXPECT_EQ(rig.clipboard.writes, Strings{"hello"});
    EXPECT_EQ(rig.keys.pastes.size(), 1u);
    EXPECT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(cutShortMessage(""), "The recording was cut short. What you said before that is "
                                   "kept.");
    EXPECT_EQ(cutShortMessage("The microphone was disconnected (hw:1)"),
              "The recording was cut short. The microphone was disconnected (hw:1). What you "
              "said before that is kept.");
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
    auto& c = started();
    for (std::string transcript : {"", "   "}) {
        dictate(transcript);
        advance(rig.queue, rig.clock, 1.0);
        EXPECT_EQ(rig.hud->window->calls.back(), "out");
    }
    EXPECT_TRUE(c.history->empty());
    EXPECT_TRUE(rig.defaults.writes.empty());
    EXPECT_TRUE(rig.clipboard.writes.empty());
    EXPECT_TRUE(rig.keys.pastes.empty());
    EXPECT_TRUE(rig.notifier.posted.empty());
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

// A paste already scheduled still goes out; everything later reaches nobody.
TEST_F(ControllerTest, CallbacksDoNothingOnceTheControllerIsGoneButAScheduledPasteRuns) {
    started();
    dictate("hello");
    rig.hotKey.press();
    rig.hotKey.release();
    controller.reset();
    rig.recorder->complete("late"); // pending completion
    rig.recorder->level(0.5f);
    rig.hotKey.press();
    rig.hotKey.release();
    advance(rig.queue, rig.clock, 0.08);
    EXPECT_EQ(rig.keys.pastes.size(), 1u);
    EXPECT_EQ(rig.clipboard.writes, Strings{"hello"});
    EXPECT_EQ(rig.hud->window->calls, (Strings{"front", "out", "front"}));
    EXPECT_EQ(rig.hud->levelModel.level.get(), 0.0);
    EXPECT_EQ(rig.recorder->calls,
              (Strings{"requestPermissions", "start:en-US", "stop", "start:en-US", "stop"}));
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

TEST_F(ControllerTest, OpenSettingsOpensOnlyThePrivacyPanes) {
    struct Case {
        std::string anchor;
        std::optional<SettingsPane> pane;
    };
    const Case cases[] = {
        {"Privacy_Microphone", SettingsPane::microphone},
        {"Privacy_SpeechRecognition", SettingsPane::speechRecognition},
        {"Privacy_Camera", std::nullopt},
        {"privacy_microphone", std::nullopt},
        {"", std::nullopt},
    };
    controller = rig.make();
    for (const auto& c : cases) {
        rig.settings.opened.clear();
        controller->openSettings(c.anchor);
        EXPECT_EQ(rig.settings.opened,
                  c.pane ? std::vector<SettingsPane>{*c.pane} : std::vector<SettingsPane>{})
            << c.anchor;
    }
}

TEST(PasteChordTable, UserEntriesOverBuiltInsOnEitherClassPartAnyCase) {
    std::vector<std::string> rejected;
    const PasteChordTable table({{"XTerm", "Ctrl+Shift+V"},
                                 {"Firefox", " control + v "},
                                 {"myterm", "SHIFT+INSERT"},
                                 {"konsole", "ctrl+v"},
                                 {"Gedit", "ctrl+alt+v"},
                                 {"emacs", ""}},
                                rejected);
    struct Case {
        WindowClass window;
        PasteChord chord;
    };
    const Case cases[] = {
        {{"xterm", "XTerm"}, PasteChord::controlShiftV}, // user over built-in Shift+Insert
        {{"uxterm", "UXTerm"}, PasteChord::shiftInsert},
        {{"urxvt", "URxvt"}, PasteChord::shiftInsert},
        {{"emacs", "Emacs"}, PasteChord::shiftInsert}, // the unknown name left the built-in
        {{"Navigator", "firefox"}, PasteChord::controlV},
        {{"MYTERM", ""}, PasteChord::shiftInsert}, // instance part alone
        {{"konsole", "konsole"}, PasteChord::controlV},
        {{"gnome-terminal-server", "Gnome-terminal"}, PasteChord::controlShiftV},
        {{"st", "st-256color"}, PasteChord::controlShiftV},
        {{"gedit", "Gedit"}, PasteChord::controlV},
        {{"Gnome-terminal-preferences", ""}, PasteChord::controlV},
        {{"", ""}, PasteChord::controlV},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(table.chordFor(c.window), c.chord)
            << c.window.instance << " / " << c.window.className;
    }
    EXPECT_EQ(rejected,
              (Strings{"\"ctrl+alt+v\" for \"Gedit\" is not ctrl+v, ctrl+shift+v or shift+insert",
                       "\"\" for \"emacs\" is not ctrl+v, ctrl+shift+v or shift+insert"}));
    EXPECT_EQ(PasteChordTable().chordFor({"xterm", "XTerm"}), PasteChord::shiftInsert);
}

TEST(PasteChordTable, TheSettingsEntriesComeFirstAndBadOnesAreLeftOut) {
    FakeDefaults defaults;
    defaults.values["pasteChords"] =
        std::map<std::string, std::string>{{"Mousepad", "ctrl+shift+v"}, {"bad", "meta+v"}};
    const auto table = readPasteChords(defaults);
    EXPECT_EQ(table->chordFor({"mousepad", "Mousepad"}), PasteChord::controlShiftV);
    EXPECT_EQ(table->chordFor({"bad", "Bad"}), PasteChord::controlV);
    EXPECT_EQ(table->chordFor({"xterm", "XTerm"}), PasteChord::shiftInsert);
}

TEST_F(ControllerTest, PasteTakesTheApplicationsChordAndTellsWhenNothingCanBeTyped) {
    started();
    struct Case {
        std::string instance;
        bool canType;
        PasteChord chord;
        bool primary;
    };
    const Case cases[] = {
        {"mousepad", true, PasteChord::controlShiftV, false},
        {"xterm", true, PasteChord::shiftInsert, true},
        {"urxvt", false, PasteChord::shiftInsert, true},
        {"gedit", false, PasteChord::controlV, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.instance);
        rig.keys.chord = c.chord;
        rig.keys.canType = c.canType;
        rig.keys.pastes.clear();
        rig.clipboard.primaryWrites.clear();
        rig.notifier.posted.clear();
        dictate("hello " + c.instance);
        advance(rig.queue, rig.clock, 0.08);
        const std::size_t typed = rig.keys.pastes.size();
        advance(rig.queue, rig.clock, PasteQueue::kSettleSeconds); // before the next dictation
        ASSERT_EQ(rig.keys.pastes.size(), typed);
        if (c.canType) {
            ASSERT_EQ(rig.keys.pastes.size(), 1u);
            EXPECT_EQ(rig.keys.pastes[0].chord, c.chord);
            EXPECT_TRUE(rig.notifier.posted.empty());
        } else {
            // Nothing could be typed: the text waits on the clipboard and the user hears so.
            ASSERT_EQ(rig.notifier.posted.size(), 1u);
            EXPECT_EQ(rig.notifier.posted[0].title, "Copied to clipboard");
            EXPECT_EQ(rig.notifier.posted[0].body, "hello " + c.instance);
        }
        EXPECT_EQ(rig.clipboard.primaryWrites,
                  c.primary ? Strings{"hello " + c.instance} : Strings{});
    }
}

} // namespace
