#pragma once

namespace murmelin {

// The program's well-known name on the session bus; whoever owns it is the running Murmelin.
inline constexpr const char* kBusName = "io.github.murmelin.Murmelin";
// Where the running instance takes key commands (`murmelin press` and the like).
inline constexpr const char* kControlPath = "/io/github/murmelin/Murmelin";
inline constexpr const char* kControlInterface = "io.github.murmelin.Murmelin1";
// Where every running instance, whatever its desktop, takes `murmelin quit`.
inline constexpr const char* kInstancePath = "/io/github/murmelin/Murmelin/Instance";

} // namespace murmelin
