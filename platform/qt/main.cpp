// Murmelin: push-to-talk dictation in the system tray. This is the composition root: it
// makes the Linux adapters, hands them to the program's own units and runs the Qt loop.
#include "App/App.h"
#include "App/Controller.h"
#include "App/HUD.h"
#include "App/HotKey.h"
#include "App/Recorder.h"
#include "platform/core/MainQueue.h"
#include "platform/linux/audio/PulseAudioInput.h"
#include "platform/linux/speech/LocalAuthorization.h"
#include "platform/linux/speech/SphinxRecognizerFactory.h"
#include "platform/linux/store/JsonDefaultsStore.h"
#include "platform/linux/store/PosixLocaleInfo.h"
#include "platform/linux/x11/X11AccessibilityTrust.h"
#include "platform/linux/x11/X11HotKeySource.h"
#include "platform/linux/x11/X11KeyInjector.h"
#include "platform/qt/DBusNotifier.h"
#include "platform/qt/ProcessScriptRunner.h"
#include "platform/qt/QtDesktopServices.h"
#include "platform/qt/QtPanel.h"
#include "platform/qt/QtQueuePump.h"
#include "platform/qt/QtScreenInfo.h"
#include "platform/qt/QtSettingsOpener.h"
#include "platform/qt/QtStatusItemHost.h"
#include "platform/qt/VerboseTrace.h"

#include <QApplication>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>

using namespace murmelin;

namespace {

int run(QApplication& app) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr,
                     "murmelin: running on \"%s\", not X11: the hot key, the paste and the "
                     "panel placement need an X11 (or Xwayland) session\n",
                     qPrintable(QGuiApplication::platformName()));
    }
    SteadyClock clock;
    MainQueue main(clock);
    QtQueuePump pump(main);
    const QString executableDir = QCoreApplication::applicationDirPath();

    JsonDefaultsStore defaults;
    PosixLocaleInfo localeInfo;
    PulseAudioInput audio;
    LocalAuthorization authorization([&audio] { return audio.accessRefused(); });
    SphinxRecognizerFactory recognizers;
    X11HotKeySource hotKeySource;
    X11KeyInjector keys;
    // A paste due while the hot key is held again waits for its release (see X11HotKeySource).
    keys.setDeferral([&](std::function<void()> retry) {
        return hotKeySource.deferUntilReleased([&main, retry] { main.async(retry); });
    });
    X11AccessibilityTrust trust;

    QtScreenInfo screens;
    QtPanelFactory panels;
    QtClipboard clipboard;
    DBusNotifier notifier;
    ProcessScriptRunner runner(executableDir);
    DesktopAppIdentity identity(executableDir);
    QtSettingsOpener settings;
    QtIdentifierSource ids;
    QtTranslator translator;
    QtStatusItemHost host;
    // MURMELIN_VERBOSE=1: one stderr line per dictation (for the demo and the benchmarks).
    VerboseTrace trace(recognizers, clipboard);

    auto recorder = Recorder::make({authorization, trace.recognizers(), audio, main});
    HotKey::configureShared(hotKeySource, main);
    auto hud = std::make_shared<HUD>(screens, panels);
    Controller::setSharedFactory([&] {
        return Controller::make({defaults, trace.recognizers(), localeInfo, trust, recorder, hud,
                                 HotKey::shared(), trace.clipboard(), keys, notifier, runner,
                                 identity, settings, ids, main});
    });

    MurmelinApp murmelin({Controller::shared(), host, clipboard, translator, main});
    if (!host.show()) {
        // Qt docks the icon as soon as a tray appears; dictation works without it.
        std::fprintf(stderr, "murmelin: no system tray available yet; the icon appears when "
                             "one starts (GNOME needs its AppIndicator extension)\n");
    }
    murmelin.delegate().applicationDidFinishLaunching();
    const int status = app.exec();
    defaults.flush(); // the last history write may still be on its way to the disk
    // The shared controller and hot key refer to everything above and threads still run in
    // the adapters: end the process here rather than tear them down in some order.
    std::fflush(nullptr);
    std::_Exit(status);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Murmelin"));
    QGuiApplication::setDesktopFileName(QLatin1String(kDesktopEntryName));
    // A tray program: closing the panel or a dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        return run(app);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "murmelin: cannot start: %s\n", e.what());
        return 1;
    }
}
