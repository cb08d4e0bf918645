#pragma once

#include <string>

namespace murmelin {

// The command line's help, for --help (stdout) and for a verb it does not know (stderr).
extern const char* const kUsage;

// `murmelin press`, `release`, `toggle` or `quit`: tells the running instance on the session bus
// and returns the exit status: 0 delivered, 1 not delivered (no instance, no bus, no answer within
// a second; the reason on stderr), 2 an unknown verb (the usage on stderr). Plain libdbus:
// it runs on every key press and release, so it loads and starts nothing more.
int sendControlCommand(const std::string& verb);

} // namespace murmelin
