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
    // "2026-12-08T15:32:09.060+01:00 vek-panel trace: ...": a digit wherever the stamp has one,
    // either sign for the offset; traces of earlier versions began "2026-12-08 15:32:09.060 ".
    for (const char* stamp : {"dddd-dd-ddTdd:dd:dd.ddd+dd:dd ", "dddd-dd-dd dd:dd:dd.ddd "}) {
        const std::size_t size = std::strlen(stamp);
        bool ok = line.size() >= size;
        for (std::size_t i = 0; ok && i < size; ++i) {
            const char c = line[i];
            ok = stamp[i] == 'd' ? c >= '0' && c <= '9' : stamp[i] == '+' ? c == '+' || c == '-' : c == stamp[i];
        }
        if (ok) return line.compare(size, sizeof kTraceTitle - 1, kTraceTitle) == 0;
    }
    return false;
}

LineTrace::~LineTrace() { close(); }

void LineTrace::open(FILE* file, const std::string& path, const std::string& what, const std::string& session) {
    file_ = file;
    path_ = path;
    std::fprintf(file_, "%s %s%s; tx host to card, rx card to host; %s\n", local_time_text(wall_now_us()).c_str(),
                 kTraceTitle, what.c_str(), session.c_str());
    write({}, 0);
}

void LineTrace::write(const std::vector<LineEvent>& events, uint64_t dropped) {
    if (file_ == nullptr) return;
    if (dropped > 0) {
        std::fprintf(file_, "%s %llu events not traced: the panel fell behind the line\n",
                     local_time_text(wall_now_us()).c_str(), static_cast<unsigned long long>(dropped));
    }
    for (const LineEvent& event : events) {
        note_silence(event);
        std::fprintf(file_, "%s\n", trace_line(event).c_str());
    }
    if (std::fflush(file_) != 0 && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "vek-panel: cannot write the trace %s: %s\n", path_.c_str(), std::strerror(errno));
    }
}

void LineTrace::note_silence(const LineEvent& event) {
    const std::string at = local_time_text(event.wall_us);
    if (event.kind == LineEvent::Kind::line_lost || event.kind == LineEvent::Kind::line_back) {
        awaiting_answer_ = false;
        unanswered_ = 0;
        return;
    }
    if (event.to_card) {
        // Only a frame is waited for: stray bytes from the host ask nothing of the card.
        if (event.kind != LineEvent::Kind::frame) return;
        if (awaiting_answer_ && ++unanswered_ == 1) {
            std::fprintf(file_, "%s card silent: no answer to the frame before this one\n", at.c_str());
        }
        awaiting_answer_ = true;
        return;
    }
    if (event.kind == LineEvent::Kind::stray) return;
    if (unanswered_ > 0) {
        std::fprintf(file_, "%s card answers again, after %llu unanswered frames\n", at.c_str(),
                     static_cast<unsigned long long>(unanswered_));
    }
    awaiting_answer_ = false;
    unanswered_ = 0;
}

void LineTrace::note(const std::string& text) {
    if (file_ == nullptr) return;
    std::fprintf(file_, "%s %s\n", local_time_text(wall_now_us()).c_str(), text.c_str());
    if (std::fflush(file_) != 0 && !failed_) {
        failed_ = true;
        std::fprintf(stderr, "vek-panel: cannot write the trace %s: %s\n", path_.c_str(), std::strerror(errno));
    }
}

long LineTrace::size() const { return file_ == nullptr ? 0 : std::ftell(file_); }

void LineTrace::close() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace vek::panel
