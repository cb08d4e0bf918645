#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace murmelin {

// The MIME types a dictation is offered as, the preferred first: every one is the same UTF-8
// text.
const std::vector<const char*>& clipboardTextTypes();

// Writes `text` to `fd` on a thread of its own and closes it: a reader that never reads must
// not stall the caller's thread, nor one that goes away kill the program (SIGPIPE). Gives up
// after a few seconds without progress. `done`, when given, is then called on that thread
// with whether all of it went.
void writeAndClose(int fd, std::shared_ptr<const std::string> text,
                   std::function<void(bool complete)> done = nullptr);

} // namespace murmelin
