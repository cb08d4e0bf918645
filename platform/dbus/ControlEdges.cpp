#include "ControlEdges.h"
#include "PasteChords.h"

namespace murmelin {

std::optional<ShortcutEdge> ControlEdges::apply(Command command) {
    const bool press = command == Command::press || (command == Command::toggle && !held_);
    if (press == held_)
        return std::nullopt;
    held_ = press;
    return press ? ShortcutEdge::pressed : ShortcutEdge::released;
}

std::string portalTrigger(const std::string& trigger) {
    struct Modifier {
        const char* word;
        const char* name;
    };
    static constexpr Modifier modifiers[] = {
        {"ctrl", "CTRL"},  {"control", "CTRL"}, {"alt", "ALT"},   {"shift", "SHIFT"},
        {"super", "LOGO"}, {"meta", "LOGO"},    {"logo", "LOGO"}, {"num", "NUM"},
    };
    std::string out;
    std::size_t from = 0;
    for (std::size_t plus; (plus = trigger.find('+', from)) != std::string::npos; from = plus + 1) {
        const std::string word = asciiLowered(trigger.substr(from, plus - from));
        const char* name = nullptr;
        for (const Modifier& m : modifiers)
            if (word == m.word)
                name = m.name;
        out += name ? std::string(name) : trigger.substr(from, plus - from);
        out += '+';
    }
    // Keysym names of letters and of named keys such as "space" are lower case; longer names
    // keep their spelling ("Return", "F1").
    std::string key = trigger.substr(from);
    if (key.size() == 1 || asciiLowered(key) == "space")
        key = asciiLowered(key);
    return out + key;
}

} // namespace murmelin
