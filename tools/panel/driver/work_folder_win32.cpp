#include "panel/driver/work_folder.h"

#include <windows.h>

namespace vek::panel {

bool make_work_folder(std::string* folder, std::string* error) {
    char temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH) {
        *error = "cannot find the temporary folder (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // The process id and a counter name it; a name left by an earlier run is passed over.
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string made = std::string(temp) + "vek-panel-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(attempt);
        if (CreateDirectoryA(made.c_str(), nullptr)) {
            *folder = made;
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    *error = std::string("cannot make a working folder in ") + temp + " (error " + std::to_string(GetLastError()) + ")";
    return false;
}

}  // namespace vek::panel
