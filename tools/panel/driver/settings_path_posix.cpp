#include "panel/driver/settings_path.h"

#include <sys/stat.h>

#include <cstdlib>

namespace vek::panel {

std::string default_settings_path() {
    std::string folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] != '\0') {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        folder = std::string(home) + "/.config";
    } else {
        return "vek-panel.ini";
    }
    ::mkdir(folder.c_str(), 0755);
    folder += "/vek-panel";
    ::mkdir(folder.c_str(), 0755);
    return folder + "/settings.ini";
}

// The driver's own INI store opens a relative path from the current folder, as the panel does.
std::string settings_path_for_driver(const std::string& given) { return given; }

}  // namespace vek::panel
