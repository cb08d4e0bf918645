#include "ControlHotKeySource.h"
#include "BusNames.h"

#include <QDBusConnection>
#include <QDBusError>

#include <cstdio>
#include <string>
#include <utility>

namespace murmelin {

ControlHotKeySource::ControlHotKeySource()
    : object_([this](ControlEdges::Command c) { command(c); }) {}

ControlHotKeySource::~ControlHotKeySource() {
    if (exported_)
        QDBusConnection::sessionBus().unregisterObject(QLatin1String(kControlPath));
}

void ControlHotKeySource::bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
                               std::function<void(ShortcutBinding)> onResult) {
    onEdge_ = std::move(onEdge);
    if (!exported_) {
        // The connection that owns the program's name, so the commands find us by it.
        QDBusConnection bus = QDBusConnection::sessionBus();
        std::string problem;
        if (!bus.isConnected())
            problem = "no session bus (" + bus.lastError().message().toStdString() + ")";
        else if (!bus.registerObject(QLatin1String(kControlPath), &object_,
                                     QDBusConnection::ExportScriptableSlots))
            problem = std::string("another object of this process holds ") + kControlPath;
        else
            exported_ = true;
        if (!exported_ && !std::exchange(reported_, true))
            std::fprintf(stderr, "murmelin: `murmelin press` cannot reach this instance: %s\n",
                         problem.c_str());
    }
    if (onResult)
        onResult({exported_ ? HotKeyRegistration::bound : HotKeyRegistration::unavailable,
                  shortcut.preferredTrigger});
}

void ControlHotKeySource::command(ControlEdges::Command command) {
    const auto edge = edges_.apply(command);
    if (edge && onEdge_)
        onEdge_(*edge);
}

} // namespace murmelin
