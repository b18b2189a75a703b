// DRV_CONFIGURE: the modal dialog in which the user edits an instance's poll delay.
#pragma once

#include <cstdint>

#include "poll/driver_context.h"
#include "poll/instance_table.h"

namespace vek {

// The dialog's end codes, as the platform's modal dialog returns them.
constexpr int32_t kDialogOk = 1;
constexpr int32_t kDialogCancel = 2;
constexpr int32_t kDialogFailed = -1;

// Returns the dialog's end code: 1 after OK (delay stored and saved), 2 after Cancel or closing
// the dialog (nothing changed), -1 when the dialog cannot be shown: the platform's own end codes,
// which the host receives as they are.
int32_t configure_dialog(DriverContext& driver, DriverInstance& instance);

// What OK does wherever the dialog is shown: the instance takes the new delay, and the
// configuration file at config_path gets it at once.
void accept_delay(const char* config_path, DriverInstance& instance, uint32_t delay_ms);

}  // namespace vek
