#include "panel/line/line_record.h"

#include <cerrno>
#include <cstring>

#include "panel/line/frame_meaning.h"
#include "panel/line/frame_watch.h"
#include "panel/line/line_clock.h"
#include "panel/line/line_tally.h"

namespace vek::panel {

namespace {

// The longest frame's hex, so that meanings line up in a column.
constexpr std::size_t kHexColumn = 26;

}  // namespace

std::string trace_line(const LineEvent& event) {
    std::string line = local_time_text(event.wall_us) + " ";
    if (event.kind == LineEvent::Kind::line_lost) return line + "card line lost: the device has gone";
    if (event.kind == LineEvent::Kind::line_back) return line + "card line open";
    const std::size_t shown = event.size < LineEvent::kShownBytes ? event.size : LineEvent::kShownBytes;
    std::string hex = frame_text(event.bytes.data(), shown);
    if (shown < event.size) hex += " ...";
    if (hex.size() < kHexColumn) hex.append(kHexColumn - hex.size(), ' ');
    line += std::string(event.to_card ? "tx " : "rx ") + hex + "  ";
    switch (event.kind) {
    case LineEvent::Kind::frame:
        if (event.to_card) return line + output_frame_meaning(event.bytes.data());
        line += input_frame_meaning(event.bytes.data());
        if (event.answer_us >= 0) {
            char answered[64];
            std::snprintf(answered, sizeof answered, ", answered in %.1f ms%s", static_cast<double>(event.answer_us) / 1000.0,
                          event.answer_us > kAnswerWindowUs ? ": late" : "");
            line += answered;
        }
        return line;
    case LineEvent::Kind::bad_frame:
        return line + frame_fault(event.bytes.data(), shown);
    case LineEvent::Kind::stray:
        return line + "stray bytes (" + std::to_string(event.size) + ")";
    case LineEvent::Kind::line_lost:
    case LineEvent::Kind::line_back:
        break;
    }
    return line;
}

LineTrace::~LineTrace() { close(); }

void LineTrace::open(FILE* file, const std::string& path, const std::string& what) {
    file_ = file;
    path_ = path;
    // Whole lines a batch: the panel flushes once a cycle, never a line at a time.
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    std::fprintf(file_, "%s vek-panel trace: %s; tx host to card, rx card to host\n",
                 local_time_text(wall_now_us()).c_str(), what.c_str());
    write({}, 0);
}

void LineTrace::write(const std::vector<LineEvent>& events, uint64_t dropped) {
    if (file_ == nullptr) return;
    if (dropped > 0) {
        std::fprintf(file_, "%s %llu events not traced: the panel fell behind the line\n",
                     local_time_text(wall_now_us()).c_str(), static_cast<unsigned long long>(dropped));
    }
    for (const LineEvent& event : events) std::fprintf(file_, "%s\n", trace_line(event).c_str());
    if (std::fflush(file_) != 0 && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "vek-panel: cannot write the trace %s: %s\n", path_.c_str(), std::strerror(errno));
    }
}

void LineTrace::close() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace vek::panel
