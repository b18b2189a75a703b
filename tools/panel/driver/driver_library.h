// The driver as the host sees it: a shared library with one export, loaded at run time.
#pragma once

#include <string>

#include "abi/host_interface.h"

namespace vek::panel {

using DriverEntryFn = decltype(&DriverEntry);

struct DriverLibrary {
    void* handle = nullptr;
    DriverEntryFn entry = nullptr;
};

// Loads the library at path and finds DriverEntry. False with the loader's reason in *error.
bool load_driver_library(const std::string& path, DriverLibrary* library, std::string* error);

// The driver the panel loads when --driver names none.
std::string default_driver_path();
// What to try when the driver could not be loaded.
std::string missing_driver_hint();

}  // namespace vek::panel
