// The host's only way in: store what every call carries, find the instance, hand the command on.
// Results become the host's 0 and -1 here and nowhere else.
#include "host/driver_entry.h"

#include <cstdint>
#include <new>

#include "dialog/configure_dialog.h"
#include "config/settings.h"
#include "abi/host_interface.h"
#include "host/platform_notices.h"
#include "poll/image_exchange.h"
#include "poll/run_control.h"

namespace vek {

namespace {

constexpr uint32_t kCommandNothing5 = 5;
constexpr uint32_t kCommandNothing6 = 6;

// The highest driver number whose channels the host's 32-bit signed indices reach: its last
// output entry, 16 × number + 15, is 2^31 - 1. Past it, a 32-bit host's entries would wrap onto
// another driver's (or out of its tables).
constexpr uint32_t kHighestTableNumber = (uint32_t{INT32_MAX} - 15U) / 16U;

constexpr int32_t kHostOk = 0;
constexpr int32_t kHostFailed = -1;

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

// The instance's link settings, read afresh at each start: the user may have named a port or a
// trace since the last one. Only read: the driver never writes these keys.
StartResult start_with_settings(ModuleContext& module, DriverInstance& instance) {
    const LinkSettings settings = load_link_settings(module.config_path, instance.number);
    StartOptions options;
    options.port = settings.port;
    options.port_unusable = settings.port_unusable;
    options.trace_path = settings.trace_path;
    options.trace_frames = settings.trace_frames;
    options.settings_note = settings.note;
    return start(module.driver, instance, options);
}

int32_t configure(ModuleContext& module, DriverInstance& instance) {
    const DialogRequest request{module.module_handle, module.config_path, instance.number, &instance.delay_ms};
    return configure_dialog(request);
}

// The image of the instance's card: the one it polls, or polled last (the host may read the last
// inputs after a stop). A fresh image for an instance never started, which reads nothing anyway.
ProcessImage& image_of(DriverContext& driver, const DriverInstance& instance) {
    Card* card = instance.card != kNoCard ? driver.card_if_made(instance.card) : nullptr;
    return card != nullptr ? card->image : driver.first_card.image;
}

int32_t run_on_instance(ModuleContext& module, uint32_t command, DriverInstance& instance, HostRecord* host_record,
                        uint32_t slot) {
    DriverContext& driver = module.driver;
    switch (command) {
        case DRV_START: return start_with_settings(module, instance) == StartResult::polling ? kHostOk : kHostFailed;
        case DRV_STOP: stop(driver, instance); return kHostOk;
        case DRV_RESET_OUTPUTS: reset_outputs(driver, instance); return kHostOk;
        case DRV_READ_INPUTS: read_inputs(image_of(driver, instance), instance, *host_record); return kHostOk;
        case DRV_WRITE_OUTPUTS: write_outputs(image_of(driver, instance), instance, *host_record); return kHostOk;
        case DRV_SAVE_SETTINGS:
            save_settings(module.config_path, instance.number, instance.delay_ms.load());
            return kHostOk;
        case DRV_CONFIGURE: return configure(module, instance);
        case DRV_DELETE:
            // Its record is about to be overwritten: a thread left polling could never be stopped.
            if (instance.polling_card != kNoCard) stop(driver, instance);
            return delete_instance(driver.instances, slot) ? kHostOk : kHostFailed;
        default: return kHostOk;  // 5 and 6: nothing beyond the number already stored
    }
}

// The module's one context, made at load and freed at unload: the only state the module keeps. A
// poll thread and a trace writer hold the module loaded while they run (on Windows), so the
// context outlives every thread that uses it. Made in place and never destroyed by the C++
// runtime, whose destructors would also run at the process's exit: there nothing but the all-off
// frame may run (module_unload).
alignas(ModuleContext) unsigned char g_context_storage[sizeof(ModuleContext)];

ModuleContext& module_context() {
    static ModuleContext* const context = new (g_context_storage) ModuleContext(make_platform_backend());
    return *context;
}

}  // namespace

int32_t driver_entry(ModuleContext& module, uint32_t number, uint32_t command, HostRecord* host_record,
                     HostDriverRecord* host_driver_record, const char* config_path) {
    // Called back from the no-card box's message loop (a host's timer): the start it interrupts
    // still owns the instance table, so only the image may be read or written meanwhile.
    if (notice_waiting_on_this_thread() && command != DRV_READ_INPUTS && command != DRV_WRITE_OUTPUTS) {
        return kHostFailed;
    }
    DriverContext& driver = module.driver;
    driver.host_record.store(host_record);
    module.config_path = config_path;

    if (command == DRV_CREATE || command == DRV_ATTACH) {
        DriverInstance* added = add_instance(driver.instances, number, host_driver_record);
        if (added == nullptr) return kHostFailed;
        // Attach keeps whatever delay the slot holds; create reads the instance's own from the file.
        if (command == DRV_CREATE) added->delay_ms.store(load_settings(config_path, number));
        return kHostOk;
    }
    if (!addresses_existing_instance(command)) return kHostFailed;

    DriverInstance* instance = instance_at(driver.instances, host_driver_record);
    if (instance == nullptr) return kHostFailed;
    if (uses_host_tables(command) && (host_record == nullptr || number > kHighestTableNumber)) return kHostFailed;
    // A slot past the count holds no instance (a second delete through the same record): its
    // delete would free another's slot.
    if (command == DRV_DELETE && !slot_in_use(driver.instances, host_driver_record->slot)) return kHostFailed;

    instance->number = number;
    return run_on_instance(module, command, *instance, host_record, host_driver_record->slot);
}

void module_load(void* instance_handle) { module_context().module_handle = instance_handle; }

void module_unload(bool process_ends) {
    ModuleContext& context = module_context();
    send_all_off_at_unload(context.driver);
    // At the process's exit the other threads are gone, and may have held any lock, the heap's
    // too: nothing more is done. At FreeLibrary no thread of ours is left (each holds the module).
    if (!process_ends) context.~ModuleContext();
}

}  // namespace vek

extern "C" int32_t VEK_CDECL DriverEntry(uint32_t number, uint32_t command, HostRecord* host_record,
                                         HostDriverRecord* host_driver_record, const char* config_path) {
    return vek::driver_entry(vek::module_context(), number, command, host_record, host_driver_record, config_path);
}
