#include "QtScreenInfo.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

namespace murmelin {

namespace {

Rect toRect(const QRect& r) {
    return Rect{double(r.x()), double(r.y()), double(r.width()), double(r.height())};
}

Screen toScreen(const QScreen& s) {
    return Screen{toRect(s.geometry()), toRect(s.availableGeometry())};
}

} // namespace

std::vector<Screen> QtScreenInfo::screens() const {
    std::vector<Screen> result;
    for (const QScreen* screen : QGuiApplication::screens())
        result.push_back(toScreen(*screen));
    return result;
}

std::optional<Screen> QtScreenInfo::mainScreen() const {
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        return toScreen(*primary);
    return std::nullopt;
}

std::optional<Point> QtScreenInfo::mouseLocation() const {
    // Wayland tells no client where the pointer is; Qt would answer a stale or made-up place.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return std::nullopt;
    const QPoint p = QCursor::pos();
    return Point{double(p.x()), double(p.y())};
}

} // namespace murmelin
