// A notification server for tests: owns org.freedesktop.Notifications on the session bus and
// appends every Notify call as one JSON line to $MURMELIN_NOTIFICATIONS, so that a test reads
// exactly which app name, summary and body arrived. It creates that file only once it owns the
// name, which tells whoever started it that it is ready.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QVariantMap>
#include <cstdio>

namespace murmelin {

class NotificationRecorder : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit NotificationRecorder(QString path) : path_(std::move(path)) {}

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout) {
        Q_UNUSED(hints);
        const uint id = replacesId != 0 ? replacesId : ++lastId_;
        const QJsonObject record{{"app_name", appName},
                                 {"summary", summary},
                                 {"body", body},
                                 {"id", static_cast<qint64>(id)},
                                 {"replaces_id", static_cast<qint64>(replacesId)},
                                 {"app_icon", appIcon},
                                 {"actions", QJsonArray::fromStringList(actions)},
                                 {"expire_timeout", expireTimeout}};
        append(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
        return id;
    }

    // A test makes it a markup server by writing capabilities, one a line, into
    // $MURMELIN_NOTIFICATIONS.capabilities; read at each call.
    QStringList GetCapabilities() {
        QFile file(path_ + ".capabilities");
        if (!file.open(QIODevice::ReadOnly))
            return {"body", "actions"};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = "Murmelin tests";
        version = "1.0";
        specVersion = "1.2";
        return "notification_recorder";
    }

    void CloseNotification(uint id) { emit NotificationClosed(id, 3); }

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& actionKey);

private:
    // One write per record with the file opened for appending, so a reader never sees half a
    // line from an earlier flush and concurrent readers see whole records.
    void append(const QByteArray& line) {
        QFile file(path_);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            std::fprintf(stderr, "notification_recorder: cannot write %s\n", qPrintable(path_));
            return;
        }
        file.write(line);
    }

    QString path_;
    uint lastId_ = 0;
};

} // namespace murmelin

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString path = qEnvironmentVariable("MURMELIN_NOTIFICATIONS");
    if (path.isEmpty()) {
        std::fprintf(stderr, "notification_recorder: MURMELIN_NOTIFICATIONS is not set\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "notification_recorder: no session bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    murmelin::NotificationRecorder recorder(path);
    if (!bus.registerObject("/org/freedesktop/Notifications", &recorder,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerService("org.freedesktop.Notifications")) {
        std::fprintf(stderr,
                     "notification_recorder: cannot own org.freedesktop.Notifications: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    QFile ready(path);
    if (!ready.open(QIODevice::WriteOnly | QIODevice::Append)) {
        std::fprintf(stderr, "notification_recorder: cannot create %s\n", qPrintable(path));
        return 1;
    }
    ready.close();
    return app.exec();
}

#include "notification_recorder.moc"
