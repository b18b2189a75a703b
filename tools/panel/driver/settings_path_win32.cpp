#include "panel/driver/settings_path.h"

#include <windows.h>

#include "panel/driver/panel_win32.h"

namespace vek::panel {

std::string default_settings_path() {
    // The user's roaming application data, where a per-user tool keeps its settings; the
    // panel's folder (often under Program Files, not writable) only when it is not set.
    char data[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("APPDATA", data, sizeof data);
    if (length == 0 || length >= sizeof data) return beside_panel("vek-panel.ini");
    const std::string folder = std::string(data, length) + "\\vek-panel";
    // An existing folder fails with ERROR_ALREADY_EXISTS; one that cannot be made shows when
    // the driver cannot keep the delay there.
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder + "\\settings.ini";
}

// The profile functions take a name without a folder as a file in the Windows folder: the
// driver is given the full path.
std::string settings_path_for_driver(const std::string& given) {
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(given.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return given;
    return std::string(full, length);
}

}  // namespace vek::panel
