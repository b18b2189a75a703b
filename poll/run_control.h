// Starting, stopping and resetting an instance's exchange with the card.
#pragma once

#include <cstdint>

#include "poll/driver_context.h"
#include "poll/instance_table.h"

namespace vek {

// line_held: a poll thread that stop gave up on still held the line after start's wait for it.
// port_unusable: the settings name a port that is none; no port was tried.
enum class StartResult { polling, no_card, no_thread, line_held, port_unusable };

// What the instance's link settings ask of a start; the host layer reads them from its file.
struct StartOptions {
    uint32_t port = 0;                 // 1 to 255: that port alone is probed; 0: COM1 to COM127 are scanned
    bool port_unusable = false;        // a port key that names no port: the start fails, the note says why
    const char* trace_path = nullptr;  // null or empty: no trace
    bool trace_frames = false;
    const char* settings_note = nullptr;  // why a setting was not used, for the trace; may be empty
};

// DRV_START: find the card and start the instance's poll thread. The host's thread waits a
// bounded time at most: for a thread that stop abandoned to let go of the line, then the scan.
StartResult start(DriverContext& driver, DriverInstance& instance, const StartOptions& options = StartOptions{});

// DRV_STOP: have the poll thread send the all-off frame, read the card's answer to it, and end;
// then close the port. A thread that does not answer within 5 s is abandoned, never killed: it
// ends, sends the all-off frame and closes the port and the trace by itself once its system call
// returns.
void stop(DriverContext& driver, DriverInstance& instance);

// DRV_RESET_OUTPUTS: switch every output off and wait until the card has taken it.
void reset_outputs(DriverContext& driver, DriverInstance& instance);

// At the module's unload or the process's exit, from the platform's unload hook: each card still
// owed its all-off frame (from its poll thread's start until a final frame went out, a stop in
// progress included) gets it, written without any lock or allocation (at process exit the other
// threads are already killed, and may have held one) and without waiting on any thread. Best
// effort: a port busy with a killed thread's write may refuse it.
void send_all_off_at_unload(DriverContext& driver);

}  // namespace vek
