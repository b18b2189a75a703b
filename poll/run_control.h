// Starting, stopping and resetting an instance's exchange with the card.
#pragma once

#include <cstdint>

#include "poll/driver_context.h"
#include "poll/instance_table.h"

namespace vek {

// line_held: a poll thread that stop gave up on still held the line after start's wait for it.
enum class StartResult { polling, no_card, no_thread, line_held };

// DRV_START: find the card and start the instance's poll thread. The host's thread waits a
// bounded time at most: for a thread that stop abandoned to let go of the line, then the scan.
StartResult start(DriverContext& driver, DriverInstance& instance);

// DRV_STOP: have the poll thread send the all-off frame and end, then close the port. A thread
// that does not answer within 5 s is abandoned, never killed: it ends, sends the all-off frame
// and closes the port by itself once its system call returns.
void stop(DriverContext& driver, DriverInstance& instance);

// DRV_RESET_OUTPUTS: switch every output off and wait until the card has taken it.
void reset_outputs(DriverContext& driver, DriverInstance& instance);

// At the module's unload or the process's exit, from the platform's unload hook: when an instance
// polls, the card gets the all-off frame, written without any lock (at process exit the other
// threads are already killed, and may have held one) and without waiting on any thread. Best
// effort: a port busy with a killed thread's write may refuse it.
void send_all_off_at_unload(DriverContext& driver);

}  // namespace vek
