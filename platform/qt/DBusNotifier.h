#pragma once

#include "ports/Desktop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace murmelin {

// A body as a server with `capabilities` shows it verbatim: servers that list "body-markup"
// read <, > and & as markup, so those are written as entities; others get the text as is.
QString notificationBody(const QString& body, const QStringList& capabilities);

// Asks the server what it can do; nothing when it does not answer (no server, no bus).
std::optional<QStringList> notificationCapabilities(QDBusConnection bus);

// The Notify call to org.freedesktop.Notifications as application "Murmelin": no actions, no
// hints, the server's default timeout; `body` goes as given.
QDBusMessage notifyCall(const QString& title, const QString& body);

// Sends it and waits for the server's answer (for a short-lived program); reports success.
bool postDesktopNotification(QDBusConnection bus, const QString& title, const QString& body);

// Notifications over the session bus. Main thread; never waits for the server. The server's
// capabilities are asked for once, before the first notification. A notification that no
// server shows (no bus, no server, an error answer) is written to stderr instead, so that
// what the user should have read is not lost.
class DBusNotifier final : public Notifier {
public:
    // Freedesktop servers do not ask the user for permission; there is nothing to request.
    void requestAuthorization() override {}
    // The server assigns its own numeric id, so `identifier` has no place in the call.
    void post(const std::string& identifier, const std::string& title,
              const std::string& body) override;

private:
    void send(const QString& title, const QString& body);

    QObject calls_; // parent of the pending calls: they go with the notifier
    std::optional<QStringList> capabilities_;
    bool asking_ = false;
    std::vector<std::pair<QString, QString>> waiting_; // posted while the answer is due
};

// "murmelin: <title>: <body> (not shown: <why>)" on stderr.
void reportUnshown(const QString& title, const QString& body, const QString& why);

} // namespace murmelin
