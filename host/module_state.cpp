#include "host/module_state.h"

namespace {
ModuleState g_module;
}

ModuleState& module_state() { return g_module; }

void module_load(void* instance_handle) {
    g_module.instance_handle = instance_handle;
    g_module.host_record.store(nullptr);
    g_module.config_path = nullptr;
    reset_instance_table(g_module.instances);
}
