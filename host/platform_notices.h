// How this platform tells the user what the driver has to say; installed in the module's context.
#pragma once

#include "support/notices.h"

namespace vek {

// Windows: the no-card message box, and reports to the debugger's output and standard error.
// Elsewhere: both as lines on standard error, which is where a Linux host's user looks.
Notices platform_notices();

}  // namespace vek
