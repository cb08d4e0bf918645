#include "HUD.h"
#include "Fakes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace murmelin;

namespace {

class FakeScreens final : public ScreenInfo {
public:
    std::vector<Screen> list;
    std::optional<Screen> main;
    std::optional<Point> mouse;
    std::vector<Screen> screens() const override { return list; }
    std::optional<Screen> mainScreen() const override { return main; }
    std::optional<Point> mouseLocation() const override { return mouse; }
};

class FakePanelFactory final : public PanelFactory {
public:
    int made = 0;
    std::unique_ptr<PanelWindow> makePanel(LevelModel& model, Size) override {
        ++made;
        return std::make_unique<murmelin::testing::FakePanelWindow>(&model);
    }
};

// LEFT 1920×1080 (a 40-point panel at its bottom) and RIGHT 1280×1024 beside it.
const Screen kLeft{{0, 0, 1920, 1080}, {0, 0, 1920, 1040}};
const Screen kRight{{1920, 0, 1280, 1024}, {1920, 0, 1280, 1024}};

struct HUDTest : ::testing::Test {
    FakeScreens screens;
    FakePanelFactory factory;
    HUD hud{screens, factory};
    murmelin::testing::FakePanelWindow& window() {
        return static_cast<murmelin::testing::FakePanelWindow&>(*hud.panel());
    }
    HUDTest() {
        screens.list = {kLeft, kRight};
        screens.main = kRight; // not the first, so the fallback is visible
    }
};

TEST_F(HUDTest, PlacesThePanelAtTheBottomCentreOfTheScreenUnderThePointer) {
    struct Case {
        const char* name;
        std::optional<Point> mouse;
        std::optional<Point> origin;
    };
    const Case cases[] = {
        {"left screen", Point{100, 100}, Point{960 - 140, 1040 - 80 - 44}},
        {"right screen", Point{2500, 1000}, Point{2560 - 140, 1024 - 80 - 44}},
        {"left edge of the right screen belongs to it", Point{1920, 0},
         Point{2560 - 140, 1024 - 80 - 44}},
        {"below the right screen, outside every frame: main screen", Point{2500, 1050},
         Point{2420, 900}},
        {"far away: main screen", Point{-5000, -5000}, Point{2420, 900}},
        {"the desktop keeps the pointer to itself: its focused screen", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        screens.mouse = c.mouse;
        hud.show();
        const PanelPlacement& placed = window().placement;
        EXPECT_DOUBLE_EQ(placed.bottomMargin, 80);
        ASSERT_EQ(placed.origin.has_value(), c.origin.has_value());
        if (c.origin) {
            EXPECT_DOUBLE_EQ(placed.origin->x, c.origin->x);
            EXPECT_DOUBLE_EQ(placed.origin->y, c.origin->y);
        }
    }
    EXPECT_EQ(factory.made, 1) << "later shows reuse the first panel";
    EXPECT_EQ(window().calls.size(), 2 * std::size(cases)) << "one place and front per show";
}

TEST_F(HUDTest, WithoutAnyScreenThePlaceIsLeftToTheDesktopAndThePanelIsStillShown) {
    screens.list.clear();
    screens.main.reset();
    screens.mouse = Point{10, 10};
    hud.model().level = 0.4;
    hud.show();
    EXPECT_EQ(factory.made, 1);
    EXPECT_EQ(window().calls, (std::vector<std::string>{"place", "front"}));
    EXPECT_FALSE(window().placement.origin);
    EXPECT_EQ(hud.model().level.get(), 0.0);
}

TEST_F(HUDTest, ShowResetsTheModelBeforeBringingThePanelForward) {
    EXPECT_EQ(hud.panel(), nullptr);
    hud.show();
    PanelWindow* first = hud.panel();
    ASSERT_NE(first, nullptr);
    hud.model().level = 0.9;
    hud.model().label = kTranscribingLabel;
    hud.show();
    EXPECT_EQ(hud.panel(), first);
    EXPECT_EQ(window().calls, (std::vector<std::string>{"place", "front", "place", "front"}));
    EXPECT_EQ(window().frontLabel, std::string(kListeningLabel) + " 0.000000");
}

TEST(HUDViewTest, FillWidthHasAStubAndNeverLeavesTheTrack) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> cases[] = {
        {0, 6},    {0.5, 55}, {1, 110},   {nan, 6},   {0.03, 6},
        {0.1, 11}, {-0.5, 6}, {1.5, 110}, {inf, 110}, {-inf, 6},
    };
    for (auto [level, width] : cases) {
        SCOPED_TRACE(level);
        EXPECT_DOUBLE_EQ(HUDView::fillWidth(level), width);
    }
}

} // namespace
