#pragma once

#include <cstdint>
#include <functional>

namespace murmelin {

// One event of the registered key combination.
struct HotKeyEvent {
    uint32_t kind; // 5 pressed, 6 released
};

inline constexpr int32_t kNoErr = 0;
inline constexpr int32_t kEventNotHandledErr = -9874;

// Called on the source's own thread; `event` may be null.
using HotKeyHandler = std::function<int32_t(const HotKeyEvent* event)>;

// What became of a registration. `pending` only until the first outcome is known.
enum class HotKeyRegistration { pending, bound, taken, unavailable };

// A system-wide key combination.
class HotKeySource {
public:
    virtual ~HotKeySource() = default;
    virtual void installHandler(HotKeyHandler handler) = 0;
    // keyCode 49 is the space bar; modifiers 0x1000 control, 0x0800 option (Alt). Calling
    // it again for the same combination tries anew. Answers bound, taken (another program
    // holds the combination) or unavailable (no display, or no such key).
    virtual HotKeyRegistration registerHotKey(uint32_t keyCode, uint32_t modifiers,
                                              uint32_t signature, uint32_t id) = 0;
};

} // namespace murmelin
