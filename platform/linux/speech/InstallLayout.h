#pragma once

#include <filesystem>
#include <vector>

namespace murmelin {

// Where the program's own files are, found from the running executable so that an installed
// tree can be moved (a package's prefix, a DESTDIR, a build tree), then from the configured
// prefix. No path of the build tree is compiled in.
//
// `executable`: the running program (/proc/self/exe by default); `prefix`: the configured
// installation prefix's data or libexec folder.
struct InstallLayout {
    // Folders that hold the favoured language models, each laid out like the absolute paths
    // of the installed models they favour; nearest first, the configured prefix last.
    static std::vector<std::filesystem::path>
    favouredModelFolders(const std::filesystem::path& executable = self());
    // Candidates for a helper program of ours (`name`), nearest first.
    static std::vector<std::filesystem::path>
    helperPrograms(const char* name, const std::filesystem::path& executable = self());

    static std::filesystem::path self();
};

} // namespace murmelin
