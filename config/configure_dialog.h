// DRV_CONFIGURE: the modal dialog in which the user edits an instance's poll delay.
#pragma once

#include <cstdint>

#include "host/instance_table.h"

// The dialog's end codes, as the platform's modal dialog returns them.
constexpr int32_t kDialogOk = 1;
constexpr int32_t kDialogCancel = 2;
constexpr int32_t kDialogFailed = -1;

// Returns the dialog's end code: 1 after OK (delay stored and saved), 2 after Cancel or closing
// the dialog (nothing changed), -1 when the dialog cannot be shown.
int32_t configure_dialog(DriverInstance& instance);

// What OK does wherever the dialog is shown: the instance takes the new delay, and the
// configuration file gets it at once.
void accept_delay(DriverInstance& instance, uint32_t delay_ms);
