#include "panel/line/line_clock.h"

namespace vek::panel {

bool local_calendar(std::time_t seconds, std::tm* local) { return ::localtime_r(&seconds, local) != nullptr; }

}  // namespace vek::panel
