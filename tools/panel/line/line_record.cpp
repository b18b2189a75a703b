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
// What follows the time stamp on a trace's first line.
constexpr char kTraceTitle[] = "vek-panel trace: ";

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

bool trace_first_line_is_ours(const std::string& line) {
    // "2026-12-08 15:32:09.060 vek-panel trace: ...": a digit wherever the stamp has one.
    static const char kStamp[] = "dddd-dd-dd dd:dd:dd.ddd ";
    const std::size_t stamp = sizeof kStamp - 1;
    if (line.size() < stamp) return false;
    for (std::size_t i = 0; i < stamp; ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kStamp[i] == 'd' ? !digit : line[i] != kStamp[i]) return false;
    }
    return line.compare(stamp, sizeof kTraceTitle - 1, kTraceTitle) == 0;
}

LineTrace::~LineTrace() { close(); }

void LineTrace::open(FILE* file, const std::string& path, const std::string& what) {
    file_ = file;
    path_ = path;
    std::fprintf(file_, "%s %s%s; tx host to card, rx card to host\n", local_time_text(wall_now_us()).c_str(),
                 kTraceTitle, what.c_str());
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
