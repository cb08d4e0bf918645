#include "PortalClipboard.h"

#include "ClipboardText.h"
#include "PortalRemoteDesktop.h"
#include "PortalRequests.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QStringList>

#include <unistd.h>

#include <cstdio>

namespace murmelin {
namespace {

const QString kClipboard = QStringLiteral("org.freedesktop.portal.Clipboard");

QDBusMessage clipboardCall(const QString& method, const QString& session) {
    return QDBusMessage::createMethodCall(kPortal, kPortalPath, kClipboard, method)
           << QVariant::fromValue(QDBusObjectPath(session));
}

bool isTextType(const QString& type) {
    for (const char* ours : clipboardTextTypes())
        if (type == QLatin1String(ours))
            return true;
    return false;
}

} // namespace

PortalClipboard::PortalClipboard(PortalRemoteDesktop& portal, Clipboard& fallback)
    : bus_(QDBusConnection::sessionBus()), portal_(portal), fallback_(fallback) {
    bus_.connect(kPortal, kPortalPath, kClipboard, QStringLiteral("SelectionTransfer"), this,
                 SLOT(onTransfer(QDBusMessage)));
    bus_.connect(kPortal, kPortalPath, kClipboard, QStringLiteral("SelectionOwnerChanged"), this,
                 SLOT(onOwnerChanged(QDBusMessage)));
}

PortalClipboard::~PortalClipboard() {
    bus_.disconnect(kPortal, kPortalPath, kClipboard, QStringLiteral("SelectionTransfer"), this,
                    SLOT(onTransfer(QDBusMessage)));
    bus_.disconnect(kPortal, kPortalPath, kClipboard, QStringLiteral("SelectionOwnerChanged"), this,
                    SLOT(onOwnerChanged(QDBusMessage)));
}

void PortalClipboard::setString(const std::string& text) {
    if (!portal_.clipboardEnabled()) {
        text_.reset();
        fallback_.setString(text);
        return;
    }
    text_ = std::make_shared<const std::string>(text);
    owner_ = portal_.session();
    QStringList types;
    for (const char* type : clipboardTextTypes())
        types << QLatin1String(type);
    QDBusMessage call = clipboardCall(QStringLiteral("SetSelection"), owner_);
    call << QVariantMap{{QStringLiteral("mime_types"), types}};
    // Sent before the paste chord on this same connection, so the portal owns the selection
    // by the time the chord arrives. Refused: the toolkit's clipboard gets the text instead,
    // late rather than never.
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, text = text_](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (!call->isError())
                    return;
                say("the desktop portal did not take the clipboard (" +
                    call->error().message().toStdString() + "); using the toolkit's");
                if (text_ == text)
                    text_.reset();
                fallback_.setString(*text);
            });
}

void PortalClipboard::setPrimarySelection(const std::string& text) {
    fallback_.setPrimarySelection(text);
}

void PortalClipboard::onTransfer(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    const QString session = portalObjectPath(args.value(0));
    const unsigned serial = args.value(2).toUInt();
    if (session != owner_ || session.isEmpty())
        return; // another program's session
    if (!text_ || !isTextType(args.value(1).toString())) {
        done(session, serial, false);
        return;
    }
    write(session, serial);
}

void PortalClipboard::write(const QString& session, unsigned serial) {
    QDBusMessage call = clipboardCall(QStringLiteral("SelectionWrite"), session);
    call << serial;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, session, serial, text = text_](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
                const int fd = reply.isValid() && reply.value().isValid()
                                   ? ::dup(reply.value().fileDescriptor())
                                   : -1;
                if (fd < 0) {
                    say("the desktop portal gave no file to write the clipboard to" +
                        (reply.isError() ? " (" + reply.error().message().toStdString() + ")"
                                         : std::string()));
                    done(session, serial, false);
                    return;
                }
                // Told from the writer's thread when it has finished: the bus connection may
                // be used from any thread, and the transfer must not end before the text has.
                writeAndClose(fd, text, [bus = bus_, session, serial](bool complete) mutable {
                    QDBusMessage finished =
                        clipboardCall(QStringLiteral("SelectionWriteDone"), session);
                    finished << serial << complete;
                    bus.send(finished);
                });
            });
}

void PortalClipboard::done(const QString& session, unsigned serial, bool success) {
    QDBusMessage call = clipboardCall(QStringLiteral("SelectionWriteDone"), session);
    call << serial << success;
    bus_.send(call);
}

void PortalClipboard::onOwnerChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (portalObjectPath(args.value(0)) != owner_)
        return;
    const QVariantMap options = qdbus_cast<QVariantMap>(args.value(1));
    // Another program's copy replaced ours: there is nothing of ours left to serve.
    if (!options.value(QStringLiteral("session_is_owner")).toBool())
        text_.reset();
}

void PortalClipboard::say(const std::string& line) {
    if (line == said_)
        return;
    std::fprintf(stderr, "murmelin: clipboard: %s\n", line.c_str());
    said_ = line;
}

} // namespace murmelin
