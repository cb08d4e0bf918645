#pragma once

#include "HUD.h"
#include "ports/Screens.h"

#include <QVariantAnimation>
#include <QWidget>

namespace murmelin {

// Whether a compositing manager runs on the display, so translucent windows blend.
bool compositorRunning();

// The panel's painted content: backdrop, red microphone, level bar and label, drawn from
// the model. Redraws only on the model's announcements; the bar animates only while its
// width changes.
class HUDWidget final : public QWidget {
    Q_OBJECT
public:
    // `translucent`: the backdrop may be see-through, as where a compositor blends it.
    HUDWidget(LevelModel& model, QSize size, bool translucent = compositorRunning());

    // Whether the backdrop is see-through (a compositor ran when the panel was made).
    bool translucent() const { return translucent_; }
    // The fill's width as currently drawn.
    double shownFill() const { return shownFill_; }
    QRectF trackRect() const;
    // Whether the fill is still moving towards the level.
    bool animating() const { return animation_.state() == QAbstractAnimation::Running; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void modelChanged();
    HUDView::Layout layout() const;

    LevelModel& model_;
    Subscription subscription_;
    bool changePending_ = false;
    bool translucent_ = false;
    double shownFill_ = HUDView::minimumFill;
    QVariantAnimation animation_;
};

class QtPanelWindow final : public PanelWindow {
public:
    QtPanelWindow(LevelModel& model, Size size) : widget_(model, QSize(size.width, size.height)) {}
    void place(const PanelPlacement& placement) override;
    void orderFrontRegardless() override;
    void orderOut() override;
    HUDWidget& widget() { return widget_; }

private:
    HUDWidget widget_;
};

// Makes floating panels that float above all windows on every desktop, never take focus
// and let clicks through (on X11 by bypassing the window manager). Main thread.
class QtPanelFactory final : public PanelFactory {
public:
    std::unique_ptr<PanelWindow> makePanel(LevelModel& model, Size size) override;
};

} // namespace murmelin
