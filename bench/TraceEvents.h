#pragma once

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace murmelin {

// The events called `name` in the program's trace (MURMELIN_VERBOSE): one JSON object per line,
// "event" first. Another thread's unfinished stderr line may stand before one, so each is
// found by its opening rather than at the start of a line.
inline std::vector<nlohmann::json> traceEvents(const std::string& log, const std::string& name) {
    std::vector<nlohmann::json> events;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find(R"({"event":)");
        if (at == std::string::npos)
            continue;
        auto event = nlohmann::json::parse(line.substr(at), nullptr, false);
        if (event.is_object() && event.value("event", "") == name)
            events.push_back(std::move(event));
    }
    return events;
}

} // namespace murmelin
