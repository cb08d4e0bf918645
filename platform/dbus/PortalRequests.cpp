#include "PortalRequests.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <utility>

namespace murmelin {
namespace {

const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kResponse = QStringLiteral("Response");

} // namespace

QString portalObjectPath(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return value.toString();
}

unsigned portalVersion(const QString& interface) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return 0;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kPortal, kPortalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << interface << QStringLiteral("version");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 1000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return 0;
    return qdbus_cast<QDBusVariant>(reply.arguments().at(0)).variant().toUInt();
}

PortalRequests::PortalRequests(QDBusConnection bus, QString tokenPrefix)
    : bus_(std::move(bus)), tokenPrefix_(std::move(tokenPrefix)) {
    // Request objects are named after our unique name: ":1.42" becomes "1_42".
    requestPrefix_ = kPortalPath + QStringLiteral("/request/") +
                     bus_.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_')) +
                     QLatin1Char('/');
}

PortalRequests::~PortalRequests() {
    forgetAll();
}

QString PortalRequests::sessionToken() {
    return tokenPrefix_ + QStringLiteral("_session%1").arg(++tokens_);
}

void PortalRequests::forgetAll() {
    while (!requests_.empty())
        forget(requests_.begin()->first);
}

void PortalRequests::call(const QString& interface, const QString& method,
                          QList<QVariant> arguments, QVariantMap options, Answer then,
                          Refusal refused) {
    const QString token = tokenPrefix_ + QString::number(++tokens_);
    options.insert(QStringLiteral("handle_token"), token);
    const QString path = requestPrefix_ + token;
    listen(path, std::move(then));
    arguments.append(options);
    QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, interface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, path, method, refused = std::move(refused)](QDBusPendingCallWatcher* watcher) {
                watcher->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> reply = *watcher;
                const auto it = requests_.find(path);
                if (it == requests_.end())
                    return; // answered already
                if (reply.isError()) {
                    forget(path);
                    if (refused)
                        refused("the desktop portal refused " + method.toStdString() + ": " +
                                reply.error().message().toStdString());
                    return;
                }
                const QString handle = reply.value().path();
                if (handle != path) { // portals before version 0.9 chose the path themselves
                    Answer answer = std::move(it->second);
                    forget(path);
                    listen(handle, std::move(answer));
                }
            });
}

void PortalRequests::listen(const QString& requestPath, Answer then) {
    requests_[requestPath] = std::move(then);
    bus_.connect(kPortal, requestPath, kRequest, kResponse, this, SLOT(onResponse(QDBusMessage)));
}

void PortalRequests::forget(const QString& requestPath) {
    requests_.erase(requestPath);
    bus_.disconnect(kPortal, requestPath, kRequest, kResponse, this,
                    SLOT(onResponse(QDBusMessage)));
}

void PortalRequests::onResponse(const QDBusMessage& message) {
    const auto it = requests_.find(message.path());
    const QList<QVariant> arguments = message.arguments();
    if (it == requests_.end() || arguments.size() < 2)
        return;
    const Answer then = std::move(it->second);
    forget(message.path());
    then(arguments.at(0).toUInt(), qdbus_cast<QVariantMap>(arguments.at(1)));
}

} // namespace murmelin
