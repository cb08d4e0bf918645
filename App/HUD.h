#pragma once

#include "platform/core/Observable.h"
#include "ports/Screens.h"
#include "ports/Session.h"

#include <memory>
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

// HUD_DECLARATIONS_BELOW (HUD, HUDView geometry) are added by the panel work.

} // namespace murmelin
