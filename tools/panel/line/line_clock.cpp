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

std::string local_time_text(int64_t wall_us) {
    const std::time_t seconds = static_cast<std::time_t>(wall_us / 1000000);
    std::tm local{};
    char text[48];
    if (!local_calendar(seconds, &local) ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
        return "?";
    }
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>((wall_us / 1000) % 1000));
    return std::string(text) + millis;
}

}  // namespace vek::panel
