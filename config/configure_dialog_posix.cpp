#include "config/configure_dialog.h"
#include "config/terminal_dialog.h"

namespace vek {

// The user who started the host is on its controlling terminal. Without one (a service, a
// detached job) there is nowhere to show the dialog, and opening it fails.
int32_t configure_dialog(DriverContext& driver, DriverInstance& instance) {
    return run_terminal_dialog(driver.config_path, instance, "/dev/tty");
}

}  // namespace vek
