#pragma once

#include "QtPanel.h"
#include "WaylandLayerPanel.h"
#include "ports/Screens.h"

#include <QImage>
#include <QTimer>

namespace murmelin {

class WaylandConnection;

// The panel on a Wayland compositor with layer shell: the same HUDWidget, never shown as a
// window of its own but drawn into an image, whose frames go to a layer-shell surface. Qt's
// own windows can neither float above the others nor keep out of the focus there.
class WaylandPanelWindow final : public PanelWindow {
public:
    WaylandPanelWindow(WaylandConnection& connection, LevelModel& model, Size size);
    // The origin is ignored: no Wayland client learns where the pointer is, and the
    // compositor puts the panel on the focused output. The bottom margin is kept.
    void place(const PanelPlacement& placement) override;
    void orderFrontRegardless() override;
    void orderOut() override;
    HUDWidget& widget() { return widget_; }

private:
    // Draws the widget and sends the frame when it differs from the last one sent.
    void pushFrame();

    HUDWidget widget_;
    WaylandLayerPanel layer_;
    QTimer frames_; // runs only while shown
    QImage image_, sent_;
};

class WaylandPanelFactory final : public PanelFactory {
public:
    // The connection must offer canShowPanels() and outlive the panels.
    explicit WaylandPanelFactory(WaylandConnection& connection) : connection_(connection) {}
    std::unique_ptr<PanelWindow> makePanel(LevelModel& model, Size size) override;

private:
    WaylandConnection& connection_;
};

} // namespace murmelin
