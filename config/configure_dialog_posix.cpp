#include "config/configure_dialog.h"
#include "config/terminal_dialog.h"

// The user who started the host is on its controlling terminal. Without one (a service, a
// detached job) there is nowhere to show the dialog, and opening it fails.
int32_t configure_dialog(DriverInstance& instance) { return run_terminal_dialog(instance, "/dev/tty"); }
