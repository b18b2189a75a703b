#include "panel/line/line_clock.h"

namespace vek::panel {

bool local_calendar(std::time_t seconds, std::tm* local) { return ::localtime_r(&seconds, local) != nullptr; }

bool utc_calendar(std::time_t seconds, std::tm* utc) { return ::gmtime_r(&seconds, utc) != nullptr; }

}  // namespace vek::panel
