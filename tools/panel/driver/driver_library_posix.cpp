#include "panel/driver/driver_library.h"

#include <dlfcn.h>
#include <unistd.h>

namespace vek::panel {

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

// The driver is found from where this program is, never from where it was built: installed, it
// is in ../lib/vek-tools/ beside bin/; in a build tree, where the build put it. When neither is
// there, the installed place is named, so that the loader's error says where it looked.
std::string default_driver_path() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return VEK_PANEL_DRIVER_INSTALLED;
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    for (const char* relative : {VEK_PANEL_DRIVER_INSTALLED, VEK_PANEL_DRIVER_BUILT}) {
        const std::string path = folder + relative;
        if (::access(path.c_str(), F_OK) == 0) return path;
    }
    return folder + VEK_PANEL_DRIVER_INSTALLED;
}

std::string missing_driver_hint() { return "Build it (./scripts/build.sh linux) or name it with --driver."; }

}  // namespace vek::panel
