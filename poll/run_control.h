// Starting, stopping and resetting an instance's exchange with the card.
#pragma once

#include <cstdint>

#include "poll/driver_context.h"
#include "poll/instance_table.h"

namespace vek {

enum class StartResult { polling, no_card, no_thread };

// DRV_START: find the card and start the instance's poll thread.
StartResult start(DriverContext& driver, DriverInstance& instance);

// DRV_STOP: have the poll thread send the all-off frame and end, then close the port.
void stop(DriverContext& driver, DriverInstance& instance);

// DRV_RESET_OUTPUTS: switch every output off and wait until the card has taken it.
void reset_outputs(DriverContext& driver, DriverInstance& instance);

}  // namespace vek
