#pragma once

#include "ports/Desktop.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>
#include <string>

class QDBusMessage;

namespace murmelin {

class PortalRemoteDesktop;

// The clipboard through the desktop portal's Clipboard interface, which rides on the
// RemoteDesktop session: where the compositor lets no client set the clipboard without focus
// (mutter), the portal does it for the session that holds the consent. While no such session
// runs, or the portal gave it no clipboard, `fallback` serves. Main thread.
class PortalClipboard final : public QObject, public Clipboard {
    Q_OBJECT

public:
    PortalClipboard(PortalRemoteDesktop& portal, Clipboard& fallback);
    ~PortalClipboard() override;

    void setString(const std::string& text) override;
    // The portal knows no primary selection.
    void setPrimarySelection(const std::string& text) override;

private slots:
    // A reader wants our text in `mime_type`: SelectionWrite gives the file to write it to.
    void onTransfer(const QDBusMessage& message);
    void onOwnerChanged(const QDBusMessage& message);

private:
    void write(const QString& session, unsigned serial);
    void done(const QString& session, unsigned serial, bool success);
    void say(const std::string& line);

    QDBusConnection bus_;
    PortalRemoteDesktop& portal_;
    Clipboard& fallback_;
    std::shared_ptr<const std::string> text_; // what the portal offers for us
    QString owner_;                           // the session that offered it
    std::string said_;
};

} // namespace murmelin
