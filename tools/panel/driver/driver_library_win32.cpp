#include "panel/driver/driver_library.h"

#include <windows.h>

#include "panel/driver/panel_win32.h"

namespace vek::panel {

bool load_driver_library(const std::string& path, DriverLibrary* library, std::string* error) {
    // The altered search order looks for the DLL's own imports beside it, not beside the panel.
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        *error = path + ": " + system_message(GetLastError());
        return false;
    }
    FARPROC symbol = GetProcAddress(module, "DriverEntry");
    if (symbol == nullptr) {
        *error = path + " does not export DriverEntry";
        FreeLibrary(module);
        return false;
    }
    library->handle = module;
    // GetProcAddress hands every export back as FARPROC; DriverEntry's own type is the host's.
    library->entry = reinterpret_cast<DriverEntryFn>(reinterpret_cast<void*>(symbol));
    return true;
}

// Shipped side by side: the panel loads the DLL in its own folder, by its full path, so that no
// other folder on the search path can put another vek_driver.dll in its place.
std::string default_driver_path() { return beside_panel("vek_driver.dll"); }

std::string missing_driver_hint() {
    return "vek_driver.dll belongs in the same folder as vek-panel.exe; or name the DLL with --driver.";
}

}  // namespace vek::panel
