#pragma once

#include "PasteChords.h"
#include "PortalRequests.h"
#include "ports/Desktop.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QDBusMessage;
class QDBusServiceWatcher;

namespace murmelin {

// The RemoteDesktop interface's version on the session bus's desktop portal; 0 when there is
// none. Waits at most a second (the call may start the portal).
unsigned portalRemoteDesktopVersion();
// The same for the Clipboard interface, which shares a RemoteDesktop session.
unsigned portalClipboardVersion();

// Where the portal's restore token is kept: beside the settings file.
std::string remoteDesktopTokenPath();

// A keyboard session of the desktop portal's RemoteDesktop interface: the sanctioned way to
// type into other applications where the compositor lets no client inject keys (KWin, mutter).
// Starting it may show the desktop's consent dialog; from version 2 on, the consent is kept
// as a restore token in a file, so the dialog comes once, not at each start. Main thread,
// with a QCoreApplication; nothing here blocks.
class PortalRemoteDesktop final : public QObject {
    Q_OBJECT

public:
    static constexpr int kAnswerTimeoutMs = 120000;
    // `version` as portalRemoteDesktopVersion() tells it; `tokenPath` is the restore token's
    // file. A handshake that is not answered within `answerTimeoutMs` (the user may be
    // looking at the dialog) is given up: untrusted, said once. When the file exists (consent
    // given before), the session starts at once. `wantClipboard` asks for the portal's
    // clipboard with the keyboard.
    PortalRemoteDesktop(unsigned version, std::string tokenPath,
                        int answerTimeoutMs = kAnswerTimeoutMs, bool wantClipboard = false);
    ~PortalRemoteDesktop() override;

    bool started() const { return !session_.isEmpty() && started_; }
    bool wantsClipboard() const { return wantClipboard_; }
    // Whether the running session holds the portal's clipboard too.
    bool clipboardEnabled() const { return started() && clipboard_; }
    // The running session's handle (empty when none runs).
    QString session() const { return started() ? session_ : QString(); }
    // Starts the session unless it runs; `answered` gets whether it runs now.
    void start(std::function<void(bool started)> answered);
    // Called when the session starts or ends without start() being asked: started from a kept
    // consent, closed by the desktop, portal gone.
    void setOnChange(std::function<void(bool started)> onChange) {
        onChange_ = std::move(onChange);
    }
    // One key event by X keysym; false when no session runs. Sent in call order.
    bool sendKeysym(int keysym, bool pressed);

private slots:
    void onClosed(const QDBusMessage& message);
    void onPortalGone();

private:
    // A RemoteDesktop method; a failed call ends the handshake untrusted.
    void request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                 PortalRequests::Answer then);
    void created(unsigned response, const QVariantMap& results);
    void selected(unsigned response, const QVariantMap& results);
    void begun(unsigned response, const QVariantMap& results);
    void finish(bool started, const std::string& why);
    void closeSession();
    void lose(const std::string& why);
    void say(const std::string& line);
    std::string readToken() const;
    void saveToken(const QString& token) const;

    QDBusConnection bus_;
    unsigned version_;
    std::string tokenPath_;
    bool wantClipboard_;
    PortalRequests requests_{bus_, QStringLiteral("murmelin_rd")};
    std::vector<std::function<void(bool)>> waiting_;
    std::function<void(bool)> onChange_;
    QString session_;
    bool started_ = false;
    bool clipboard_ = false;
    bool asking_ = false;
    bool unasked_ = false; // the start under way was made from a kept consent
    QTimer deadline_;
    QDBusServiceWatcher* watcher_;
    std::string said_;
};

// Paste chords as keysyms through the portal's session. `activeWindow` names the focused
// application's window (empty names when the desktop does not tell): the chord table chooses.
class PortalKeyInjector final : public KeyInjector {
public:
    PortalKeyInjector(PortalRemoteDesktop& portal, std::shared_ptr<const PasteChordTable> chords,
                      std::function<WindowClass()> activeWindow);
    PasteChord pasteChord() override;
    bool postPaste(PasteChord chord) override;

private:
    PortalRemoteDesktop& portal_;
    std::shared_ptr<const PasteChordTable> chords_;
    std::function<WindowClass()> activeWindow_;
};

// Trusted while the portal's session runs; asking starts it (with the desktop's dialog).
class PortalTrust final : public AccessibilityTrust {
public:
    explicit PortalTrust(PortalRemoteDesktop& portal);
    bool isTrusted() override;
    void requestTrust(std::function<void(bool trusted)> answered) override;
    void setOnChange(std::function<void(bool trusted)> onChange) override;

private:
    PortalRemoteDesktop& portal_;
};

} // namespace murmelin
