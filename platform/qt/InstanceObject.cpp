#include "InstanceObject.h"
#include "BusNames.h"

#include <QDBusConnection>
#include <QMetaObject>

#include <utility>

namespace murmelin {

InstanceObject::InstanceObject(std::function<void()> onQuit) : onQuit_(std::move(onQuit)) {}

InstanceObject::~InstanceObject() {
    if (exported_)
        QDBusConnection::sessionBus().unregisterObject(QLatin1String(kInstancePath));
}

bool InstanceObject::exportOnSessionBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    exported_ = exported_ ||
                (bus.isConnected() && bus.registerObject(QLatin1String(kInstancePath), this,
                                                         QDBusConnection::ExportScriptableSlots));
    return exported_;
}

void InstanceObject::Quit() {
    QMetaObject::invokeMethod(
        this, [this] { onQuit_(); }, Qt::QueuedConnection);
}

} // namespace murmelin
