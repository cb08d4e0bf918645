#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

namespace murmelin {

// One entry of the GlobalShortcuts portal's shortcut lists, D-Bus type (sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties; // "description", "preferred_trigger"; answers: "trigger_description"
};
using PortalShortcuts = QList<PortalShortcut>;

inline QDBusArgument& operator<<(QDBusArgument& out, const PortalShortcut& shortcut) {
    out.beginStructure();
    out << shortcut.id << shortcut.properties;
    out.endStructure();
    return out;
}

inline const QDBusArgument& operator>>(const QDBusArgument& in, PortalShortcut& shortcut) {
    in.beginStructure();
    in >> shortcut.id >> shortcut.properties;
    in.endStructure();
    return in;
}

// Makes the list type known to QtDBus; once per process is enough, more is harmless.
void registerPortalTypes();

} // namespace murmelin

Q_DECLARE_METATYPE(murmelin::PortalShortcut)
