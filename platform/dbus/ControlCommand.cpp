#include "ControlCommand.h"
#include "BusNames.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>

#include <cstdio>
#include <optional>

namespace murmelin {
namespace {

// A key command must never keep the desktop's shortcut waiting.
constexpr int kTimeoutMs = 1000;

const char* methodFor(const std::string& verb) {
    if (verb == "press")
        return "Press";
    if (verb == "release")
        return "Release";
    if (verb == "toggle")
        return "Toggle";
    return nullptr;
}

} // namespace

int sendControlCommand(const std::string& verb) {
    const char* method = methodFor(verb);
    if (!method) {
        std::fprintf(stderr,
                     "usage: murmelin [press | release | toggle]\n"
                     "  without a command: starts Murmelin\n"
                     "  press, release: start and end a dictation in the running Murmelin (bind\n"
                     "    them to the key's press and release in your desktop's shortcuts)\n"
                     "  toggle: starts a dictation, or ends the one running\n");
        return 2;
    }
    static int argc = 1;
    static char name[] = "murmelin";
    static char* argv[] = {name, nullptr};
    std::optional<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app.emplace(argc, argv);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "murmelin: Murmelin is not running (no session bus: %s)\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(kBusName), QLatin1String(kControlPath),
                                       QLatin1String(kControlInterface), QLatin1String(method));
    call.setAutoStartService(false); // a key press must not start anything
    const QDBusMessage reply = bus.call(call, QDBus::Block, kTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return 0;
    const QString error = reply.errorName();
    const auto is = [&error](const char* name) {
        return error == QLatin1String("org.freedesktop.DBus.Error.") + QLatin1String(name);
    };
    if (is("NameHasNoOwner") || is("ServiceUnknown"))
        std::fprintf(stderr, "murmelin: Murmelin is not running\n");
    else if (is("UnknownObject") || is("UnknownInterface") || is("UnknownMethod"))
        std::fprintf(stderr, "murmelin: the running Murmelin takes no key commands on this "
                             "desktop: it listens to Control+Alt+Space itself\n");
    else if (is("NoReply") || is("Timeout") || is("TimedOut"))
        std::fprintf(stderr, "murmelin: Murmelin did not answer within %d ms\n", kTimeoutMs);
    else
        std::fprintf(stderr, "murmelin: cannot reach Murmelin: %s\n",
                     qPrintable(reply.errorMessage()));
    return 1;
}

} // namespace murmelin
