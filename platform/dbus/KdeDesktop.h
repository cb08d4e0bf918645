#pragma once

#include "ControlEdges.h"
#include "ports/Shortcuts.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QTemporaryFile>

#include <functional>
#include <string>
#include <vector>

class QDBusMessage;

namespace murmelin {

// Whether the session bus has this name now (no activation, no waiting beyond a second).
bool busHasName(const QString& name);

// The hot key through Plasma's global-shortcut service (kglobalaccel) where its GlobalShortcuts
// portal binds nothing: the action registered under the component "murmelin" with the
// preferred trigger as its default, the keys the user chose in the settings kept. Pressed
// repeats while the keys are held: only the first one until Released counts. Main thread.
class KGlobalAccelHotKeys final : public QObject, public HotKeySource {
    Q_OBJECT

public:
    KGlobalAccelHotKeys();
    ~KGlobalAccelHotKeys() override;

    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override;

private slots:
    void onPressed(const QString& component, const QString& action, qlonglong timestamp);
    void onReleased(const QString& component, const QString& action, qlonglong timestamp);

private:
    QDBusConnection bus_;
    Shortcut shortcut_;
    std::function<void(ShortcutEdge)> onEdge_;
    ControlEdges edges_;
};

// The Qt key code kglobalaccel stores for "Ctrl+Alt+Space" and the like; 0 when unknown.
int qtKeyCode(const std::string& trigger);

// The focused window's resource class on KWin (its Wayland app_id), which no Wayland protocol
// tells there: a small KWin script, loaded at run time over D-Bus, calls back on each
// activation. Only KWin's own calls are believed. Main thread.
class KWinActiveWindow final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.github.murmelin.ActiveWindow1")

public:
    // Loads the script when KWin is on the session bus; otherwise stays empty.
    KWinActiveWindow();
    ~KWinActiveWindow() override;

    // "" until KWin has told.
    const std::string& resourceClass() const { return resourceClass_; }

public slots:
    Q_SCRIPTABLE void Activated(const QString& resourceClass);

private:
    QDBusConnection bus_;
    QTemporaryFile script_;
    QString kwin_; // KWin's unique name
    std::string resourceClass_;
    bool loaded_ = false;
};

} // namespace murmelin
