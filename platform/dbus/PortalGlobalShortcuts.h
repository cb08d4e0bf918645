#pragma once

#include "ControlEdges.h"
#include "PortalRequests.h"
#include "PortalShortcut.h"
#include "ports/Shortcuts.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

class QDBusMessage;

namespace murmelin {

// The hot key through the desktop's GlobalShortcuts portal (org.freedesktop.portal.Desktop):
// a session, the shortcut bound in it (the desktop may ask the user and choose other keys),
// then Activated and Deactivated as press and release. Main thread; needs a QCoreApplication.
// Answers and edges come later, on the main thread.
class PortalGlobalShortcuts final : public QObject, public HotKeySource {
    Q_OBJECT

public:
    PortalGlobalShortcuts();
    ~PortalGlobalShortcuts() override;

    // Each call asks in a new session (the last one is closed), except after the user has
    // declined: then it answers unavailable at once rather than ask again and again.
    void bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
              std::function<void(ShortcutBinding)> onResult) override;

private slots:
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);

private:
    // A GlobalShortcuts method; a failed call ends the binding as unavailable.
    void request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                 PortalRequests::Answer then);
    void created(unsigned response, const QVariantMap& results);
    // Our shortcut as the portal is asked for it.
    PortalShortcuts wanted() const;
    // The keys an answer's "shortcuts" give our shortcut; none when it is not there.
    std::optional<std::string> triggerIn(const QVariantMap& results) const;
    void bound(unsigned response, const QVariantMap& results);
    void finish(HotKeyRegistration outcome, const std::string& trigger, const std::string& why);
    bool ours(const QDBusMessage& message) const;
    void closeSession();

    QDBusConnection bus_;
    PortalRequests requests_;
    Shortcut shortcut_;
    std::function<void(ShortcutEdge)> onEdge_;
    std::vector<std::function<void(ShortcutBinding)>> waiting_; // binds not answered yet
    QString session_;
    ControlEdges edges_;
    bool asking_ = false;
    bool declined_ = false;
    std::string said_; // the last line on stderr, not repeated by the retries
};

} // namespace murmelin
