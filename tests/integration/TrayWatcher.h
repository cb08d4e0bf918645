// A StatusNotifierItem host's watcher for the end-to-end tests (a bar's tray, GNOME's
// AppIndicator extension), and what a host asks of a registered item over the bus.
#pragma once

#include "DesktopSession.h"
#include "QtBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace murmelin::test {

// A bar's tray (waybar's, say), as a StatusNotifierItem host offers its watcher:
// it takes the items' registrations. On a connection and thread of its own.
class TrayWatcher : public ThreadedBusObject {
public:
    explicit TrayWatcher(const std::string& address)
        : ThreadedBusObject(
              QDBusConnection::connectToBus(QString::fromStdString(address), "tray-watcher")) {
        serving();
        registered_ = bus_.registerService(kService) && bus_.registerVirtualObject(kPath, this);
    }
    ~TrayWatcher() override {
        stopServing();
        bus_.unregisterObject(kPath);
        bus_.unregisterService(kService);
    }
    bool registered() const { return registered_; }
    // The bus names of the items that registered.
    std::vector<std::string> items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }

    bool serve(const QDBusMessage& call, const QDBusConnection&) override {
        if (call.member() == QLatin1String("RegisterStatusNotifierItem")) {
            std::lock_guard lock(mutex_);
            // An item names its bus name, or only its path (then the caller is the service).
            const QString item = call.arguments().value(0).toString();
            items_.push_back((item.startsWith('/') ? call.service() : item).toStdString());
            return bus_.send(call.createReply());
        }
        if (call.member() == QLatin1String("Get")) {
            const QString name = call.arguments().value(1).toString();
            const QVariant value = name == QLatin1String("ProtocolVersion") ? QVariant(0)
                                   : name == QLatin1String("RegisteredStatusNotifierItems")
                                       ? QVariant(QStringList())
                                       : QVariant(true);
            return bus_.send(call.createReply(QVariant::fromValue(QDBusVariant(value))));
        }
        return false;
    }
    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.kde.StatusNotifierWatcher\">"
            "<method name=\"RegisterStatusNotifierItem\"><arg name=\"service\" type=\"s\" "
            "direction=\"in\"/></method>"
            "<property name=\"IsStatusNotifierHostRegistered\" type=\"b\" access=\"read\"/>"
            "<property name=\"ProtocolVersion\" type=\"i\" access=\"read\"/>"
            "<property name=\"RegisteredStatusNotifierItems\" type=\"as\" access=\"read\"/>"
            "</interface>");
    }

private:
    static inline const QString kService = QStringLiteral("org.kde.StatusNotifierWatcher");
    static inline const QString kPath = QStringLiteral("/StatusNotifierWatcher");
    bool registered_ = false;
    mutable std::mutex mutex_;
    std::vector<std::string> items_;
};

// A property of the item, as dbus-send prints it.
inline std::string trayItemProperty(const DesktopSession& s, const std::string& item,
                                    const std::string& name) {
    return s
        .run({"dbus-send", "--session", "--print-reply", "--dest=" + item, "/StatusNotifierItem",
              "org.freedesktop.DBus.Properties.Get", "string:org.kde.StatusNotifierItem",
              "string:" + name})
        .out;
}

// The object path of the item's menu, "" when it has none.
inline std::string trayMenuPath(const DesktopSession& s, const std::string& item) {
    std::smatch path;
    const std::string menu = trayItemProperty(s, item, "Menu");
    return std::regex_search(menu, path, std::regex("object path \"([^\"]*)\"")) ? path[1].str()
                                                                                 : "";
}

// The item's whole menu (ids, labels), as dbus-send prints it.
inline std::string trayMenuLayout(const DesktopSession& s, const std::string& item) {
    return s
        .run({"dbus-send", "--session", "--print-reply", "--dest=" + item, trayMenuPath(s, item),
              "com.canonical.dbusmenu.GetLayout", "int32:0", "int32:-1", "array:string:"})
        .out;
}

// Clicks the menu entry labelled `label`, as the host does when the user chooses it; false
// when there is none.
inline bool clickTrayMenuEntry(const DesktopSession& s, const std::string& item,
                               const std::string& label) {
    const std::string layout = trayMenuLayout(s, item);
    const auto at = layout.find("\"" + label + "\"");
    if (at == std::string::npos)
        return false;
    // Each entry is a struct whose id comes first: the last id before the label is its own.
    const std::string before = layout.substr(0, at);
    const std::regex id("int32 (-?\\d+)\\s+array \\[");
    std::string found;
    for (std::sregex_iterator it(before.begin(), before.end(), id), end; it != end; ++it)
        found = (*it)[1];
    return !found.empty() &&
           s.run({"dbus-send", "--session", "--print-reply", "--dest=" + item,
                  trayMenuPath(s, item), "com.canonical.dbusmenu.Event", "int32:" + found,
                  "string:clicked", "variant:int32:0", "uint32:0"})
                   .status == 0;
}

} // namespace murmelin::test
