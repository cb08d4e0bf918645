#pragma once
#include "ports/Desktop.h"
#include "ports/Speech.h"

#include <memory>
#include <mutex>
#include <string>

namespace murmelin {

// With MURMELIN_VERBOSE set, the program reports what the end-to-end tests, the benchmarks and
// the demo measure: one JSON object per line on stderr, each with "event" and "ms" (when it
// happened, CLOCK_MONOTONIC milliseconds, comparable with other processes' clocks):
//   {"event":"recognition_started","ms":…}  a press was accepted, the recogniser starts
//   {"event":"transcript","ms":…,"raw":…,"cleaned":…,"start_ms":…,"first_audio_ms":…,
//    "clipboard_ms":…}                       a dictation was delivered to the clipboard
//   {"event":"paste","ms":…,"chord":"ctrl+v","posted":true}  the paste chord went out (or waits)
//   {"event":"ready","ms":…,"hot_key":"bound"}  started: the key is bound, the model loaded
// Each line is one write(2), so lines from several threads never mix. Otherwise a pass-through.
// It wraps the ports where those facts pass, so the program's own units stay unaware of it.
class VerboseTrace {
public:
    // Writes to `fd`; -1 (the default without MURMELIN_VERBOSE) writes nothing.
    VerboseTrace(SpeechRecognizerFactory& recognizers, Clipboard& clipboard, KeyInjector& keys,
                 int fd = enabled() ? 2 : -1);
    ~VerboseTrace();
    static bool enabled();

    SpeechRecognizerFactory& recognizers();
    Clipboard& clipboard();
    KeyInjector& keys();
    // Start-up is over: a press from now on is heard from its first word.
    void ready(bool hotKeyBound);

    // Thread-safe: called from the main, capture and recogniser threads.
    struct State {
        explicit State(int fd) : fd(fd) {}
        const int fd;
        std::mutex mutex;
        double startMs = -1;      // recognition task created (the press was accepted)
        double firstAudioMs = -1; // first buffer handed to the recogniser
        std::string raw;          // latest hypothesis
    };

private:
    class Factory;
    class Board;
    class Keys;
    std::shared_ptr<State> state_;
    std::unique_ptr<Factory> factory_;
    std::unique_ptr<Board> board_;
    std::unique_ptr<Keys> keys_;
    SpeechRecognizerFactory& innerRecognizers_;
    Clipboard& innerClipboard_;
    KeyInjector& innerKeys_;
};

double monotonicMs();

} // namespace murmelin
