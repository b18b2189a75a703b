// The panel's live view on the terminal: inputs as lamps, outputs as switches, the analog values
// with bars, and the state of the line, refreshed with every host cycle.
#pragma once

#include <csignal>

#include "panel/session/panel_session.h"

namespace vek::panel {

// Runs until q, Ctrl-C or interrupted; the caller stops the driver afterwards.
int run_live_view(PanelSession& session, const volatile std::sig_atomic_t* interrupted);

}  // namespace vek::panel
