#include "panel/line/line_clock.h"

namespace vek::panel {

bool local_calendar(std::time_t seconds, std::tm* local) { return ::localtime_s(local, &seconds) == 0; }

bool utc_calendar(std::time_t seconds, std::tm* utc) { return ::gmtime_s(utc, &seconds) == 0; }

}  // namespace vek::panel
