#include "HotKey.h"
#include "Fakes.h"

#include <gtest/gtest.h>

#include <thread>

using namespace murmelin;
using namespace murmelin::testing;
using Strings = std::vector<std::string>;

namespace {

constexpr uint32_t kPressed = 5, kReleased = 6;

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

TEST_F(HotKeyTest, RegistersControlAltSpaceAfterInstallingTheHandler) {
    EXPECT_EQ(source.log.calls(), (Strings{"installHandler", "registerHotKey"}));
    ASSERT_EQ(source.registrations.size(), 1u);
    const auto& r = source.registrations[0];
    EXPECT_EQ(r.keyCode, 49u);
    EXPECT_EQ(r.modifiers, 0x1800u);
    EXPECT_EQ(r.signature, 0x4D524D31u); // "MRM1"
    EXPECT_EQ(r.id, 1u);
}

TEST_F(HotKeyTest, PressesAndReleasesAreDebouncedIntoStrictAlternation) {
    struct Row {
        const char* name;
        std::vector<uint32_t> kinds;
        Strings expected;
    } rows[] = {
        {"repeated press", {kPressed, kPressed, kReleased}, {"press", "release"}},
        {"release alone", {kReleased}, {}},
        {"double release", {kPressed, kReleased, kReleased}, {"press", "release"}},
        {"other kind releases", {kPressed, 7}, {"press", "release"}},
        {"two cycles",
         {kPressed, kReleased, kPressed, kReleased},
         {"press", "release", "press", "release"}},
    };
    for (const auto& row : rows) {
        calls.clear();
        for (uint32_t kind : row.kinds)
            EXPECT_EQ(source.fire(kind), kNoErr) << row.name;
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

TEST_F(HotKeyTest, MissingEventIsNotHandledAndPostsNothing) {
    EXPECT_EQ(source.fire(nullptr), kEventNotHandledErr);
    EXPECT_EQ(queue.pending(), 0u);
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
    EXPECT_EQ(source.fire(kReleased), kNoErr);
    drain(queue);
    EXPECT_TRUE(calls.empty());
}

TEST(HotKeyRegistrationTest, OutcomeArrivesOnTheMainQueueAndATakenKeyIsRetried) {
    ManualClock clock;
    MainQueue queue{clock};
    FakeHotKeySource source;
    HotKey key(source, queue);
    std::vector<HotKeyRegistration> outcomes;
    key.setOnRegistration([&](HotKeyRegistration r) { outcomes.push_back(r); });
    key.retryRegistration();
    EXPECT_TRUE(source.registrations.empty()) << "no retry before the first registration";

    source.outcome = HotKeyRegistration::taken;
    key.registerKey();
    EXPECT_TRUE(outcomes.empty()) << "reported inside registerKey()";
    drain(queue);
    EXPECT_EQ(outcomes, std::vector{HotKeyRegistration::taken});
    EXPECT_EQ(key.registration(), HotKeyRegistration::taken);

    // Every 30 s while taken; a retry in between (the menu opened) starts no second timer.
    advance(queue, clock, 29.9);
    EXPECT_EQ(source.registrations.size(), 1u);
    key.retryRegistration();
    EXPECT_EQ(source.registrations.size(), 2u);
    advance(queue, clock, 0.2);
    EXPECT_EQ(source.registrations.size(), 3u);
    source.outcome = HotKeyRegistration::bound;
    advance(queue, clock, 30);
    EXPECT_EQ(source.registrations.size(), 4u);
    EXPECT_EQ(outcomes.back(), HotKeyRegistration::bound);
    EXPECT_EQ(outcomes.size(), 4u);

    // Bound: nothing is tried any more, by timer or by hand.
    key.retryRegistration();
    advance(queue, clock, 120);
    EXPECT_EQ(source.registrations.size(), 4u);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(HotKeyShared, IsOneInstanceConfiguredOnce) {
    ManualClock clock;
    MainQueue queue{clock};
    FakeHotKeySource source, other;
    EXPECT_THROW(HotKey::shared(), std::logic_error);
    HotKey::configureShared(source, queue);
    HotKey& shared = HotKey::shared();
    HotKey::configureShared(other, queue);
    EXPECT_EQ(&HotKey::shared(), &shared);
    shared.registerKey();
    EXPECT_EQ(source.registrations.size(), 1u);
    EXPECT_TRUE(other.registrations.empty());
}

} // namespace
