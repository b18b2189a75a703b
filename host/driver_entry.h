// DriverEntry's work, on a context the caller owns: the exported DriverEntry passes the module's
// own, and the native tests pass theirs.
#pragma once

#include <cstdint>

#include "abi/host_interface.h"
#include "host/module_context.h"

namespace vek {

// Stores what the call carries in `module`, finds the instance, hands the command on, and answers
// as DriverEntry answers the host.
int32_t driver_entry(ModuleContext& module, uint32_t number, uint32_t command, HostRecord* host_record,
                     HostDriverRecord* host_driver_record, const char* config_path);

// The module's load-time set-up, run by the platform's load hook: the module's context is made,
// and keeps the module's own handle.
void module_load(void* instance_handle);

// Windows' unload hook (DllMain's detach), as the library is unmapped or the process exits: each
// card still owed it gets the all-off frame (see send_all_off_at_unload); at the process's exit
// nothing else is done, at FreeLibrary the context is freed. Never waits on a thread. Linux has
// no such hook: there exit() runs with the poll threads alive, and the context is left as it is.
void module_unload(bool process_ends);

}  // namespace vek
