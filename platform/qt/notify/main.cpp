// murmelin-notify: shows one desktop notification for Murmelin when it runs without an
// installed identity. Usage: murmelin-notify -e 'display notification "B" with title "T"'
#include "DBusNotifier.h"
#include "NotificationScript.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "-e") {
        std::fprintf(
            stderr,
            "usage: murmelin-notify -e 'display notification \"BODY\" with title \"TITLE\"'\n");
        return 2;
    }
    const auto request = murmelin::parseNotificationScript(argv[2]);
    if (!request) {
        std::fprintf(stderr, "murmelin-notify: cannot read the script: %s\n", argv[2]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    const QString title = QString::fromStdString(request->title);
    const QString body = QString::fromStdString(request->body);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        murmelin::reportUnshown(title, body,
                                QStringLiteral("no session bus: ") + bus.lastError().message());
        return 1;
    }
    const auto capabilities = murmelin::notificationCapabilities(bus);
    if (!capabilities || !murmelin::postDesktopNotification(
                             bus, title, murmelin::notificationBody(body, *capabilities))) {
        murmelin::reportUnshown(title, body,
                                QStringLiteral("the notification server did not answer: ") +
                                    bus.lastError().message());
        return 1;
    }
    return 0;
}
