// The module's one context, from load to unload: the driver's polling context, what only the
// host's boundary uses, and the platform's way of telling the user things, installed below.
#pragma once

#include <memory>
#include <utility>

#include "host/platform_notices.h"
#include "link/serial_backend.h"
#include "poll/driver_context.h"

namespace vek {

struct ModuleContext {
    explicit ModuleContext(std::unique_ptr<SerialBackend> backend) : driver(std::move(backend), platform_notices()) {}

    void* module_handle = nullptr;      // the module's own handle (Windows: its HINSTANCE), for the dialog
    const char* config_path = nullptr;  // stored by every call; read by the settings and the dialog
    DriverContext driver;
};

}  // namespace vek
