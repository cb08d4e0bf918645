#include "XdgAutostart.h"
#include "JsonDefaultsStore.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace murmelin {

const char* const XdgAutostart::kEntry = "[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Murmelin\n"
                                         "Comment=Push-to-talk dictation\n"
                                         "Exec=murmelin\n"
                                         "Icon=io.github.murmelin.Murmelin\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n";

XdgAutostart::XdgAutostart(std::string path) : path_(std::move(path)) {}

std::string XdgAutostart::defaultPath() {
    return JsonDefaultsStore::configHome() + "/autostart/murmelin.desktop";
}

bool XdgAutostart::isEnabled() const {
    std::ifstream in(path_);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line))
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false")
            return false;
    return true;
}

std::string XdgAutostart::setEnabled(bool enabled) {
    std::error_code error;
    if (!enabled) {
        if (fs::remove(path_, error) || !error)
            return {};
        return "cannot remove " + path_ + ": " + error.message();
    }
    const fs::path folder = fs::path(path_).parent_path();
    fs::create_directories(folder, error);
    if (error)
        return "cannot make the folder " + folder.string() + ": " + error.message();
    const std::string temporary = path_ + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << kEntry;
        out.close();
        if (!out) {
            const std::string why = std::strerror(errno);
            fs::remove(temporary, error);
            return "cannot write " + temporary + ": " + why;
        }
    }
    fs::rename(temporary, path_, error);
    if (error) {
        const std::string why = error.message();
        fs::remove(temporary, error);
        return "cannot write " + path_ + ": " + why;
    }
    return {};
}

} // namespace murmelin
