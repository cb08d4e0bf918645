#pragma once

#include <optional>
#include <string>
#include <vector>

namespace murmelin {

// The decoder's level normalisation estimate, kept across runs so that the first dictation
// after a start is heard as well as the later ones. One small text file per locale beside the
// settings file:
//
//   $XDG_CONFIG_HOME/murmelin/levels-en-US.txt   (~/.config when XDG_CONFIG_HOME is unset)
//       murmelin-levels 1
//       <one number per feature, separated by spaces>

// $XDG_CONFIG_HOME/murmelin, else ~/.config/murmelin: the settings file's folder.
std::string settingsDirectory();
std::string levelEstimatePath(const std::string& directory, const std::string& locale);

// Nothing when the file is missing, not a regular file, too large or not as written above.
std::optional<std::vector<float>> readLevelEstimate(const std::string& path);
// Replaces the file at once (temp file "<path>.tmp-<pid>" and rename), creating the folder;
// false with `why`.
bool writeLevelEstimate(const std::string& path, const std::vector<float>& estimate,
                        std::string& why);
// Removes the temp files that writes of `path` by processes no longer running left behind.
void removeStaleTemps(const std::string& path);
// Replaces `path` with `text` through a temp file beside it, so a reader never sees half of it.
bool replaceFile(const std::string& path, const std::string& text, std::string& why);

} // namespace murmelin
