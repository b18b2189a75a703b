// DRV_CONFIGURE: the modal dialog in which the user edits an instance's poll delay.
#pragma once

#include <cstdint>

#include "host/instance_table.h"

// Returns the dialog's end code: 1 after OK (delay stored and saved), 2 after Cancel, -1 when the
// dialog cannot be shown.
int32_t configure_dialog(DriverInstance& instance);
