#pragma once
#include "ports/Desktop.h"
#include "ports/Speech.h"

#include <memory>
#include <mutex>
#include <string>

namespace murmelin {

// With MURMELIN_VERBOSE set, one stderr line per delivered dictation: the recogniser's raw
// transcript, the cleaned text and when the audio began to flow (CLOCK_MONOTONIC
// milliseconds, comparable with other processes' clocks), for the demo and the benchmarks.
// Otherwise a pass-through. It wraps the ports where those facts pass, so the program's own
// units stay unaware of it.
class VerboseTrace {
public:
    VerboseTrace(SpeechRecognizerFactory& recognizers, Clipboard& clipboard);
    ~VerboseTrace();
    static bool enabled();

    SpeechRecognizerFactory& recognizers();
    Clipboard& clipboard();

    // Thread-safe: called from the capture and recogniser threads.
    struct State {
        std::mutex mutex;
        double startMs = -1;      // recognition task created (the press was accepted)
        double firstAudioMs = -1; // first buffer handed to the recogniser
        std::string raw;          // latest hypothesis
    };

private:
    class Factory;
    class Board;
    std::shared_ptr<State> state_;
    std::unique_ptr<Factory> factory_;
    std::unique_ptr<Board> board_;
    SpeechRecognizerFactory& innerRecognizers_;
    Clipboard& innerClipboard_;
};

double monotonicMs();

} // namespace murmelin
