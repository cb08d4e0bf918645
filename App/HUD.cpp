#include "HUD.h"

#include <algorithm>
#include <cmath>

namespace murmelin {

double HUDView::fillWidth(double level) {
    if (std::isnan(level))
        return minimumFill;
    return std::clamp(trackSize.width * level, minimumFill, trackSize.width);
}

HUDView::Layout HUDView::layout(Size icon, Size label) {
    const double inner = panelSize.width - 2 * horizontalInset;
    const double row = icon.width + spacing + trackSize.width + spacing + label.width;
    // A row wider than the panel starts at the inset and lets the label run out on the right.
    double x = horizontalInset + std::max(0.0, (inner - row) / 2);
    auto centred = [&](Size s) {
        Rect r{x, (panelSize.height - s.height) / 2, s.width, s.height};
        x += s.width + spacing;
        return r;
    };
    Layout result;
    result.icon = centred(icon);
    result.track = centred(trackSize);
    result.label = centred(label);
    return result;
}

PanelPlacement panelPlacement(const ScreenInfo& screens) {
    PanelPlacement placement{std::nullopt, kPanelBottomMargin};
    const std::optional<Point> mouse = screens.mouseLocation();
    if (!mouse)
        return placement;
    std::optional<Screen> chosen;
    for (const Screen& screen : screens.screens()) {
        if (screen.frame.contains(*mouse)) {
            chosen = screen;
            break;
        }
    }
    if (!chosen)
        chosen = screens.mainScreen();
    if (!chosen)
        return placement;
    placement.origin = panelOriginOn(chosen->visibleFrame);
    return placement;
}

Point panelOriginOn(const Rect& visible) {
    // y points down here, so "80 above the bottom" counts up from maxY by the panel's height.
    return Point{visible.midX() - HUDView::panelSize.width / 2,
                 visible.maxY() - kPanelBottomMargin - HUDView::panelSize.height};
}

void HUD::show() {
    if (!panel_)
        panel_ = factory_.makePanel(model_, HUDView::panelSize);
    panel_->place(panelPlacement(screens_));
    model_.level = 0.0;
    model_.label = kListeningLabel;
    panel_->orderFrontRegardless();
}

} // namespace murmelin
