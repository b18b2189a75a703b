#include "dialog/configure_dialog.h"
#include "dialog/terminal_dialog.h"

namespace vek {

// The user who started the host is on its controlling terminal. Without one (a service, a
// detached job) there is nowhere to show the dialog, and opening it fails.
int32_t configure_dialog(const DialogRequest& request) { return run_terminal_dialog(request, "/dev/tty"); }

}  // namespace vek
