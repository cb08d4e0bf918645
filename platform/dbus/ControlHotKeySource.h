#pragma once

#include "ControlEdges.h"
#include "ports/Shortcuts.h"

#include <QObject>

#include <functional>

namespace murmelin {

// The object the running instance exports for `murmelin press`, `release` and `toggle`.
class ControlObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.github.murmelin.Murmelin1")

public:
    explicit ControlObject(std::function<void(ControlEdges::Command)> onCommand)
        : onCommand_(std::move(onCommand)) {}

public slots:
    Q_SCRIPTABLE void Press() { onCommand_(ControlEdges::Command::press); }
    Q_SCRIPTABLE void Release() { onCommand_(ControlEdges::Command::release); }
    Q_SCRIPTABLE void Toggle() { onCommand_(ControlEdges::Command::toggle); }

private:
    std::function<void(ControlEdges::Command)> onCommand_;
};

// The hot key where the desktop gives clients no global key: the user binds the keys in the
// desktop's own settings to `murmelin press` and `murmelin release` (or `toggle`), which call
// the object this source exports on the session bus, beside the program's well-known name.
// Main thread; needs a QCoreApplication. Edges are reported on the main thread.
class ControlHotKeySource final : public HotKeySource {
public:
    ControlHotKeySource();
    ~ControlHotKeySource() override;
    ControlHotKeySource(const ControlHotKeySource&) = delete;
    ControlHotKeySource& operator=(const ControlHotKeySource&) = delete;

    // Exports the object (once) and answers at once: bound with the preferred trigger, which
    // the user gives the desktop, or unavailable without a session bus (one line on stderr).
    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override;

private:
    void command(ControlEdges::Command command);

    ControlEdges edges_;
    std::function<void(ShortcutEdge)> onEdge_;
    ControlObject object_;
    bool exported_ = false;
    bool reported_ = false;
};

} // namespace murmelin
