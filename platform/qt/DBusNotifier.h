#pragma once

#include "App/ports/Desktop.h"

#include <QDBusConnection>
#include <QString>

namespace murmelin {

// Sends one Notify call to org.freedesktop.Notifications as application "Murmelin": no
// actions, no hints, the server's default timeout. With `waitForReply` false it returns at
// once; true waits for the server's answer (for a short-lived program) and reports success.
bool postDesktopNotification(QDBusConnection bus, const QString& title, const QString& body,
                             bool waitForReply);

// Notifications over the session bus. Main thread; never waits for the server.
class DBusNotifier final : public Notifier {
public:
    // Freedesktop servers do not ask the user for permission; there is nothing to request.
    void requestAuthorization() override {}
    // The server assigns its own numeric id, so `identifier` has no place in the call.
    void post(const std::string& identifier, const std::string& title,
              const std::string& body) override;
};

} // namespace murmelin
