// A card's poll thread's work: send the outputs, take the card's answer, wait the card's delay,
// again and again until stop asks it to end.
#pragma once

#include <cstdint>

#include "poll/driver_context.h"
#include "poll/stop_signal.h"

namespace vek {

// Runs until stop_request is set or `stop` is raised, then sends the all-off frame and clears
// stop_request to acknowledge. Every cycle that took a valid frame adds one to cycle_count.
void poll_loop(DriverContext& driver, Card& card, StopSignal& stop);

// Run by an abandoned poll thread once poll_loop has returned: it closes the port that stop left
// open for it and the trace, then no longer counts as holding the line.
void let_go_of_line(Card& card);

}  // namespace vek
