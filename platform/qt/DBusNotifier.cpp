#include "DBusNotifier.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>
#include <QVariantMap>

namespace murmelin {

bool postDesktopNotification(QDBusConnection bus, const QString& title, const QString& body,
                             bool waitForReply) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QStringLiteral("Murmelin") << uint(0) << QStringLiteral("murmelin") << title << body
         << QStringList() << QVariantMap() << int(-1);
    if (!waitForReply) {
        call.setAutoStartService(true);
        return bus.send(call);
    }
    const QDBusReply<uint> reply = bus.call(call, QDBus::Block, 5000);
    return reply.isValid();
}

void DBusNotifier::post(const std::string&, const std::string& title, const std::string& body) {
    postDesktopNotification(QDBusConnection::sessionBus(), QString::fromStdString(title),
                            QString::fromStdString(body), false);
}

} // namespace murmelin
