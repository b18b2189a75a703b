// The host's only way in: store what every call carries, find the instance, hand the command on.
#include "config/configure_dialog.h"
#include "host/host_interface.h"
#include "host/instance_table.h"
#include "host/module_state.h"
#include "host/settings.h"
#include "poll/image_exchange.h"
#include "poll/run_control.h"

namespace {

constexpr uint32_t kCommandNothing5 = 5;
constexpr uint32_t kCommandNothing6 = 6;

bool addresses_existing_instance(uint32_t command) {
    switch (command) {
        case DRV_START:
        case DRV_STOP:
        case DRV_RESET_OUTPUTS:
        case DRV_READ_INPUTS:
        case DRV_WRITE_OUTPUTS:
        case kCommandNothing5:
        case kCommandNothing6:
        case DRV_SAVE_SETTINGS:
        case DRV_CONFIGURE:
        case DRV_DELETE: return true;
        default: return false;
    }
}

// Commands that read or write the host's tables, now or from the poll thread they start.
bool uses_host_tables(uint32_t command) {
    return command == DRV_START || command == DRV_READ_INPUTS || command == DRV_WRITE_OUTPUTS;
}

int32_t run_on_instance(uint32_t command, DriverInstance& instance, HostRecord* host_record, uint32_t slot) {
    switch (command) {
        case DRV_START: return start(instance);
        case DRV_STOP: return stop(instance);
        case DRV_RESET_OUTPUTS: return reset_outputs(instance);
        case DRV_READ_INPUTS: return read_inputs(instance, *host_record);
        case DRV_WRITE_OUTPUTS: return write_outputs(instance, *host_record);
        case DRV_SAVE_SETTINGS: save_settings(instance.number, instance.delay_ms.load()); return 0;
        case DRV_CONFIGURE: return configure_dialog(instance);
        case DRV_DELETE:
            // Its record is about to be overwritten: a thread left polling could never be stopped.
            if (instance.poll_thread != nullptr) stop(instance);
            return delete_instance(module_state().instances, slot);
        default: return 0;  // 5 and 6: nothing beyond the number already stored
    }
}

}  // namespace

extern "C" int32_t VEK_CDECL DriverEntry(uint32_t number, uint32_t command, HostRecord* host_record,
                                         HostDriverRecord* host_driver_record, const char* config_path) {
    ModuleState& module = module_state();
    module.host_record.store(host_record);
    module.config_path = config_path;

    if (command == DRV_CREATE) return add_instance(module.instances, number, host_driver_record, Settings::load);
    if (command == DRV_ATTACH) return add_instance(module.instances, number, host_driver_record, Settings::keep);
    if (!addresses_existing_instance(command)) return -1;

    DriverInstance* instance = instance_at(module.instances, host_driver_record);
    if (instance == nullptr) return -1;
    if (uses_host_tables(command) && host_record == nullptr) return -1;

    instance->number = number;
    return run_on_instance(command, *instance, host_record, host_driver_record->slot);
}
