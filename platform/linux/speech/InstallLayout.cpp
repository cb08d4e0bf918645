#include "InstallLayout.h"

#include <system_error>

namespace fs = std::filesystem;

namespace murmelin {
namespace {

// The executable's folder and each folder above it: the prefix (bin/, libexec/murmelin/) or
// the build tree (a CMake build folder holds CMakeCache.txt) is one of them.
std::vector<fs::path> ancestors(const fs::path& executable) {
    std::vector<fs::path> found;
    for (fs::path at = executable.parent_path(); !at.empty(); at = at.parent_path()) {
        found.push_back(at);
        if (at == at.root_path())
            break;
    }
    return found;
}

bool isBuildTree(const fs::path& folder) {
    std::error_code error;
    return fs::exists(folder / "CMakeCache.txt", error);
}

} // namespace

fs::path InstallLayout::self() {
    std::error_code error;
    return fs::read_symlink("/proc/self/exe", error);
}

std::vector<fs::path> InstallLayout::favouredModelFolders(const fs::path& executable) {
    std::vector<fs::path> folders;
    for (const fs::path& at : ancestors(executable)) {
        // A developer's build wins over an installed copy.
        if (isBuildTree(at))
            folders.push_back(at / "models");
        folders.push_back(at / "share/murmelin/models");
    }
    folders.emplace_back(MURMELIN_INSTALL_DATADIR "/murmelin/models");
    return folders;
}

std::vector<fs::path> InstallLayout::helperPrograms(const char* name, const fs::path& executable) {
    std::vector<fs::path> programs;
    if (!executable.empty())
        programs.push_back(executable.parent_path() / name);
    for (const fs::path& at : ancestors(executable)) {
        if (isBuildTree(at))
            programs.push_back(at / "platform/linux/speech" / name);
        programs.push_back(at / "libexec/murmelin" / name);
    }
    programs.push_back(fs::path(MURMELIN_INSTALL_LIBEXECDIR "/murmelin") / name);
    return programs;
}

} // namespace murmelin
