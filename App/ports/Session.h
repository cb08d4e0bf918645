#pragma once

#include "ports/Shortcuts.h"

#include <functional>
#include <string>

namespace murmelin {

class LevelModel;
class PanelWindow;

// What the controller needs of the recorder. Main thread.
class DictationRecorder {
public:
    virtual ~DictationRecorder() = default;
    // Asks for speech and microphone access without waiting for the answers.
    virtual void requestPermissions() = 0;
    // Called on the main queue once per captured buffer with a level from 0 to 1.
    virtual void setOnLevel(std::function<void(float)> onLevel) = 0;
    // Called on the main queue, at most once per dictation, when its capture ended before
    // the release (sound server gone, microphone removed), with a sentence saying why.
    // What was heard until then still reaches that dictation's completion.
    virtual void setOnInterrupted(std::function<void(std::string reason)> onInterrupted) = 0;
    // Begins capturing and recognising, or throws an exception whose what() is a sentence
    // for the user; after a throw nothing runs.
    virtual void start(const std::string& locale) = 0;
    // Ends the capture; `completion` gets this recording's best transcript exactly once, on
    // the main queue, at the latest after the timeout (or at once with "" when nothing
    // runs). Results of earlier or later recordings never reach it.
    virtual void stop(std::function<void(std::string)> completion) = 0;
};

// What the controller needs of the push-to-talk key. Main thread.
class PushToTalkKey {
public:
    virtual ~PushToTalkKey() = default;
    // Called on the main queue, strictly alternating, once per press and release.
    virtual void setOnPress(std::function<void()> onPress) = 0;
    virtual void setOnRelease(std::function<void()> onRelease) = 0;
    // Binds the key for the whole desktop; the outcome arrives on the main queue.
    virtual void registerKey() = 0;
    // Called on the main queue with each binding's outcome and the trigger the desktop gave.
    virtual void setOnRegistration(std::function<void(const ShortcutBinding&)> onRegistration) = 0;
    // Tries again when the last outcome was not `bound`; otherwise does nothing.
    virtual void retryRegistration() = 0;
};

// What the controller needs of the recording panel. Main thread.
class RecordingPanel {
public:
    virtual ~RecordingPanel() = default;
    // Shows the panel at the bottom of the screen under the pointer (else the focused one) in
    // its listening state without taking focus.
    virtual void show() = 0;
    virtual LevelModel& model() = 0;
    // The panel window, null before the first show().
    virtual PanelWindow* panel() = 0;
};

} // namespace murmelin
