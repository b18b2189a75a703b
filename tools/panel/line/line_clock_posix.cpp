#include "panel/line/line_clock.h"

bool local_calendar(std::time_t seconds, std::tm* local) { return ::localtime_r(&seconds, local) != nullptr; }
