// DRV_CONFIGURE: the modal dialog in which the user edits an instance's poll delay. The host
// layer hands it what it works on, so that it knows nothing of the instances or their threads.
#pragma once

#include <atomic>
#include <cstdint>

namespace vek {

// The dialog's end codes, as the platform's modal dialog returns them.
constexpr int32_t kDialogOk = 1;
constexpr int32_t kDialogCancel = 2;
constexpr int32_t kDialogFailed = -1;

struct DialogRequest {
    void* module_handle;              // whose resources hold the dialog's template (Windows)
    const char* config_path;          // where OK saves the delay
    uint32_t number;                  // the instance's driver number: its section in the file
    std::atomic<uint32_t>* delay_ms;  // shown as the dialog opens, set on OK; a poll thread reads it
};

// Returns the dialog's end code: 1 after OK (delay stored and saved), 2 after Cancel or closing
// the dialog (nothing changed), -1 when the dialog cannot be shown: the platform's own end codes,
// which the host receives as they are.
int32_t configure_dialog(const DialogRequest& request);

// What OK does wherever the dialog is shown: the instance takes the new delay, and the
// configuration file gets it at once.
void accept_delay(const DialogRequest& request, uint32_t delay_ms);

}  // namespace vek
