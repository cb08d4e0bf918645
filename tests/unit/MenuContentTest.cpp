#include "App.h"
#include "Fakes.h"

#include <gtest/gtest.h>

using namespace murmelin;
using namespace murmelin::testing;

namespace {

using Kind = MenuItem::Kind;
using Strings = std::vector<std::string>;

class FakeHost final : public StatusItemHost {
public:
    std::vector<StatusIcon> icons;
    std::vector<std::vector<MenuItem>> menus;
    std::string toolTip;
    std::function<void()> onMenuOpen;
    int terminations = 0;
    void setIcon(StatusIcon icon) override { icons.push_back(icon); }
    void setMenu(std::vector<MenuItem> items) override { menus.push_back(std::move(items)); }
    void setToolTip(const std::string& text) override { toolTip = text; }
    void setOnMenuOpen(std::function<void()> f) override { onMenuOpen = std::move(f); }
    void terminate() override { ++terminations; }
};

// Marks translated texts so a test sees which ones went through the table.
class MarkingTranslator final : public Translator {
public:
    std::string translate(const std::string& key) const override { return "«" + key + "»"; }
};

class IdentityTranslator final : public Translator {
public:
    std::string translate(const std::string& key) const override { return key; }
};

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

// "kind:title" per entry, submenu rows nested as "  row" lines after their submenu.
Strings describe(const std::vector<MenuItem>& items) {
    Strings out;
    for (const auto& i : items) {
        const char* kind[] = {"text", "button", "separator", "submenu"};
        out.push_back(std::string(kind[int(i.kind)]) + ":" + i.title +
                      (i.shortcut.empty() ? "" : " [" + i.shortcut + "]"));
        for (const auto& row : i.children)
            out.push_back(std::string("  ") + (row.checked ? "✓ " : "") + row.title);
    }
    return out;
}

struct MenuContentTest : ::testing::Test {
    ControllerRig rig;
    FakeHost host;
    IdentityTranslator translator;
    std::shared_ptr<Controller> c;

    MenuContentTest() {
        rig.recognizers.locales = {"de-CH", "en-US", "xx-YY"};
        rig.localeInfo.names = {{"de-CH", "German (Switzerland)"},
                                {"en-US", "English (United States)"}};
        rig.trust.trusted = false;
        c = rig.make();
        c->localeID = "en-US";
    }
    // Rows follow the controller's order (sorted by display name), not the recogniser's.
    std::vector<MenuItem> items(const Translator& tr) {
        return MenuContent(*c, rig.clipboard, host, tr).items();
    }
    std::vector<MenuItem> items() { return items(translator); }
    MenuItem& find(std::vector<MenuItem>& menu, const std::string& title) {
        for (auto& i : menu)
            if (i.title == title)
                return i;
        throw std::runtime_error("no entry " + title);
    }
};

// Fixed texts go through the translator; history rows and language names do not.
TEST_F(MenuContentTest, EntriesInOrderWithOnlyTheFixedTextsTranslated) {
    EXPECT_EQ(describe(items()), (Strings{
                                     "text:Hold Ctrl+Alt+Space to dictate",
                                     "separator:",
                                     "text:No transcripts yet",
                                     "separator:",
                                     "submenu:Language",
                                     "  ✓ English (United States)",
                                     "  German (Switzerland)",
                                     "  xx-YY",
                                     "separator:",
                                     "button:Grant Accessibility for Auto-Paste…",
                                     "button:Microphone Settings…",
                                     "button:Speech Recognition Settings…",
                                     "separator:",
                                     "button:Quit Murmelin [Ctrl+Q]",
                                 }));
    c->history = Strings{"hello"};
    c->trusted = true;
    const Strings translated = describe(items(MarkingTranslator()));
    EXPECT_EQ(std::vector(translated.begin(), translated.begin() + 6),
              (Strings{"text:«Hold Ctrl+Alt+Space to dictate»", "separator:", "button:hello",
                       "separator:", "submenu:«Language»", "  ✓ English (United States)"}));
    EXPECT_EQ(translated.at(9), "button:«Microphone Settings…»")
        << "no accessibility entry once trusted";
    EXPECT_EQ(translated.back(), "button:«Quit Murmelin» [Ctrl+Q]");
}

TEST(HistoryRowLabelTest, CutsAtSixtyUserPerceivedCharacters) {
    const std::string family = "👨‍👩‍👧"; // one character of five scalars
    const std::string accented = "e\u0301";          // e + combining acute: one character
    const std::string flag = "🇨🇭";
    struct Case {
        const char* name;
        std::string item, label;
    };
    const Case cases[] = {
        {"empty", "", ""},
        {"exactly 60", repeat("a", 60), repeat("a", 60)},
        {"61", repeat("a", 61), repeat("a", 60) + "…"},
        {"line feed becomes a space", "first\nsecond", "first second"},
        {"carriage return stays", "a\r\nb", "a\r b"},
        {"emoji sequences whole", repeat(family, 61), repeat(family, 60) + "…"},
        {"60 emoji not cut", repeat(family, 60), repeat(family, 60)},
        {"combining marks stay on their letter", repeat(accented, 61), repeat(accented, 60) + "…"},
        {"flags are pairs", repeat(flag, 59) + "xy", repeat(flag, 59) + "x…"},
        {"line feeds count as one character each", repeat("\n", 61), repeat(" ", 60) + "…"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(historyRowLabel(c.item), c.label);
    }
}

TEST_F(MenuContentTest, HistoryRowsCopyTheUnalteredItem) {
    c->history = Strings{"same", "two\nlines", "same"};
    auto menu = items();
    ASSERT_EQ(menu[2].title, "same");
    ASSERT_EQ(menu[3].title, "two lines");
    ASSERT_EQ(menu[4].title, "same");
    EXPECT_EQ(menu[5].kind, Kind::separator);
    menu[3].action();
    menu[4].action();
    menu[2].action();
    EXPECT_EQ(rig.clipboard.writes, (Strings{"two\nlines", "same", "same"}));
    EXPECT_EQ(c->history.get(), (Strings{"same", "two\nlines", "same"})) << "not reordered";
    EXPECT_TRUE(rig.notifier.posted.empty());
    EXPECT_TRUE(rig.keys.pastes.empty());
}

TEST_F(MenuContentTest, LanguageRowsAreExclusiveAndWriteTheLocale) {
    auto menu = items();
    auto& language = find(menu, "Language");
    for (const auto& row : language.children)
        EXPECT_TRUE(row.checkable);
    language.children[2].action();
    EXPECT_EQ(c->localeID.get(), "xx-YY");
    EXPECT_EQ(rig.defaults.string("locale"), "xx-YY");
    EXPECT_EQ(describe({find(menu = items(), "Language")}),
              (Strings{"submenu:Language", "  English (United States)", "  German (Switzerland)",
                       "  ✓ xx-YY"}));
    c->localeID = "fr-FR";
    for (const auto& row : find(menu = items(), "Language").children)
        EXPECT_FALSE(row.checked) << row.title;
    // The POSIX spelling of the current language, as the store holds it on first start.
    c->localeID = "en_US";
    EXPECT_EQ(describe({find(menu = items(), "Language")}),
              (Strings{"submenu:Language", "  ✓ English (United States)", "  German (Switzerland)",
                       "  xx-YY"}));
}

TEST(ChosenLocaleRowTest, ExactBeforeSeparatorBlindMatch) {
    const Strings locales = {"en-US", "en_US", "de-CH"};
    EXPECT_EQ(chosenLocaleRow("en_US", locales), "en_US");
    EXPECT_EQ(chosenLocaleRow("de_CH", locales), "de-CH");
    EXPECT_EQ(chosenLocaleRow("de", locales), std::nullopt);
    EXPECT_EQ(chosenLocaleRow("fr-FR", locales), std::nullopt);
}

TEST_F(MenuContentTest, ButtonsReachTheController) {
    rig.trust.answerToPrompt = true;
    auto menu = items();
    find(menu, "Microphone Settings…").action();
    find(menu, "Speech Recognition Settings…").action();
    EXPECT_EQ(rig.settings.opened, (std::vector<SettingsPane>{SettingsPane::microphone,
                                                              SettingsPane::speechRecognition}));
    find(menu, "Grant Accessibility for Auto-Paste…").action();
    EXPECT_EQ(rig.trust.prompts, 1);
    EXPECT_TRUE(c->trusted.get());
    EXPECT_THROW(find(menu = items(), "Grant Accessibility for Auto-Paste…"), std::runtime_error);
    find(menu, "Quit Murmelin").action();
    EXPECT_EQ(host.terminations, 1);
}

TEST_F(MenuContentTest, StartAtLoginFollowsTheLoginItemAndTellsAFailedChangeOnce) {
    std::vector<MenuItem> menu = items();
    EXPECT_THROW(find(menu, "Start at Login"), std::runtime_error) << "only with a login item";
    FakeLoginItem login;
    auto entry = [&] {
        menu = MenuContent(*c, rig.clipboard, host, translator, &login).items();
        EXPECT_EQ(describe(menu).at(describe(menu).size() - 3), "button:Start at Login");
        return find(menu, "Start at Login");
    };
    const MenuItem shown = entry();
    EXPECT_TRUE(shown.toggle);
    EXPECT_FALSE(shown.checked);
    shown.action();
    EXPECT_TRUE(login.enabled);
    shown.action(); // the same menu: a change that worked does not rebuild it
    EXPECT_FALSE(login.enabled);
    shown.action();
    EXPECT_TRUE(entry().checked);
    login.failure = "cannot remove /home/u/.config/autostart/murmelin.desktop: Permission denied";
    entry().action();
    EXPECT_TRUE(entry().checked) << "the entry shows the state that stayed";
    ASSERT_EQ(rig.notifier.posted.size(), 1u);
    EXPECT_EQ(rig.notifier.posted[0].body, login.failure);
    EXPECT_EQ(c->lastError.get(), login.failure);
}

TEST_F(MenuContentTest, AppFollowsTheControllerFromAJobAfterEachChange) {
    MurmelinApp app({*c, host, rig.clipboard, translator, rig.queue});
    ASSERT_EQ(host.icons, std::vector<StatusIcon>{StatusIcon::mic});
    ASSERT_EQ(host.menus.size(), 1u);

    // Several changes in one job: one rebuild, from the values stored last.
    c->recording = true;
    c->history = Strings{"fresh"};
    EXPECT_EQ(host.menus.size(), 1u) << "the signal comes before the store";
    drain(rig.queue);
    EXPECT_EQ(host.icons.back(), StatusIcon::micFill);
    ASSERT_EQ(host.menus.size(), 2u);
    EXPECT_EQ(host.menus.back()[2].title, "fresh");

    c->recording = false;
    drain(rig.queue);
    EXPECT_EQ(host.icons,
              (std::vector<StatusIcon>{StatusIcon::mic, StatusIcon::micFill, StatusIcon::mic}));
}

TEST_F(MenuContentTest, HotKeyOutcomeIsToldOnceAndShownInTheFirstLine) {
    c->start();
    MurmelinApp app({*c, host, rig.clipboard, translator, rig.queue});
    const std::string taken = hotKeyProblem(HotKeyRegistration::taken, "Ctrl+Alt+Space");
    struct Step {
        HotKeyRegistration outcome;
        const char* firstLine;
        std::size_t notifications;              // in all, so far
        std::string toolTipError;               // "" for none
        const char* trigger = "Ctrl+Alt+Space"; // the keys the desktop gave
    } steps[] = {
        {HotKeyRegistration::taken, "Ctrl+Alt+Space is taken by another program", 1, taken},
        {HotKeyRegistration::taken, "Ctrl+Alt+Space is taken by another program", 1,
         taken}, // a retry that failed alike
        {HotKeyRegistration::bound, "Hold Ctrl+Alt+Space to dictate", 1, ""},
        {HotKeyRegistration::taken, "Ctrl+Alt+Space is taken by another program", 2,
         taken}, // lost again: told again
        {HotKeyRegistration::unavailable, "Ctrl+Alt+Space is not available", 3,
         hotKeyProblem(HotKeyRegistration::unavailable, "Ctrl+Alt+Space")},
        {HotKeyRegistration::bound, "Hold Super+D to dictate", 3, "", "Super+D"},
    };
    for (const Step& step : steps) {
        rig.hotKey.registered(step.outcome, step.trigger);
        drain(rig.queue);
        EXPECT_EQ(host.menus.back()[0].title, step.firstLine);
        ASSERT_EQ(rig.notifier.posted.size(), step.notifications) << step.firstLine;
        EXPECT_EQ(rig.notifier.posted.back().title, "Murmelin");
        EXPECT_EQ(host.toolTip, statusToolTip(step.toolTipError));
    }
    EXPECT_EQ(rig.notifier.posted[0].body, taken);

    // Opening the menu tries the key again.
    ASSERT_TRUE(host.onMenuOpen);
    host.onMenuOpen();
    EXPECT_EQ(rig.hotKey.retries, 1);
}

TEST_F(MenuContentTest, ToolTipKeepsTheLastErrorUntilADictationIsDelivered) {
    c->start();
    MurmelinApp app({*c, host, rig.clipboard, translator, rig.queue});
    rig.recorder->startThrows = std::make_exception_ptr(std::runtime_error("No microphone"));
    rig.hotKey.press();
    drain(rig.queue);
    EXPECT_EQ(host.toolTip, "Murmelin: No microphone");
    rig.settings.problem = "Install pavucontrol.";
    find(host.menus.back(), "Microphone Settings…").action();
    drain(rig.queue);
    EXPECT_EQ(host.toolTip, "Murmelin: Install pavucontrol.");
    EXPECT_EQ(rig.notifier.posted.back().body, "Install pavucontrol.");

    rig.recorder->startThrows = nullptr;
    rig.hotKey.press();
    rig.hotKey.release();
    rig.recorder->complete(""); // nothing heard: not a delivery
    drain(rig.queue);
    EXPECT_EQ(host.toolTip, "Murmelin: Install pavucontrol.");
    rig.hotKey.press();
    rig.hotKey.release();
    rig.recorder->complete("hello");
    drain(rig.queue);
    EXPECT_EQ(host.toolTip, "Murmelin");
}

TEST_F(MenuContentTest, StartRunsOnceAfterTheLaunchCallbackReturns) {
    MurmelinApp app({*c, host, rig.clipboard, translator, rig.queue});
    app.delegate().applicationDidFinishLaunching();
    EXPECT_EQ(rig.hotKey.registrations, 0) << "start() must not run inside the callback";
    drain(rig.queue);
    EXPECT_EQ(rig.hotKey.registrations, 1);
    EXPECT_EQ(rig.recorder->calls, Strings{"requestPermissions"});
}

TEST_F(MenuContentTest, QueuedRebuildAfterTheAppIsGoneDoesNothing) {
    {
        MurmelinApp app({*c, host, rig.clipboard, translator, rig.queue});
        c->recording = true;
    }
    drain(rig.queue);
    EXPECT_EQ(host.menus.size(), 1u);
}

} // namespace
