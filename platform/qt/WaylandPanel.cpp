#include "WaylandPanel.h"

#include <cmath>

namespace murmelin {

namespace {

// About 30 frames a second: the level bar's animation looks smooth, and an unchanged frame
// costs one small render and a compare.
constexpr int kFrameMilliseconds = 30;

} // namespace

WaylandPanelWindow::WaylandPanelWindow(WaylandConnection& connection, LevelModel& model, Size size)
    : widget_(model, QSize(int(std::lround(size.width)), int(std::lround(size.height))),
              /*translucent=*/true), // a Wayland compositor always blends
      layer_(connection), image_(widget_.size(), QImage::Format_ARGB32_Premultiplied) {
    frames_.setInterval(kFrameMilliseconds);
    QObject::connect(&frames_, &QTimer::timeout, [this] { pushFrame(); });
}

void WaylandPanelWindow::place(const PanelPlacement& placement) {
    layer_.setBottomMargin(int(std::lround(placement.bottomMargin)));
}

void WaylandPanelWindow::orderFrontRegardless() {
    sent_ = QImage();
    pushFrame();
    frames_.start();
}

void WaylandPanelWindow::orderOut() {
    frames_.stop();
    layer_.hide();
}

void WaylandPanelWindow::pushFrame() {
    image_.fill(Qt::transparent);
    widget_.render(&image_, QPoint(), QRegion(), QWidget::DrawChildren);
    if (image_ == sent_)
        return;
    sent_ = image_.copy();
    layer_.show(reinterpret_cast<const uint32_t*>(image_.constBits()), image_.width(),
                image_.height(), int(image_.bytesPerLine()));
}

std::unique_ptr<PanelWindow> WaylandPanelFactory::makePanel(LevelModel& model, Size size) {
    return std::make_unique<WaylandPanelWindow>(connection_, model, size);
}

} // namespace murmelin
