#include "ControlCommand.h"
#include "BusNames.h"

#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace murmelin {
namespace {

// A key command must never keep the desktop's shortcut waiting.
constexpr int kTimeoutMs = 1000;

bool isKeyCommand(const std::string& verb) {
    return verb == "press" || verb == "release" || verb == "toggle";
}

const char* methodFor(const std::string& verb) {
    if (verb == "press")
        return "Press";
    if (verb == "release")
        return "Release";
    if (verb == "toggle")
        return "Toggle";
    if (verb == "quit")
        return "Quit";
    return nullptr;
}

struct Error {
    DBusError e;
    Error() { dbus_error_init(&e); }
    ~Error() { dbus_error_free(&e); }
    bool is(const char* name) const { return dbus_error_has_name(&e, name); }
};

struct CloseConnection {
    void operator()(DBusConnection* c) const {
        dbus_connection_close(c);
        dbus_connection_unref(c);
    }
};
struct UnrefMessage {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};

// Without an address libdbus would start a bus of its own (autolaunch); a key press must not.
bool hasSessionBus() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info {};
    return runtime && stat((std::string(runtime) + "/bus").c_str(), &info) == 0;
}

} // namespace

const char* const kUsage =
    "usage: murmelin [press | release | toggle | quit | --help | --version]\n"
    "  without a command: starts Murmelin\n"
    "  press, release: start and end a dictation in the running Murmelin (bind\n"
    "    them to the key's press and release in your desktop's shortcuts)\n"
    "  toggle: starts a dictation, or ends the one running\n"
    "  quit: ends the running Murmelin\n";

int sendControlCommand(const std::string& verb) {
    const char* method = methodFor(verb);
    if (!method) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Error error;
    std::unique_ptr<DBusConnection, CloseConnection> bus(
        hasSessionBus() ? dbus_bus_get_private(DBUS_BUS_SESSION, &error.e) : nullptr);
    if (!bus) {
        std::fprintf(stderr, "murmelin: Murmelin is not running (no session bus%s%s)\n",
                     dbus_error_is_set(&error.e) ? ": " : "",
                     dbus_error_is_set(&error.e) ? error.e.message : "");
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(bus.get(), false);
    std::unique_ptr<DBusMessage, UnrefMessage> call(dbus_message_new_method_call(
        kBusName, isKeyCommand(verb) ? kControlPath : kInstancePath, kControlInterface, method));
    if (!call) {
        std::fprintf(stderr, "murmelin: out of memory\n");
        return 1;
    }
    dbus_message_set_auto_start(call.get(), false); // a key press must not start anything
    std::unique_ptr<DBusMessage, UnrefMessage> reply(
        dbus_connection_send_with_reply_and_block(bus.get(), call.get(), kTimeoutMs, &error.e));
    if (reply)
        return 0;
    if (error.is(DBUS_ERROR_NAME_HAS_NO_OWNER) || error.is(DBUS_ERROR_SERVICE_UNKNOWN))
        std::fprintf(stderr, "murmelin: Murmelin is not running\n");
    else if (isKeyCommand(verb) &&
             (error.is(DBUS_ERROR_UNKNOWN_OBJECT) || error.is(DBUS_ERROR_UNKNOWN_INTERFACE) ||
              error.is(DBUS_ERROR_UNKNOWN_METHOD)))
        std::fprintf(stderr, "murmelin: the running Murmelin takes no key commands on this "
                             "desktop: it listens to Control+Alt+Space itself\n");
    else if (error.is(DBUS_ERROR_NO_REPLY) || error.is(DBUS_ERROR_TIMEOUT) ||
             error.is(DBUS_ERROR_TIMED_OUT))
        std::fprintf(stderr, "murmelin: Murmelin did not answer within %d ms\n", kTimeoutMs);
    else
        std::fprintf(stderr, "murmelin: cannot reach Murmelin: %s\n",
                     dbus_error_is_set(&error.e) ? error.e.message : "no answer");
    return 1;
}

} // namespace murmelin
