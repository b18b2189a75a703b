// The poll thread's work: send the outputs, wait the instance's delay, take the card's answer,
// again and again until stop asks it to end.
#pragma once

#include <cstdint>

#include "host/instance_table.h"
#include "poll/stop_signal.h"

// Runs until stop_request is set or `stop` is raised, then sends the all-off frame and clears
// stop_request to acknowledge. Every cycle that took a valid frame adds one to cycle_count.
// Returns 0.
int32_t poll_loop(DriverInstance& instance, StopSignal& stop);
