#pragma once

#include <optional>
#include <string>
#include <vector>

namespace murmelin {

// Where recognition models come from.
//
// The Debian package pocketsphinx-en-us provides "en-US" under
// /usr/share/pocketsphinx/model/en-us. More languages (or a replacement for en-US) are
// installed per user, one folder per locale:
//
//   $XDG_DATA_HOME/murmelin/models/        (default ~/.local/share/murmelin/models)
//       de-DE/                            the locale identifier ("de_DE" is read as "de-DE")
//           <acoustic model>/             any folder holding "mdef" (means, variances, ...)
//           <name>.lm.bin or <name>.lm    the language model (phone models "*-phone.*" skipped)
//           <name>.dict                   the pronunciation dictionary
//
// A locale folder with an acoustic model but without a language model or dictionary is
// still listed: loading it fails, and the recogniser reports itself unavailable.
struct SpeechModel {
    std::string locale;
    std::string acousticModel; // folder
    std::string languageModel; // file, empty when missing
    std::string dictionary;    // file, empty when missing
    std::string directory;     // the folder all of this was found in
};

// The Debian model folder.
std::string systemModelDirectory();
// $XDG_DATA_HOME/murmelin/models, else $HOME/.local/share/murmelin/models; empty without both.
std::string userModelRoot();

// "en_us" -> "en-US": language lower case, region upper case, '-' as separator.
std::string normalizeLocale(const std::string& locale);

// Reads one model folder; nothing when it holds no acoustic model.
std::optional<SpeechModel> readModelDirectory(const std::string& directory,
                                              const std::string& locale);

// The system model as "en-US" (when installed) and every user model; a user model replaces
// the system one of the same locale. Sorted by locale.
std::vector<SpeechModel> findModels(const std::string& systemDirectory,
                                    const std::string& userRoot);

} // namespace murmelin
