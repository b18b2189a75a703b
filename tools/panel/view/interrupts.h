// Ctrl-C and the other ways a user or the system asks the panel to end: each sets *flag, and
// the panel then stops the driver (the card is left all off) before it exits.
#pragma once

#include <csignal>

namespace vek::panel {

void catch_interrupts(volatile std::sig_atomic_t* flag);

// The panel has stopped the driver: a console close waiting for that may let the process end.
void interrupts_done();

}  // namespace vek::panel
