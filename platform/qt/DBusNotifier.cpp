#include "DBusNotifier.h"
#include "QtDesktopServices.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QVariantMap>

#include <cstdio>

namespace murmelin {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage capabilitiesCall() {
    return QDBusMessage::createMethodCall(kService, kPath, kService,
                                          QStringLiteral("GetCapabilities"));
}

} // namespace

QString notificationBody(const QString& body, const QStringList& capabilities) {
    if (!capabilities.contains(QStringLiteral("body-markup")))
        return body;
    QString escaped = body;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"))
        .replace(QLatin1Char('<'), QStringLiteral("&lt;"))
        .replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return escaped;
}

std::optional<QStringList> notificationCapabilities(QDBusConnection bus) {
    const QDBusReply<QStringList> reply = bus.call(capabilitiesCall(), QDBus::Block, 5000);
    if (!reply.isValid())
        return std::nullopt;
    return reply.value();
}

QDBusMessage notifyCall(const QString& title, const QString& body) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
    call << QStringLiteral("Murmelin") << uint(0) << QLatin1String(kDesktopEntryName) << title
         << body << QStringList() << QVariantMap() << int(-1);
    return call;
}

bool postDesktopNotification(QDBusConnection bus, const QString& title, const QString& body) {
    const QDBusReply<uint> reply = bus.call(notifyCall(title, body), QDBus::Block, 5000);
    return reply.isValid();
}

void reportUnshown(const QString& title, const QString& body, const QString& why) {
    std::fprintf(stderr, "murmelin: %s: %s (not shown: %s)\n", qPrintable(title), qPrintable(body),
                 qPrintable(why));
    std::fflush(stderr);
}

void DBusNotifier::post(const std::string&, const std::string& title, const std::string& body) {
    const QString t = QString::fromStdString(title), b = QString::fromStdString(body);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        reportUnshown(t, b, QStringLiteral("no session bus: ") + bus.lastError().message());
        return;
    }
    if (capabilities_) {
        send(t, b);
        return;
    }
    waiting_.emplace_back(t, b);
    if (asking_)
        return;
    asking_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(capabilitiesCall(), 5000), &calls_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [this, watcher] {
        watcher->deleteLater();
        asking_ = false;
        const QDBusPendingReply<QStringList> reply = *watcher;
        if (reply.isError()) {
            // Nobody answers: tell on stderr now, ask again at the next notification.
            for (const auto& [t, b] : std::exchange(waiting_, {}))
                reportUnshown(t, b, reply.error().message());
            return;
        }
        capabilities_ = reply.value();
        for (const auto& [t, b] : std::exchange(waiting_, {}))
            send(t, b);
    });
}

void DBusNotifier::send(const QString& title, const QString& body) {
    const QDBusMessage call = notifyCall(title, notificationBody(body, *capabilities_));
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), &calls_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, title, body] {
        watcher->deleteLater();
        if (watcher->isError())
            reportUnshown(title, body, watcher->error().message());
    });
}

} // namespace murmelin
