#include "KdeDesktop.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QKeySequence>
#include <QStringList>

#include <cstdio>

namespace murmelin {
namespace {

const QString kAccel = QStringLiteral("org.kde.kglobalaccel");
const QString kAccelPath = QStringLiteral("/kglobalaccel");
const QString kAccelInterface = QStringLiteral("org.kde.KGlobalAccel");
const QString kComponentInterface = QStringLiteral("org.kde.kglobalaccel.Component");
const QString kComponent = QStringLiteral("murmelin");
const QString kComponentPath = QStringLiteral("/component/murmelin");
constexpr uint kIsDefault = 0x1, kSetPresent = 0x2; // kglobalaccel's setShortcut flags

const QString kKWin = QStringLiteral("org.kde.KWin");
const QString kScripting = QStringLiteral("org.kde.kwin.Scripting");
const QString kScriptName = QStringLiteral("murmelin-active-window");
const QString kCallbackPath = QStringLiteral("/io/github/murmelin/Murmelin/ActiveWindow");

// KWin 6 renamed the active client to the active window; both are served.
const char* const kScript = R"(
function report(w) {
    callDBus("%1", "%2", "io.github.murmelin.ActiveWindow1", "Activated",
             w ? String(w.resourceClass) : "");
}
if (workspace.windowActivated) {
    workspace.windowActivated.connect(report);
    report(workspace.activeWindow);
} else {
    workspace.clientActivated.connect(report);
    report(workspace.activeClient);
}
)";

} // namespace

bool busHasName(const QString& name) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered(name).value();
}

int qtKeyCode(const std::string& trigger) {
    const QKeySequence keys =
        QKeySequence::fromString(QString::fromStdString(trigger), QKeySequence::PortableText);
    return keys.isEmpty() ? 0 : keys[0].toCombined();
}

KGlobalAccelHotKeys::KGlobalAccelHotKeys() : bus_(QDBusConnection::sessionBus()) {
    bus_.connect(kAccel, kComponentPath, kComponentInterface,
                 QStringLiteral("globalShortcutPressed"), this,
                 SLOT(onPressed(QString, QString, qlonglong)));
    bus_.connect(kAccel, kComponentPath, kComponentInterface,
                 QStringLiteral("globalShortcutReleased"), this,
                 SLOT(onReleased(QString, QString, qlonglong)));
}

KGlobalAccelHotKeys::~KGlobalAccelHotKeys() {
    bus_.disconnect(kAccel, kComponentPath, kComponentInterface,
                    QStringLiteral("globalShortcutPressed"), this,
                    SLOT(onPressed(QString, QString, qlonglong)));
    bus_.disconnect(kAccel, kComponentPath, kComponentInterface,
                    QStringLiteral("globalShortcutReleased"), this,
                    SLOT(onReleased(QString, QString, qlonglong)));
}

void KGlobalAccelHotKeys::bind(const Shortcut& shortcut, std::function<void(ShortcutEdge)> onEdge,
                               std::function<void(ShortcutBinding)> onResult) {
    shortcut_ = shortcut;
    onEdge_ = std::move(onEdge);
    edges_ = {};
    const QStringList id{kComponent, QString::fromStdString(shortcut.id),
                         QStringLiteral("Murmelin"), QString::fromStdString(shortcut.description)};
    const QList<int> keys{qtKeyCode(shortcut.preferredTrigger)};
    auto call = [&](const QString& method) {
        return QDBusMessage::createMethodCall(kAccel, kAccelPath, kAccelInterface, method) << id;
    };
    // One connection keeps the order: registered, default set, then the keys in force (the
    // user's own choice from the settings when there is one).
    bus_.send(call(QStringLiteral("doRegister")));
    bus_.send(call(QStringLiteral("setShortcut")) << QVariant::fromValue(keys) << kIsDefault);
    auto* watcher = new QDBusPendingCallWatcher(
        bus_.asyncCall(
            call(QStringLiteral("setShortcut")) << QVariant::fromValue(keys) << kSetPresent, 2000),
        this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this,
        [this, onResult = std::move(onResult)](QDBusPendingCallWatcher* watcher) {
            watcher->deleteLater();
            const QDBusPendingReply<QList<int>> reply = *watcher;
            ShortcutBinding binding{HotKeyRegistration::unavailable, shortcut_.preferredTrigger};
            if (reply.isError()) {
                std::fprintf(stderr, "murmelin: hot key: kglobalaccel refused the shortcut: %s\n",
                             qPrintable(reply.error().message()));
            } else if (const QList<int> given = reply.value();
                       given.isEmpty() || given.first() == 0) {
                binding.outcome = HotKeyRegistration::taken; // another component has it
            } else {
                binding = {HotKeyRegistration::bound,
                           QKeySequence(given.first()).toString().toStdString()};
            }
            if (onResult)
                onResult(binding);
        });
}

void KGlobalAccelHotKeys::onPressed(const QString& component, const QString& action, qlonglong) {
    if (component == kComponent && action.toStdString() == shortcut_.id && onEdge_)
        if (const auto edge = edges_.apply(ControlEdges::Command::press))
            onEdge_(*edge);
}

void KGlobalAccelHotKeys::onReleased(const QString& component, const QString& action, qlonglong) {
    if (component == kComponent && action.toStdString() == shortcut_.id && onEdge_)
        if (const auto edge = edges_.apply(ControlEdges::Command::release))
            onEdge_(*edge);
}

KWinActiveWindow::KWinActiveWindow() : bus_(QDBusConnection::sessionBus()) {
    if (!bus_.isConnected())
        return;
    kwin_ = bus_.interface()->serviceOwner(kKWin).value();
    if (kwin_.isEmpty())
        return;
    if (!bus_.registerObject(kCallbackPath, this, QDBusConnection::ExportScriptableSlots)) {
        std::fprintf(stderr, "murmelin: cannot take KWin's active-window reports: %s\n",
                     qPrintable(bus_.lastError().message()));
        return;
    }
    if (!script_.open() ||
        script_.write(
            QString::fromLatin1(kScript).arg(bus_.baseService(), kCallbackPath).toUtf8()) < 0 ||
        !script_.flush()) {
        std::fprintf(stderr, "murmelin: cannot write the KWin script: %s\n",
                     qPrintable(script_.errorString()));
        return;
    }
    auto scripting = [](const QString& method) {
        return QDBusMessage::createMethodCall(kKWin, QStringLiteral("/Scripting"), kScripting,
                                              method);
    };
    // A script left by an instance that crashed would keep the name taken.
    bus_.send(scripting(QStringLiteral("unloadScript")) << kScriptName);
    auto* watcher =
        new QDBusPendingCallWatcher(bus_.asyncCall(scripting(QStringLiteral("loadScript"))
                                                   << script_.fileName() << kScriptName),
                                    this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, scripting](QDBusPendingCallWatcher* watcher) {
                watcher->deleteLater();
                const QDBusPendingReply<int> reply = *watcher;
                if (reply.isError() || reply.value() < 0) {
                    std::fprintf(stderr,
                                 "murmelin: KWin did not load the active-window script (%s): "
                                 "every application gets Control+V, terminals too\n",
                                 reply.isError() ? qPrintable(reply.error().message()) : "-1");
                    return;
                }
                loaded_ = true;
                bus_.send(scripting(QStringLiteral("start")));
            });
}

KWinActiveWindow::~KWinActiveWindow() {
    if (loaded_)
        bus_.send(QDBusMessage::createMethodCall(kKWin, QStringLiteral("/Scripting"), kScripting,
                                                 QStringLiteral("unloadScript"))
                  << kScriptName);
    if (!kwin_.isEmpty())
        bus_.unregisterObject(kCallbackPath);
}

void KWinActiveWindow::Activated(const QString& resourceClass) {
    // Anyone on the bus can call: only KWin's word chooses the chord.
    if (calledFromDBus() && message().service() == kwin_)
        resourceClass_ = resourceClass.toStdString();
}

} // namespace murmelin
