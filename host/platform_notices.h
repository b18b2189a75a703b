// How this platform tells the user what the driver has to say; installed in the module's context.
#pragma once

#include "support/notices.h"

namespace vek {

// Windows: the no-card message box, and reports to the debugger's output and standard error.
// Elsewhere: both as lines on standard error, which is where a Linux host's user looks.
Notices platform_notices();

// True while this thread shows the no-card box: a host's timer run by the box's message loop may
// call DriverEntry again meanwhile, inside the start that is still finishing.
bool notice_waiting_on_this_thread() noexcept;

}  // namespace vek
