#include "panel/line/line_clock.h"

#include <chrono>
#include <cstdio>

namespace vek::panel {

int64_t monitor_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wall_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string utc_offset_text(const std::tm& local, const std::tm& utc) {
    // The two calendars are at most a day apart; a year's turn counts as one day either way.
    const int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1) : local.tm_yday - utc.tm_yday;
    const int minutes = days * 1440 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    const int size = minutes < 0 ? -minutes : minutes;
    char text[16];
    std::snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+', size / 60, size % 60);
    return text;
}

std::string local_time_text(int64_t wall_us) {
    const std::time_t seconds = static_cast<std::time_t>(wall_us / 1000000);
    std::tm local{};
    std::tm utc{};
    char text[48];
    if (!local_calendar(seconds, &local) || !utc_calendar(seconds, &utc) ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return "?";
    }
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>((wall_us / 1000) % 1000));
    return std::string(text) + millis + utc_offset_text(local, utc);
}

}  // namespace vek::panel
