// The Qt adapters that need no display: the main-queue pump, the settings opener and the
// application identity.
#include "QtBus.h"
#include "QtDesktopServices.h"
#include "QtQueuePump.h"
#include "QtSettingsOpener.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>

using namespace murmelin;
using murmelin::test::loopUntil;

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "QtAdaptersTest";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

TEST(QtQueuePumpTest, RunsPostsFromAnyThreadOnTheMainThreadInOrderAndKeepsDeadlines) {
    app();
    SteadyClock clock;
    MainQueue queue(clock);
    QtQueuePump pump(queue);
    std::vector<std::string> order;
    const auto mainThread = std::this_thread::get_id();
    bool allOnMain = true;
    auto record = [&](std::string name) {
        return [&, name] {
            allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
            order.push_back(name);
        };
    };
    const auto start = clock.now();
    Nanoseconds delayedRanAt{};
    queue.asyncAfter(0.05, [&] {
        delayedRanAt = clock.now() - start;
        order.push_back("delayed");
    });
    EXPECT_TRUE(loopUntil([&] { return pump.timerArmed(); }, 1000)) << "no timer for the deadline";
    std::thread poster([&] {
        queue.async(record("a"));
        queue.async(record("b"));
    });
    poster.join();
    queue.async(record("c"));
    EXPECT_TRUE(order.empty()) << "a post never runs inside the call";
    ASSERT_TRUE(loopUntil([&] { return order.size() == 4; }, 2000));
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "delayed"}));
    EXPECT_TRUE(allOnMain);
    EXPECT_GE(delayedRanAt, secondsToNanos(0.05));
    EXPECT_LT(delayedRanAt, secondsToNanos(0.5));
    EXPECT_FALSE(pump.timerArmed()) << "an idle queue keeps no timer";
}

TEST(QtSettingsOpenerTest, OpensTheFirstSoundSettingsOrTheModelsFolder) {
    app();
    QTemporaryDir temp;
    const QString models = temp.filePath("data/murmelin/models");
    struct Case {
        const char* name;
        QStringList installed;
        SettingsPane pane;
        QString launched; // program + arguments, or empty
        bool folderOpened;
    };
    const Case cases[] = {
        {"GNOME first",
         {"pavucontrol", "gnome-control-center"},
         SettingsPane::microphone,
         "/usr/bin/gnome-control-center sound",
         false},
        {"pavucontrol's input tab",
         {"pavucontrol", "kcmshell6"},
         SettingsPane::microphone,
         "/usr/bin/pavucontrol -t 4",
         false},
        {"no sound settings installed", {}, SettingsPane::microphone, "", false},
        {"speech models folder", {}, SettingsPane::speechRecognition, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QString launched;
        QString opened;
        QtSettingsOpener opener(
            [&](const QString& p) { return c.installed.contains(p) ? "/usr/bin/" + p : QString(); },
            [&](const QtSettingsOpener::Command& cmd) {
                launched = (QStringList{cmd.program} + cmd.arguments).join(' ');
            },
            [&](const QString& path) { opened = path; }, models);
        const std::string told = opener.open(c.pane);
        EXPECT_EQ(told, std::string(c.name) == "no sound settings installed"
                            ? QtSettingsOpener::noMicrophoneSettings()
                            : "");
        EXPECT_EQ(launched, c.launched);
        EXPECT_EQ(!opened.isEmpty(), c.folderOpened);
        if (c.folderOpened) {
            EXPECT_EQ(opened, models);
            EXPECT_TRUE(QDir(models).exists()) << "made so that there is something to open";
        }
    }
}

TEST(DesktopAppIdentityTest, OnlyAnInstalledPrefixWithItsDesktopEntryHasAnIdentity) {
    QTemporaryDir prefix;
    QDir(prefix.path()).mkpath("bin");
    QDir(prefix.path()).mkpath("platform/qt");
    EXPECT_EQ(DesktopAppIdentity(prefix.filePath("bin")).bundleIdentifier(), "");
    QDir(prefix.path()).mkpath("share/applications");
    QFile entry(prefix.filePath("share/applications/io.github.murmelin.Murmelin.desktop"));
    ASSERT_TRUE(entry.open(QIODevice::WriteOnly));
    entry.close();
    EXPECT_EQ(DesktopAppIdentity(prefix.filePath("bin")).bundleIdentifier(),
              "io.github.murmelin.Murmelin");
    EXPECT_EQ(DesktopAppIdentity(prefix.filePath("platform/qt")).bundleIdentifier(), "")
        << "a build tree is not an installation";
}

} // namespace
