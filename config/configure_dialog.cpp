#include "config/configure_dialog.h"

// The dialog is not built yet: report that it could not be shown.
int32_t configure_dialog(DriverInstance&) { return -1; }
