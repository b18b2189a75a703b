#include "support/notices.h"

#include <cstdarg>
#include <cstdio>

namespace vek {

void report_line(const Notices& notices, const char* format, ...) noexcept {
    char text[kNoticeChars + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    notices.report(n < 0 ? "(a report that could not be formatted)" : text);
}

}  // namespace vek
