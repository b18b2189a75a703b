#include "poll/run_control.h"

// Polling is not built yet: these refuse rather than report work that was not done.

int32_t start(DriverInstance&) { return -1; }

int32_t stop(DriverInstance&) { return -1; }

int32_t reset_outputs(DriverInstance&) { return -1; }
