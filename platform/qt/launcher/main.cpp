// `murmelin`: the command users and their desktops' shortcuts run. `murmelin press`, `release`,
// `toggle` and `quit` reach the running instance over the session bus; --help and --version
// answer here; anything else starts the tray program. This executable loads only libdbus, so
// that a key command costs milliseconds, not the tens of milliseconds that loading the whole
// program takes on every press and release; the program itself is `murmelin-desktop`, which
// replaces this process (same pid).
#include "ControlCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Beside this executable in the build tree; installed, in the libexec folder of the prefix
// this executable stands in, wherever that prefix was moved.
std::string desktopProgram() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
    dir.erase(dir.rfind('/') + 1); // "" when unknown: then relative to where we stand
    const std::string beside = dir + "murmelin-desktop";
    if (access(beside.c_str(), X_OK) == 0)
        return beside;
    return dir + MURMELIN_LIBEXEC_FROM_BIN "/murmelin-desktop";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(murmelin::kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("murmelin " MURMELIN_VERSION);
        return 0;
    }
    // Qt's own options all begin with '-'.
    if (argc > 1 && argv[1][0] != '-')
        return murmelin::sendControlCommand(argc == 2 ? argv[1] : "");
    const std::string program = desktopProgram();
    execv(program.c_str(), argv);
    std::fprintf(stderr, "murmelin: cannot start %s: %s\n", program.c_str(), std::strerror(errno));
    return 1;
}
