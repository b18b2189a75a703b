// The poll thread's answer to a port found gone (a USB adapter dropped off the bus, a cable
// pulled): it reopens the same port by itself, never another, since a different device may sit
// on another one.
#pragma once

#include "poll/driver_context.h"
#include "poll/instance_table.h"
#include "poll/stop_signal.h"

namespace vek {

// Closes the lost port, then tries to open the same one again, first after 100 ms and then once a
// second, sleeping on the stop signal in between. True with the port open again and RTS and DTR
// raised, as discovery leaves them; false as soon as stop asks the thread to end, with the port
// closed.
bool reopen_lost_port(DriverContext& driver, const DriverInstance& instance, StopSignal& stop);

}  // namespace vek
