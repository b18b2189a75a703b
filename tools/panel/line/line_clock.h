// The clocks the line is measured and stamped with: the steady clock for how long things took,
// the wall clock for when they happened, and the local time the records are written in.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace vek::panel {

// The steady clock in microseconds, as the monitor stamps answers.
int64_t monitor_now_us();
// The wall clock now, in µs since 1970.
int64_t wall_now_us();
// "2026-12-08T15:32:09.060+01:00": ISO 8601, local time with its offset from UTC, so that records
// written in another time zone, or across a change to winter time, still sort and line up.
std::string local_time_text(int64_t wall_us);
// "+01:00": the offset of local time from UTC, from the two calendars of one moment.
std::string utc_offset_text(const std::tm& local, const std::tm& utc);

// The local and the UTC date and time of seconds since 1970; false when the system cannot
// say. The platform's: line_clock_posix.cpp, line_clock_win32.cpp.
bool local_calendar(std::time_t seconds, std::tm* local);
bool utc_calendar(std::time_t seconds, std::tm* utc);

}  // namespace vek::panel
