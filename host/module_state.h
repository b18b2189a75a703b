// State that lives from module load to unload and is never freed.
#pragma once

#include <atomic>

#include "host/host_interface.h"
#include "host/instance_table.h"

struct ModuleState {
    void* instance_handle;                 // the module's own handle (Windows: its HINSTANCE)
    std::atomic<HostRecord*> host_record;  // stored by every call; a poll thread reads it too
    const char* config_path;               // stored by every call; read by the settings
    InstanceTable instances;
};

ModuleState& module_state();

// The module's load-time set-up, run by the platform's load hook.
void module_load(void* instance_handle);
