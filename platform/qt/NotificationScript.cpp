#include "NotificationScript.h"

#include <string_view>

namespace murmelin {

namespace {

bool consume(std::string_view& in, std::string_view word) {
    if (in.substr(0, word.size()) != word)
        return false;
    in.remove_prefix(word.size());
    return true;
}

// A double-quoted string with \\ and \" escapes; moves `in` past the closing quote.
std::optional<std::string> quoted(std::string_view& in) {
    if (!consume(in, "\""))
        return std::nullopt;
    std::string out;
    while (!in.empty()) {
        const char c = in.front();
        in.remove_prefix(1);
        if (c == '"')
            return out;
        if (c == '\\') {
            if (in.empty() || (in.front() != '\\' && in.front() != '"'))
                return std::nullopt;
            out += in.front();
            in.remove_prefix(1);
        } else {
            out += c;
        }
    }
    return std::nullopt; // no closing quote
}

} // namespace

std::optional<NotificationRequest> parseNotificationScript(const std::string& script) {
    std::string_view in = script;
    if (!consume(in, "display notification "))
        return std::nullopt;
    NotificationRequest request;
    auto body = quoted(in);
    if (!body)
        return std::nullopt;
    request.body = std::move(*body);
    if (consume(in, " with title ")) {
        auto title = quoted(in);
        if (!title)
            return std::nullopt;
        request.title = std::move(*title);
    }
    if (!in.empty())
        return std::nullopt;
    return request;
}

} // namespace murmelin
