// Starting, stopping and resetting an instance's exchange with the card.
#pragma once

#include <cstdint>

#include "host/instance_table.h"

// DRV_START: find the card and start the instance's poll thread. 0, or -1 when no card answered
// or the thread could not be started.
int32_t start(DriverInstance& instance);

// DRV_STOP: have the poll thread send the all-off frame and end, then close the port.
int32_t stop(DriverInstance& instance);

// DRV_RESET_OUTPUTS: switch every output off and wait until the card has taken it.
int32_t reset_outputs(DriverInstance& instance);
