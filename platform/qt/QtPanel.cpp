#include "QtPanel.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QScreen>

#include <X11/Xlib.h>

#include <cmath>

namespace murmelin {

namespace {

const QColor kBackdrop(28, 28, 30, 215);
const QColor kOpaqueBackdrop(28, 28, 30);
const QColor kPrimary(255, 255, 255);
const QColor kRed(255, 59, 48);
const QColor kAccent(10, 132, 255);
constexpr QSizeF kIconSize(12, 18);

QRectF toQt(const Rect& r) {
    return QRectF(r.x, r.y, r.width, r.height);
}

QFont labelFont() {
    QFont font;
    // Pixels, like every other measure of the panel: a point size grows with the screen's
    // DPI and pushed "Transcribing…" into the right inset.
    font.setPixelSize(static_cast<int>(HUDView::labelPointSize));
    font.setWeight(QFont::Medium);
    return font;
}

QPainterPath capsule(const QRectF& r) {
    QPainterPath path;
    const double radius = std::min(r.width(), r.height()) / 2;
    path.addRoundedRect(r, radius, radius);
    return path;
}

// A microphone: capsule head, cradle arc, stem and foot.
void drawMicrophone(QPainter& p, const QRectF& box) {
    const double w = box.width(), h = box.height();
    p.setPen(Qt::NoPen);
    p.setBrush(kRed);
    p.drawPath(capsule(QRectF(box.x() + w * 0.25, box.y(), w * 0.5, h * 0.62)));
    QPen pen(kRed, 1.6);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QRectF cradle(box.x() + w * 0.05, box.y() + h * 0.22, w * 0.9, h * 0.55);
    p.drawArc(cradle, 180 * 16, 180 * 16);
    const double cx = box.center().x();
    p.drawLine(QPointF(cx, cradle.bottom()), QPointF(cx, box.bottom() - 1));
    p.drawLine(QPointF(cx - w * 0.3, box.bottom() - 1), QPointF(cx + w * 0.3, box.bottom() - 1));
}

} // namespace

bool compositorRunning() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->display())
        return false;
    Display* display = x11->display();
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display));
    Atom selection = XInternAtom(display, name.constData(), False);
    return XGetSelectionOwner(display, selection) != None;
}

HUDWidget::HUDWidget(LevelModel& model, QSize size, bool translucent)
    : model_(model), translucent_(translucent) {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput |
                   Qt::X11BypassWindowManagerHint);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(size);
    if (translucent_) {
        setAttribute(Qt::WA_TranslucentBackground);
    } else {
        // Without a compositor nothing blends: cut the corners off instead.
        const QPainterPath shape = [&] {
            QPainterPath path;
            path.addRoundedRect(QRectF(rect()), HUDView::cornerRadius, HUDView::cornerRadius);
            return path;
        }();
        setMask(QRegion(shape.toFillPolygon().toPolygon()));
    }
    setWindowTitle(QStringLiteral("Murmelin"));
    animation_.setDuration(static_cast<int>(HUDView::fillAnimationSeconds * 1000));
    animation_.setEasingCurve(QEasingCurve::Linear);
    connect(&animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        shownFill_ = value.toDouble();
        update();
    });
    shownFill_ = HUDView::fillWidth(model_.level);
    // The announcement comes before the store: read the model once the assignment is done.
    subscription_ = model_.objectWillChange.subscribe([this] {
        if (changePending_)
            return;
        changePending_ = true;
        QMetaObject::invokeMethod(this, &HUDWidget::modelChanged, Qt::QueuedConnection);
    });
}

void HUDWidget::modelChanged() {
    changePending_ = false;
    const double target = HUDView::fillWidth(model_.level);
    const double current = animation_.state() == QAbstractAnimation::Running
                               ? animation_.currentValue().toDouble()
                               : shownFill_;
    animation_.stop();
    if (target != current) {
        animation_.setStartValue(current);
        animation_.setEndValue(target);
        animation_.start();
    }
    update();
}

HUDView::Layout HUDWidget::layout() const {
    const QFontMetricsF metrics(labelFont());
    const QString text = QString::fromStdString(model_.label);
    return HUDView::layout({kIconSize.width(), kIconSize.height()},
                           {metrics.horizontalAdvance(text), metrics.height()});
}

QRectF HUDWidget::trackRect() const {
    return toQt(layout().track);
}

void HUDWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setPen(Qt::NoPen);
    p.setBrush(translucent_ ? kBackdrop : kOpaqueBackdrop);
    p.drawRoundedRect(QRectF(rect()), HUDView::cornerRadius, HUDView::cornerRadius);

    const HUDView::Layout l = layout();
    drawMicrophone(p, toQt(l.icon));
    QColor track = kPrimary;
    track.setAlphaF(0.15);
    p.setPen(Qt::NoPen);
    p.setBrush(track);
    const QRectF trackRect = toQt(l.track);
    p.drawPath(capsule(trackRect));
    p.setBrush(kAccent);
    p.drawPath(capsule(QRectF(trackRect.topLeft(), QSizeF(shownFill_, trackRect.height()))));

    p.setPen(kPrimary);
    p.setFont(labelFont());
    p.drawText(toQt(l.label), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               QString::fromStdString(model_.label));
}

void QtPanelWindow::place(const PanelPlacement& placement) {
    std::optional<Point> origin = placement.origin;
    // The desktop keeps the focused screen to itself; the primary one is Qt's best guess.
    if (const QScreen* screen = QGuiApplication::primaryScreen(); !origin && screen) {
        const QRect visible = screen->availableGeometry();
        origin = panelOriginOn(Rect{double(visible.x()), double(visible.y()),
                                    double(visible.width()), double(visible.height())});
    }
    if (origin)
        widget_.move(static_cast<int>(std::lround(origin->x)),
                     static_cast<int>(std::lround(origin->y)));
}

void QtPanelWindow::orderFrontRegardless() {
    widget_.show();
    widget_.raise();
}

void QtPanelWindow::orderOut() {
    widget_.hide();
}

std::unique_ptr<PanelWindow> QtPanelFactory::makePanel(LevelModel& model, Size size) {
    return std::make_unique<QtPanelWindow>(model, size);
}

} // namespace murmelin
