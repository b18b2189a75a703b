// What the driver tells the people who run it goes through this one seam. The layers below only
// say what happened; the host layer installs how the platform tells it (a message box, the
// debugger's output, standard error), and a test installs its own to see what was said.
#pragma once

#include <cstddef>

namespace vek {

// The caption of the message box, and the start of every line reported.
constexpr const char* kNoticeCaption = "VEK KORVANEX driver";
constexpr const char* kNoCardText = "Cannot find I/O card, please check connection";
// One reported line, its text after the caption; longer text is cut.
constexpr std::size_t kNoticeChars = 480;

// Plain functions rather than an object: a copy serves a thread that outlives the context it came
// from (a trace writer left to finish on its own), with nothing to dangle.
struct Notices {
    // No card answered a start: kNoCardText, shown to the user as the platform shows it. May
    // wait for the user to close it.
    void (*no_card)() noexcept;
    // One line, without its line end, for whoever watches the process.
    void (*report)(const char* text) noexcept;
};

// report() of one printf-formatted line, cut at kNoticeChars.
void report_line(const Notices& notices, const char* format, ...) noexcept
    __attribute__((format(VEK_PRINTF_FORMAT, 2, 3)));

}  // namespace vek
