#include "driver_library.h"

#include <dlfcn.h>

bool load_driver_library(const std::string& path, DriverLibrary* library, std::string* error) {
    // RTLD_NOW: a missing symbol shows here, not in the middle of a session.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *error = ::dlerror();
        return false;
    }
    void* symbol = ::dlsym(handle, "DriverEntry");
    if (symbol == nullptr) {
        *error = path + " does not export DriverEntry";
        ::dlclose(handle);
        return false;
    }
    library->handle = handle;
    // POSIX guarantees a function's address survives the round trip through void*.
    library->entry = reinterpret_cast<DriverEntryFn>(symbol);
    return true;
}

std::string default_driver_path() { return VEK_PANEL_DRIVER; }

std::string missing_driver_hint() { return "Build it (./scripts/build.sh linux) or name it with --driver."; }
