// The Wayland adapters against a real wlroots compositor: the test session's headless sway
// (its own user; this process is a client through the socket's absolute path).
#include "DesktopSession.h"
#include "WaylandClipboard.h"
#include "WaylandConnection.h"
#include "WaylandKeyInjector.h"
#include "WaylandLayerPanel.h"
#include "WaylandPanel.h"
#include "WaylandToplevels.h"
#include "WaylandTrust.h"

#include <signal.h>
#include <unistd.h>

#include <QApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

using namespace murmelin;
using murmelin::test::DesktopSession;
using murmelin::test::readFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A reader of the clipboard that ends even when nobody answers: the text, or its exit status.
std::string paste(const DesktopSession& session, bool primary = false) {
    std::vector<std::string> argv{"timeout", "5", "wl-paste", "-n"};
    if (primary)
        argv.push_back("-p");
    const auto r = session.run(argv);
    return r.status == 0 ? r.out : "<status " + std::to_string(r.status) + ">";
}

// Another client takes the clipboard (wl-copy's server keeps its output open: no pipe).
void copy(const DesktopSession& session, const std::string& text) {
    session.run({"sh", "-c", "wl-copy \"$0\" >/dev/null 2>&1", text});
}

// The program's side: the connection and the adapters, made before any window (as at start)
// so that the seat has its keyboard before clients bind it.
struct Adapters {
    std::unique_ptr<WaylandConnection> connection = [] {
        std::string problem;
        auto c = WaylandConnection::connect(problem);
        if (!c)
            throw std::runtime_error(problem);
        return c;
    }();
    WaylandToplevels toplevels{*connection};
    WaylandKeyInjector keys{*connection, &toplevels, std::make_shared<const PasteChordTable>()};
};

class WaylandAdaptersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            sway = new DesktopSession({"sway"});
            sway->apply(); // this process is a client too
            adapters = new Adapters;
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete adapters;
        delete sway;
    }
    void SetUp() override {
        if (!adapters)
            FAIL() << "no Wayland session: " << problem;
    }
    // The tests' Qt window, started once; the file of its text.
    static fs::path targetWindow() {
        static const fs::path file = sway->launchTargetWindow();
        return file;
    }
    static inline DesktopSession* sway = nullptr;
    static inline Adapters* adapters = nullptr;
    static inline std::string problem;
};

TEST_F(WaylandAdaptersTest, OffersEveryProtocolOfTheWlrootsRoad) {
    const WaylandOffers& offers = adapters->connection->offers();
    EXPECT_TRUE(offers.canPaste() && offers.canCopy() && offers.canShowPanels() &&
                offers.foreignToplevel)
        << offers.describe();
    EXPECT_EQ(offers.dataControl, 2u);
}

TEST_F(WaylandAdaptersTest, ClipboardServesWithoutFocusUntilItGoes) {
    auto clipboard = std::make_unique<WaylandClipboard>(*adapters->connection);
    const std::string text = "Grüße aus Wayland";
    clipboard->setString(text);
    clipboard->setPrimarySelection("primary " + text);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return paste(*sway) == text; }, 3s)) << paste(*sway);
    EXPECT_EQ(paste(*sway, true), "primary " + text);

    // A reader that leaves after a few bytes (EPIPE on our side) harms neither the program
    // nor the next reader.
    const std::string big(4 << 20, 'x');
    clipboard->setString(big);
    ASSERT_TRUE(DesktopSession::waitFor([&] { return paste(*sway).size() == big.size(); }, 5s));
    EXPECT_EQ(sway->run({"sh", "-c", "timeout 5 wl-paste -n | head -c 5"}).out, "xxxxx");
    EXPECT_EQ(paste(*sway).size(), big.size());

    clipboard.reset();
    // wl-paste ends with 1 when there is no selection (124: it hung and was stopped).
    EXPECT_TRUE(DesktopSession::waitFor([&] { return paste(*sway) == "<status 1>"; }, 3s))
        << "the selection outlived its owner: " << paste(*sway);
}

// The first chord is the first key the virtual keyboard ever sends: none may be lost.
TEST_F(WaylandAdaptersTest, PastesIntoAQtWindowWhateverTheLayout) {
    const fs::path file = targetWindow();
    std::vector<double> milliseconds;
    for (const char* layout : {"us", "ru"}) {
        sway->run({"swaymsg", "input", "type:keyboard", "xkb_layout", layout});
        for (int i = 0; i < 3; ++i) {
            const std::string text = std::string(layout) + "-paste-" + std::to_string(i);
            copy(*sway, text);
            ASSERT_TRUE(DesktopSession::waitFor([&] { return paste(*sway) == text; }, 3s));
            adapters->keys.postPaste(PasteChord::controlV);
            // Polled every millisecond, for the latency.
            const auto start = std::chrono::steady_clock::now();
            bool arrived = false;
            while (!(arrived = readFile(file.string()).value_or("").ends_with(text)) &&
                   std::chrono::steady_clock::now() - start < 3s)
                std::this_thread::sleep_for(1ms);
            milliseconds.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
            EXPECT_TRUE(arrived) << layout << " paste " << i << ": "
                                 << readFile(file.string()).value_or("");
        }
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("postPaste -> text in the Qt window: median %.1f ms, max %.1f ms\n",
                milliseconds[milliseconds.size() / 2], milliseconds.back());
    sway->run({"swaymsg", "input", "type:keyboard", "xkb_layout", "us"});
}

TEST_F(WaylandAdaptersTest, ThePasteChordFollowsTheActivatedToplevel) {
    targetWindow();
    const pid_t foot = sway->launch("foot", {"foot", "-a", "foot"});
    EXPECT_TRUE(
        DesktopSession::waitFor([&] { return adapters->toplevels.activeAppId() == "foot"; }, 10s))
        << adapters->toplevels.activeAppId();
    EXPECT_EQ(adapters->keys.pasteChord(), PasteChord::controlShiftV);
    ::kill(foot, SIGTERM);
    EXPECT_TRUE(DesktopSession::waitFor(
        [&] { return adapters->keys.pasteChord() == PasteChord::controlV; }, 5s))
        << adapters->toplevels.activeAppId();
    EXPECT_NE(adapters->toplevels.activeAppId(), "");
}

// On the output that has the focus: the compositor's choice, since no Wayland client knows
// where the pointer is.
TEST_F(WaylandAdaptersTest, ThePanelShowsAtTheBottomOfTheFocusedOutputWithoutTakingFocus) {
    targetWindow();
    struct Case {
        const char* output;
        const char* region; // 200x40 at the bottom centre, 80 above the output's lower edge
    };
    const Case cases[] = {{"HEADLESS-2", "1580,480 200x40"}, {"HEADLESS-1", "540,600 200x40"}};
    const int width = 200, height = 40;
    std::string red = "P6\n200 40\n255\n";
    for (int i = 0; i < width * height; ++i)
        red += std::string("\xff\0\0", 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        ASSERT_EQ(sway->run({"swaymsg", "focus", "output", c.output}).status, 0);
        const std::string focused = sway->focusedAppId();
        auto pixels = [&] { return sway->run({"grim", "-t", "ppm", "-g", c.region, "-"}).out; };
        const std::string before = pixels();
        ASSERT_NE(before, red);

        WaylandLayerPanel panel(*adapters->connection);
        panel.setBottomMargin(80);
        const std::vector<uint32_t> frame(width * height, 0xffff0000);
        panel.show(frame.data(), width, height, width * 4);
        EXPECT_TRUE(DesktopSession::waitFor([&] { return pixels() == red; }, 3s));
        EXPECT_EQ(sway->focusedAppId(), focused);
        panel.hide();
        EXPECT_TRUE(DesktopSession::waitFor([&] { return pixels() == before; }, 3s));
        EXPECT_EQ(sway->focusedAppId(), focused);
    }
}

// The program's panel: the HUD drawn off screen, its frames on the layer surface, following
// the level while shown.
TEST_F(WaylandAdaptersTest, TheHUDPanelFollowsTheLevelOnTheLayerSurface) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1); // the widget is drawn, never shown by Qt
    static int argc = 1;
    static char name[] = "WaylandAdaptersTest";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    auto waitQt = [](const std::function<bool()>& done) {
        return DesktopSession::waitFor(
            [&] {
                QCoreApplication::processEvents();
                return done();
            },
            3s);
    };
    targetWindow();
    const std::string focused = sway->focusedAppId();
    // 280x44 at the bottom centre of the 1280x720 output, 80 above its edge.
    auto pixels = [] { return sway->run({"grim", "-t", "ppm", "-g", "500,596 280x44", "-"}).out; };
    const std::string before = pixels();

    LevelModel model;
    WaylandPanelFactory factory(*adapters->connection);
    const auto panel = factory.makePanel(model, HUDView::panelSize);
    panel->place({std::nullopt, 80});
    panel->orderFrontRegardless();
    std::string quiet;
    EXPECT_TRUE(waitQt([&] { return (quiet = pixels()) != before; }));
    model.level = 1.0;
    EXPECT_TRUE(waitQt([&] { return pixels() != quiet; })) << "the level bar did not move";
    EXPECT_EQ(sway->focusedAppId(), focused);
    panel->orderOut();
    EXPECT_TRUE(waitQt([&] { return pixels() == before; }));
}

// A compositor that goes away is told once; the adapters then do nothing, and never hang.
TEST(WaylandConnectionLossTest, AGoneCompositorIsToldOnceAndNothingBreaks) {
    DesktopSession sway({"sway"});
    sway.apply();
    Adapters adapters;
    ManualClock clock;
    MainQueue main(clock);
    WaylandTrust trust(*adapters.connection, main);
    std::vector<bool> changes;
    trust.setOnChange([&](bool trusted) { changes.push_back(trusted); });
    auto clipboard = std::make_unique<WaylandClipboard>(*adapters.connection);
    auto panel = std::make_unique<WaylandLayerPanel>(*adapters.connection);
    const uint32_t pixel = 0xff00ff00;
    panel->show(&pixel, 1, 1, 4);
    EXPECT_TRUE(trust.isTrusted());

    ::testing::internal::CaptureStderr();
    for (const auto& [pid, name] : sway.processes())
        if (name == "sway")
            ::kill(pid, SIGTERM);
    EXPECT_TRUE(DesktopSession::waitFor([&] { return adapters.connection->lost(); }, 5s));
    clipboard->setString("after the end");
    panel->show(&pixel, 1, 1, 4);
    EXPECT_FALSE(adapters.keys.postPaste(PasteChord::controlV));
    EXPECT_FALSE(trust.isTrusted());
    drain(main);
    EXPECT_EQ(changes, std::vector<bool>{false});
    clipboard.reset();
    panel.reset();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(said.starts_with("murmelin: lost the connection to the Wayland compositor"))
        << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
}

} // namespace
