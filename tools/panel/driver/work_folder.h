// The panel's own folder for a run, in the system's temporary folder: the trace it lends the
// driver is kept there, and goes with it.
#pragma once

#include <string>

namespace vek::panel {

// A new folder; false with the reason.
bool make_work_folder(std::string* folder, std::string* error);

}  // namespace vek::panel
