// Murmelin: push-to-talk dictation in the system tray. This is the composition root: it
// makes the Linux adapters, hands them to the program's own units and runs the Qt loop.
#include "App.h"
#include "Controller.h"
#include "DBusNotifier.h"
#include "HUD.h"
#include "HotKey.h"
#include "InstanceObject.h"
#include "JsonDefaultsStore.h"
#include "LocalAuthorization.h"
#include "MainQueue.h"
#include "PosixLocaleInfo.h"
#include "ProcessScriptRunner.h"
#include "PulseAudioInput.h"
#include "QtDesktopServices.h"
#include "QtPanel.h"
#include "QtQueuePump.h"
#include "QtScreenInfo.h"
#include "QtSettingsOpener.h"
#include "QtStatusItemHost.h"
#include "Recorder.h"
#include "SessionBackend.h"
#include "SingleInstance.h"
#include "SphinxRecognizerFactory.h"
#include "VerboseTrace.h"
#include "WaylandPanel.h"
#include "XdgAutostart.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Last: Xlib's macros (None, Bool, Status) clash with names in the headers above.
#include <X11/Xlib.h>

using namespace murmelin;

namespace {

constexpr const char* kAlreadyRunning = "Murmelin is already running.";

// Runs Qt's loop, which pumps the main queue too, until done() holds or `ms` have passed. The
// desktop's answers (portal, kglobalaccel) are D-Bus replies, which only Qt's loop reads.
void runQtUntil(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QTimer check;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || waited.elapsed() >= ms)
            loop.quit();
    });
    check.start(5);
    if (!done())
        loop.exec();
}

// Qt ends the process with exit(1) when its X connection breaks, with a line of its own. Say
// what it means for Murmelin and end at once: the static destructors that exit() runs would
// meet a dead display and threads still at work.
void endIfTheDisplayIsGone() {
    Display* display = XOpenDisplay(nullptr);
    if (display) {
        XCloseDisplay(display);
        return;
    }
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr,
                 "murmelin: lost the connection to the X display %s (the X server ended); "
                 "quitting\n",
                 name ? name : "");
    std::fflush(nullptr);
    std::_Exit(1);
}

// A second start in the same session tells the user and leaves the first one alone.
void tellAlreadyRunning() {
    std::fprintf(stderr, "murmelin: %s\n", kAlreadyRunning);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    const QString body = QString::fromLatin1(kAlreadyRunning);
    if (const auto capabilities = notificationCapabilities(bus))
        postDesktopNotification(bus, QStringLiteral("Murmelin"),
                                notificationBody(body, *capabilities));
}

int run(QApplication& app) {
    SingleInstance instance;
    if (instance.alreadyRunning()) {
        tellAlreadyRunning();
        return 0;
    }
    if (!instance.problem().empty())
        std::fprintf(stderr, "murmelin: cannot tell whether Murmelin already runs: %s\n",
                     instance.problem().c_str());
    std::string problem;
    const auto session = chooseSession([](const char* name) { return std::getenv(name); }, problem);
    if (!session) {
        std::fprintf(stderr, "murmelin: cannot start: %s\n", problem.c_str());
        return 2;
    }
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        std::atexit(endIfTheDisplayIsGone); // only exit() runs it; main() ends with _Exit
    } else if (*session == SessionKind::x11) {
        std::fprintf(stderr,
                     "murmelin: running on \"%s\", not X11: the hot key, the paste and the "
                     "panel placement need an X11 (or Xwayland) session\n",
                     qPrintable(QGuiApplication::platformName()));
    }
    // Everything below is made in dependency order and goes in reverse order when run()
    // returns: the adapters' threads (key, sound server, model loader) stop before the
    // QApplication goes.
    SteadyClock clock;
    MainQueue main(clock);
    QtQueuePump pump(main);
    // Where murmelin-notify and the desktop entry are found: installed, this program lives in
    // <prefix>/libexec/murmelin and they live with the `murmelin` command in <prefix>/bin,
    // wherever the prefix was moved.
    QString executableDir = QCoreApplication::applicationDirPath();
    if (executableDir.endsWith(QLatin1String("/libexec/murmelin")))
        executableDir = QDir::cleanPath(executableDir + QLatin1String("/../../bin"));

    JsonDefaultsStore defaults;
    PosixLocaleInfo localeInfo;
    PulseAudioInput audio;
    LocalAuthorization authorization([&audio] { return audio.accessRefused(); });
    SphinxRecognizerFactory recognizers;
    QtClipboard qtClipboard; // before the backend, whose clipboard may fall back on it
    const std::unique_ptr<SessionBackend> desktop = makeSessionBackend(*session, main, defaults);

    QtScreenInfo screens;
    // The session's own clipboard and panels where it has them (Wayland: they work without
    // focus), else Qt's.
    QtPanelFactory qtPanels;
    const auto layerPanels = desktop->layerShell()
                                 ? std::make_unique<WaylandPanelFactory>(*desktop->layerShell())
                                 : nullptr;
    PanelFactory& panels = layerPanels ? static_cast<PanelFactory&>(*layerPanels) : qtPanels;
    Clipboard& clipboard = desktop->clipboard(qtClipboard);
    DBusNotifier notifier;
    ProcessScriptRunner runner(executableDir);
    DesktopAppIdentity identity(executableDir);
    QtSettingsOpener settings;
    QtIdentifierSource ids;
    QtTranslator translator;
    QtStatusItemHost host;
    // MURMELIN_VERBOSE=1: one JSON line per event on stderr (for the tests, demo and benchmarks).
    VerboseTrace trace(recognizers, clipboard, desktop->keys());

    const auto recorder = Recorder::make({authorization, trace.recognizers(), audio, main});
    HotKey hotKey(desktop->hotKeys(), main);
    const auto hud = std::make_shared<HUD>(screens, panels);
    const auto controller = Controller::make(
        {defaults, trace.recognizers(), localeInfo, desktop->trust(), recorder, hud, hotKey,
         trace.clipboard(), trace.keys(), notifier, runner, identity, settings, ids, main});

    XdgAutostart login;
    MurmelinApp murmelin({*controller, host, clipboard, translator, main, &login});
    murmelin.delegate().applicationDidFinishLaunching();
    // The icon tells the user that the key works, so it shows only once it does: start() has
    // grabbed the key (a press from now on waits in the X queue, it is not lost), the desktop's
    // answer has come back (a second at most: a portal's dialog is not waited for) and the
    // model the first dictation needs, loading in the background since the factory was made,
    // is there (else that press would wait for it and lose its first words).
    runQtUntil([&] { return controller->hotKeyRegistration != HotKeyRegistration::pending; }, 1000);
    recognizers.loadError(resolveLocale(controller->localeID, controller->locales()));
    trace.ready(controller->hotKeyRegistration == HotKeyRegistration::bound);
    // `murmelin quit` ends it as the menu's Quit does, on every desktop.
    InstanceObject instanceObject([&host] { host.terminate(); });
    instanceObject.exportOnSessionBus();
    if (!host.show()) {
        // Qt docks the icon as soon as a tray appears; dictation works without it.
        std::fprintf(stderr,
                     "murmelin: no system tray available yet; the icon appears when one starts "
                     "(a StatusNotifierItem host such as waybar's tray; GNOME needs its "
                     "AppIndicator extension). Dictation%s and notifications work without it\n",
                     *session == SessionKind::wayland ? ", the key commands" : "");
    }
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    // Our own platform choice comes as Qt's -platform argument, which wins over a
    // QT_QPA_PLATFORM set for every application of the session (often "wayland", so that Qt
    // programs run natively): that preference must not cost this program its clipboard and
    // panel. Children keep the session's variable.
    std::vector<char*> args(argv, argv + argc);
    const QtPlatformChoice platform =
        chooseQtPlatform([](const char* name) { return std::getenv(name); });
    char platformOption[] = "-platform";
    std::string platformName = platform.platform;
    if (!platformName.empty()) {
        std::fprintf(stderr, "murmelin: %s\n", platform.why.c_str());
        args.insert(args.begin() + 1, {platformOption, platformName.data()});
    }
    int qtArgc = static_cast<int>(args.size());
    args.push_back(nullptr);
    int status = 0;
    {
        QApplication app(qtArgc, args.data());
        QApplication::setApplicationName(QStringLiteral("Murmelin"));
        QGuiApplication::setDesktopFileName(QLatin1String(kDesktopEntryName));
        // A tray program: closing the panel or a dialog must not end it.
        QApplication::setQuitOnLastWindowClosed(false);
        try {
            status = run(app);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "murmelin: cannot start: %s\n", e.what());
            status = 1;
        }
    } // QApplication's end hands the clipboard we own to a running clipboard manager.
    // Everything of ours is gone. A normal end skips the lost-display handler, which is for
    // Qt's exit(1) alone, and the libraries' static destructors.
    std::fflush(nullptr);
    std::_Exit(status);
}
