#include "QtSettingsOpener.h"

#include <QDesktopServices>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace murmelin {

namespace {

// Sound settings of the common desktops, most specific first.
const std::vector<QtSettingsOpener::Command>& soundSettings() {
    static const std::vector<QtSettingsOpener::Command> commands = {
        {"gnome-control-center", {"sound"}},
        {"pavucontrol", {"-t", "4"}}, // its "Input Devices" tab
        {"systemsettings", {"kcm_pulseaudio"}},
        {"kcmshell6", {"kcm_pulseaudio"}},
        {"kcmshell5", {"kcm_pulseaudio"}},
        {"mate-volume-control", {"-p", "input"}},
        {"cinnamon-settings", {"sound"}},
    };
    return commands;
}

} // namespace

QtSettingsOpener::QtSettingsOpener()
    : QtSettingsOpener(
          [](const QString& p) { return QStandardPaths::findExecutable(p); },
          [](const Command& c) { QProcess::startDetached(c.program, c.arguments); },
          [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); },
          defaultModelsDir()) {}

QtSettingsOpener::QtSettingsOpener(Finder find, Launcher launch, FolderOpener openFolder,
                                   QString modelsDir)
    : find_(std::move(find)), launch_(std::move(launch)), openFolder_(std::move(openFolder)),
      modelsDir_(std::move(modelsDir)) {}

QString QtSettingsOpener::defaultModelsDir() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/murmelin/models");
}

std::optional<QtSettingsOpener::Command> QtSettingsOpener::microphoneSettings() const {
    for (const Command& c : soundSettings()) {
        const QString path = find_(c.program);
        if (!path.isEmpty())
            return Command{path, c.arguments};
    }
    return std::nullopt;
}

std::string QtSettingsOpener::noMicrophoneSettings() {
    return "No sound settings program is installed to choose the microphone. Install "
           "pavucontrol (or your desktop's sound settings: gnome-control-center, "
           "plasma-pa, mate-media or cinnamon-control-center).";
}

std::string QtSettingsOpener::open(SettingsPane pane) {
    if (pane == SettingsPane::microphone) {
        auto command = microphoneSettings();
        if (!command)
            return noMicrophoneSettings();
        launch_(*command);
    } else {
        // The place to put recognition models; made on first use so there is something to open.
        if (QDir().mkpath(modelsDir_))
            openFolder_(modelsDir_);
    }
    return {};
}

} // namespace murmelin
