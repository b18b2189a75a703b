#include <cstdio>

#include "host/platform_notices.h"

namespace vek {

namespace {

void report(const char* text) noexcept {
    std::fprintf(stderr, "%s: %s\n", kNoticeCaption, text);
    std::fflush(stderr);
}

// No desktop to own a message box: the caption and the text go to standard error as one line.
void no_card() noexcept { report(kNoCardText); }

}  // namespace

Notices platform_notices() { return Notices{no_card, report}; }

bool notice_waiting_on_this_thread() noexcept { return false; }  // lines on standard error wait for nobody

}  // namespace vek
