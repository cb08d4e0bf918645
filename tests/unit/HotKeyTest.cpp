#include "HotKey.h"
#include "Fakes.h"

#include <gtest/gtest.h>

#include <thread>

using namespace murmelin;
using namespace murmelin::testing;
using Strings = std::vector<std::string>;

namespace {

constexpr auto kPressed = ShortcutEdge::pressed, kReleased = ShortcutEdge::released;

struct HotKeyTest : ::testing::Test {
    ManualClock clock;
    MainQueue queue{clock};
    FakeHotKeySource source;
    Strings calls;
    std::unique_ptr<HotKey> key = std::make_unique<HotKey>(source, queue);

    void SetUp() override {
        key->setOnPress([this] { calls.push_back("press"); });
        key->setOnRelease([this] { calls.push_back("release"); });
        key->registerKey();
        drain(queue); // the registration's outcome
    }
};

TEST_F(HotKeyTest, BindsCtrlAltSpaceUnderAStableId) {
    ASSERT_EQ(source.shortcuts.size(), 1u);
    EXPECT_EQ(source.shortcuts[0].preferredTrigger, "Ctrl+Alt+Space");
    EXPECT_EQ(source.shortcuts[0].id, "dictate");
    EXPECT_FALSE(source.shortcuts[0].description.empty());
}

TEST_F(HotKeyTest, PressesAndReleasesAreDebouncedIntoStrictAlternation) {
    struct Row {
        const char* name;
        std::vector<ShortcutEdge> edges;
        Strings expected;
    } rows[] = {
        {"repeated press", {kPressed, kPressed, kReleased}, {"press", "release"}},
        {"release alone", {kReleased}, {}},
        {"double release", {kPressed, kReleased, kReleased}, {"press", "release"}},
        {"two cycles",
         {kPressed, kReleased, kPressed, kReleased},
         {"press", "release", "press", "release"}},
    };
    for (const auto& row : rows) {
        calls.clear();
        for (ShortcutEdge edge : row.edges)
            EXPECT_TRUE(source.fire(edge)) << row.name;
        EXPECT_TRUE(calls.empty()) << row.name << ": called inside the handler";
        drain(queue);
        EXPECT_EQ(calls, row.expected) << row.name;
        source.fire(kReleased); // back to up for the next row
        drain(queue);
    }
}

TEST_F(HotKeyTest, PressWithoutCallbackStillArmsTheRelease) {
    key->setOnPress(nullptr);
    source.fire(kPressed);
    source.fire(kReleased);
    drain(queue);
    EXPECT_EQ(calls, Strings{"release"});
}

TEST_F(HotKeyTest, EventsFromAnotherThreadArriveOnTheMainQueueInOrder) {
    std::thread platform([&] {
        for (int i = 0; i < 100; ++i)
            source.fire(i % 2 ? kReleased : kPressed);
    });
    platform.join();
    drain(queue);
    EXPECT_EQ(calls.size(), 100u);
    EXPECT_EQ(calls.front(), "press");
    EXPECT_EQ(calls.back(), "release");
}

TEST_F(HotKeyTest, HandlerOutlivingTheKeyDoesNothing) {
    source.fire(kPressed);
    key.reset();
    EXPECT_TRUE(source.fire(kReleased));
    drain(queue);
    EXPECT_TRUE(calls.empty());
}

TEST(HotKeyRegistrationTest, OutcomeArrivesOnTheMainQueueAndATakenKeyIsRetried) {
    ManualClock clock;
    MainQueue queue{clock};
    FakeHotKeySource source;
    HotKey key(source, queue);
    std::vector<HotKeyRegistration> outcomes;
    key.setOnRegistration([&](const ShortcutBinding& b) { outcomes.push_back(b.outcome); });
    key.retryRegistration();
    EXPECT_TRUE(source.shortcuts.empty()) << "no retry before the first registration";

    source.answer.outcome = HotKeyRegistration::taken;
    key.registerKey();
    EXPECT_TRUE(outcomes.empty()) << "reported inside registerKey()";
    drain(queue);
    EXPECT_EQ(outcomes, std::vector{HotKeyRegistration::taken});
    EXPECT_EQ(key.registration(), HotKeyRegistration::taken);

    // Every 30 s while taken; a retry in between (the menu opened) starts no second timer.
    advance(queue, clock, 29.9);
    EXPECT_EQ(source.shortcuts.size(), 1u);
    key.retryRegistration();
    EXPECT_EQ(source.shortcuts.size(), 2u);
    advance(queue, clock, 0.2);
    EXPECT_EQ(source.shortcuts.size(), 3u);
    source.answer.outcome = HotKeyRegistration::bound;
    advance(queue, clock, 30);
    EXPECT_EQ(source.shortcuts.size(), 4u);
    EXPECT_EQ(outcomes.back(), HotKeyRegistration::bound);
    EXPECT_EQ(outcomes.size(), 4u);

    // Bound: nothing is tried any more, by timer or by hand.
    key.retryRegistration();
    advance(queue, clock, 120);
    EXPECT_EQ(source.shortcuts.size(), 4u);
    EXPECT_EQ(queue.pending(), 0u);
}

// A desktop that asks the user first answers later, perhaps with other keys.
TEST(HotKeyRegistrationTest, ALaterAnswerCarriesTheTriggerTheDesktopGave) {
    ManualClock clock;
    MainQueue queue{clock};
    FakeHotKeySource source;
    source.answerLater = true;
    HotKey key(source, queue);
    std::vector<ShortcutBinding> outcomes;
    key.setOnRegistration([&](const ShortcutBinding& b) { outcomes.push_back(b); });
    key.registerKey();
    drain(queue);
    EXPECT_TRUE(outcomes.empty());
    EXPECT_EQ(key.registration(), HotKeyRegistration::pending);

    source.answer = {HotKeyRegistration::bound, "Super+D"};
    std::thread desktop([&] { source.answerNow(); });
    desktop.join();
    drain(queue);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].trigger, "Super+D");
    EXPECT_EQ(key.registration(), HotKeyRegistration::bound);

    source.answer = {HotKeyRegistration::unavailable, ""}; // says nothing of the keys
    key.registerKey();
    source.answerNow();
    drain(queue);
    EXPECT_EQ(outcomes.back().trigger, "Ctrl+Alt+Space");
}

} // namespace
