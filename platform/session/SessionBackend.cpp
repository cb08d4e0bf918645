#include "SessionBackend.h"

#include "NullDesktop.h"
#include "PasteChords.h"
#include "X11AccessibilityTrust.h"
#include "X11HotKeySource.h"
#include "X11KeyInjector.h"

#include <cstring>
#include <utility>

namespace murmelin {
namespace {

// A backend made of one adapter per facility; `keys` takes the arguments.
template <class HotKeys, class Keys, class Trust> class Adapters : public SessionBackend {
public:
    template <class... KeyArgs>
    explicit Adapters(KeyArgs&&... keyArgs) : keys_(std::forward<KeyArgs>(keyArgs)...) {}
    HotKeySource& hotKeys() override { return hotKeys_; }
    KeyInjector& keys() override { return keys_; }
    AccessibilityTrust& trust() override { return trust_; }

protected:
    HotKeys hotKeys_;
    Keys keys_;
    Trust trust_;
};

class X11Backend final : public Adapters<X11HotKeySource, X11KeyInjector, X11AccessibilityTrust> {
public:
    X11Backend(MainQueue& main, const DefaultsStore& defaults)
        : Adapters(readPasteChords(defaults)) {
        // A paste due while the hot key is held again waits for its release: our own grab
        // would swallow it (see X11HotKeySource).
        keys_.setDeferral([this, &main](std::function<void()> retry) {
            return hotKeys_.deferUntilReleased([retry, &main] { main.async(retry); });
        });
    }
};

using NullBackend = Adapters<NullHotKeySource, NullKeyInjector, NullAccessibilityTrust>;

} // namespace

std::optional<SessionKind> chooseSession(const std::function<const char*(const char*)>& env,
                                         std::string& problem) {
    if (const char* wanted = env("MURMELIN_SESSION"); wanted && *wanted) {
        for (SessionKind kind : {SessionKind::x11, SessionKind::none})
            if (std::strcmp(wanted, sessionName(kind)) == 0)
                return kind;
        problem = std::string("MURMELIN_SESSION=") + wanted +
                  " names no session kind Murmelin knows (x11, none)";
        return std::nullopt;
    }
    const char* display = env("DISPLAY");
    return display && *display ? SessionKind::x11 : SessionKind::none;
}

const char* sessionName(SessionKind kind) {
    return kind == SessionKind::x11 ? "x11" : "none";
}

std::unique_ptr<SessionBackend> makeSessionBackend(SessionKind kind, MainQueue& main,
                                                   const DefaultsStore& defaults) {
    if (kind == SessionKind::x11)
        return std::make_unique<X11Backend>(main, defaults);
    return std::make_unique<NullBackend>();
}

} // namespace murmelin
