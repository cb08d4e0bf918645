#pragma once

#include "ports/Desktop.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace murmelin {

// Opens the desktop's settings for a privacy pane: the sound settings for the microphone,
// the speech models folder for speech recognition. Without any sound settings program it
// says which ones would do.
class QtSettingsOpener final : public SettingsOpener {
public:
    struct Command {
        QString program;
        QStringList arguments;
    };
    // How to look up programs and start them; the defaults use PATH and QProcess.
    using Finder = std::function<QString(const QString& program)>;
    using Launcher = std::function<void(const Command&)>;
    using FolderOpener = std::function<void(const QString& path)>;

    QtSettingsOpener();
    QtSettingsOpener(Finder find, Launcher launch, FolderOpener openFolder, QString modelsDir);

    std::string open(SettingsPane pane) override;

    // The first sound settings program that is installed, with its arguments.
    std::optional<Command> microphoneSettings() const;
    // What the user is told when no sound settings program is installed.
    static std::string noMicrophoneSettings();
    // $XDG_DATA_HOME/murmelin/models.
    static QString defaultModelsDir();

private:
    Finder find_;
    Launcher launch_;
    FolderOpener openFolder_;
    QString modelsDir_;
};

} // namespace murmelin
