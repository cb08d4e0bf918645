#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <map>
#include <string>

class QDBusMessage;

namespace murmelin {

inline const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");

// Portals give object paths as strings or as object paths.
QString portalObjectPath(const QVariant& value);

// The version of `interface` on the session bus's desktop portal; 0 when it has none. Waits
// at most a second (the call may start the portal).
unsigned portalVersion(const QString& interface);

// The desktop portal's way of answering: a method returns the path of a Request object at
// once, and the answer comes later as that object's Response signal (after a dialog,
// perhaps). Main thread; needs a QCoreApplication.
class PortalRequests final : public QObject {
    Q_OBJECT

public:
    using Answer = std::function<void(unsigned response, const QVariantMap& results)>;
    // A sentence saying why the call itself failed.
    using Refusal = std::function<void(const std::string& why)>;

    // `tokenPrefix` keeps the handle tokens of two users of one portal apart.
    PortalRequests(QDBusConnection bus, QString tokenPrefix);
    ~PortalRequests() override;

    // Calls `interface`.`method`(arguments..., options + handle_token) on the portal, listening
    // for the answer before the call goes out: it may come before the call returns.
    void call(const QString& interface, const QString& method, QList<QVariant> arguments,
              QVariantMap options, Answer then, Refusal refused);
    // A fresh token for a session handle ("session_handle_token").
    QString sessionToken();
    // Drops every answer still awaited.
    void forgetAll();

private slots:
    void onResponse(const QDBusMessage& message);

private:
    void listen(const QString& requestPath, Answer then);
    void forget(const QString& requestPath);

    QDBusConnection bus_;
    QString tokenPrefix_;
    QString requestPrefix_; // /org/freedesktop/portal/desktop/request/<sender>/
    unsigned tokens_ = 0;
    std::map<QString, Answer> requests_;
};

} // namespace murmelin
