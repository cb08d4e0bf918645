#pragma once

#include <optional>
#include <string>

namespace murmelin {

struct NotificationRequest {
    std::string title;
    std::string body;
};

// Reads the one script form the notification runner accepts:
//   display notification "BODY" with title "TITLE"
// (the title part may be missing). Inside the quotes \\ stands for \ and \" for ".
// Anything else, a stray backslash or trailing text included, is not accepted.
std::optional<NotificationRequest> parseNotificationScript(const std::string& script);

} // namespace murmelin
