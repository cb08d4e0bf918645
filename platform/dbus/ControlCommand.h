#pragma once

#include <string>

namespace murmelin {

// `murmelin press`, `release` or `toggle`: tells the running instance on the session bus and
// returns the exit status: 0 delivered, 1 not delivered (no instance, no bus, no answer within
// a second; the reason on stderr), 2 an unknown verb (the usage on stderr). Plain libdbus:
// it runs on every key press and release, so it loads and starts nothing more.
int sendControlCommand(const std::string& verb);

} // namespace murmelin
