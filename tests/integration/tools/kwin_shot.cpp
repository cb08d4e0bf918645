// kwin_shot OUT.png [X,Y,W,H]: the KWin workspace (or an area of it) as a PNG, through KWin's
// ScreenShot2 interface (KWin has no screencopy protocol). KWin answers only callers that a
// desktop entry grants by their executable (X-KDE-DBUS-Restricted-Interfaces), so this must be
// a binary of its own: scripts/session.sh writes that entry for it before KWin starts.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QImage>
#include <QVariantMap>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int x = 0, y = 0, width = 0, height = 0;
    if (argc < 2 ||
        (argc > 2 && std::sscanf(argv[2], "%d,%d,%d,%d", &x, &y, &width, &height) != 4)) {
        std::fprintf(stderr, "usage: kwin_shot OUT.png [X,Y,W,H]\n");
        return 2;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "kwin_shot: pipe2: %s\n", std::strerror(errno));
        return 1;
    }
    const bool area = argc > 2;
    QDBusMessage reply;
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/org/kde/KWin/ScreenShot2"),
            QStringLiteral("org.kde.KWin.ScreenShot2"),
            area ? QStringLiteral("CaptureArea") : QStringLiteral("CaptureWorkspace"));
        if (area)
            call << x << y << uint(width) << uint(height);
        call << QVariantMap{{QStringLiteral("include-cursor"), false}}
             << QVariant::fromValue(QDBusUnixFileDescriptor(fds[1]));
        close(fds[1]); // the message holds a copy, gone with it: then only KWin can write
        reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    }
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        std::fprintf(stderr, "kwin_shot: %s: %s\n", qPrintable(reply.errorName()),
                     qPrintable(reply.errorMessage()));
        return 1;
    }
    // KWin writes the raw image after its answer: ARGB32 rows of `stride` bytes.
    QByteArray data;
    char buffer[1 << 16];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "kwin_shot: reading the image: %s\n", std::strerror(errno));
            return 1;
        }
        data.append(buffer, n);
    }
    const QVariantMap meta = qdbus_cast<QVariantMap>(reply.arguments().first());
    const int w = meta.value(QStringLiteral("width")).toInt(),
              h = meta.value(QStringLiteral("height")).toInt(),
              stride = meta.value(QStringLiteral("stride")).toInt();
    const auto format = QImage::Format(meta.value(QStringLiteral("format")).toInt());
    if (w <= 0 || h <= 0 || data.size() < qsizetype(stride) * h) {
        std::fprintf(stderr, "kwin_shot: %lld bytes for a %dx%d image\n",
                     static_cast<long long>(data.size()), w, h);
        return 1;
    }
    const QImage image(reinterpret_cast<const uchar*>(data.constData()), w, h, stride, format);
    if (!image.save(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "kwin_shot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
