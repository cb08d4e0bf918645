#pragma once

#include "Observable.h"
#include "ports/Screens.h"
#include "ports/Session.h"

#include <memory>
#include <optional>
#include <string>

namespace murmelin {

inline constexpr const char* kListeningLabel = "Listening…";
inline constexpr const char* kTranscribingLabel = "Transcribing…";

// What the recording panel shows. Main thread.
class LevelModel : public ObservableObject {
public:
    Published<double> level{*this, 0.0};
    Published<std::string> label{*this, kListeningLabel};
};

// The panel's content geometry, in points. The view draws from these so that the layout
// can be checked without a window system.
struct HUDView {
    static constexpr Size panelSize{280, 44};
    static constexpr double cornerRadius = 14;
    static constexpr double horizontalInset = 16;
    static constexpr double spacing = 10;
    static constexpr Size trackSize{110, 8};
    static constexpr double minimumFill = 6;
    static constexpr double fillAnimationSeconds = 0.08;
    static constexpr double labelPointSize = 12;

    // Width of the level bar's fill: the track's share of `level`, never below the stub and
    // never past the track (also for a level that is not a number or out of range).
    static double fillWidth(double level);

    struct Layout {
        Rect icon, track, label;
    };
    // The row icon, bar, label centred in the panel (within the side insets), each item
    // centred vertically; the sizes of the icon and of the label text are the toolkit's.
    static Layout layout(Size icon, Size label);
};

// The panel sits centred at the bottom of a screen's visible area, this far above its edge.
inline constexpr double kPanelBottomMargin = 80;

// The panel's top-left corner on a screen whose visible area is `visible`: centred at its
// bottom, kPanelBottomMargin above the lower edge.
Point panelOriginOn(const Rect& visible);

// Where the panel goes: on the screen under the pointer when the desktop tells where the
// pointer is (else on the main screen when there is no screen under it); left to the desktop
// (the focused screen) when it does not tell.
PanelPlacement panelPlacement(const ScreenInfo& screens);

// Owns the floating recording panel: creates it on the first show() and reuses it.
// Main thread.
class HUD final : public RecordingPanel {
public:
    // Both references must outlive the HUD.
    HUD(ScreenInfo& screens, PanelFactory& factory) : screens_(screens), factory_(factory) {}

    void show() override;
    LevelModel& model() override { return model_; }
    PanelWindow* panel() override { return panel_.get(); }

private:
    ScreenInfo& screens_;
    PanelFactory& factory_;
    LevelModel model_;
    std::unique_ptr<PanelWindow> panel_;
};

} // namespace murmelin
