// The trace of the line (--trace): one line per frame each way, with the local date and time to
// the millisecond (ISO 8601, with the UTC offset), the frame in hex and what it means or what is
// wrong with it, and a line where the card falls silent and where it answers again. Written from the
// panel's own thread with buffered writes; the line monitor only queues what it saw. The file is
// opened by whoever keeps the records, which knows how a record may be opened.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "panel/line/line_event.h"

namespace vek::panel {

// One trace line, without its newline:
//   2026-12-08T15:32:09.060+01:00 tx 02 04 00 00 00 03 F8        outputs 3 on, analog out 0 0
std::string trace_line(const LineEvent& event);

// Whether a file's first line is the one LineTrace::open writes: the file is an earlier trace.
bool trace_first_line_is_ours(const std::string& line);

class LineTrace {
public:
    LineTrace() = default;
    ~LineTrace();
    LineTrace(const LineTrace&) = delete;
    LineTrace& operator=(const LineTrace&) = delete;

    // Takes file, open for appending at path and fully buffered (the panel writes whole lines a
    // batch, flushed once a cycle), and writes a first line saying what is traced, and the
    // session's header (the version and the options).
    void open(FILE* file, const std::string& path, const std::string& what, const std::string& session);
    // dropped: events the monitor's queue had no room for since the last call.
    void write(const std::vector<LineEvent>& events, uint64_t dropped);
    bool failed() const { return failed_; }  // a line could not be written
    // One line of the panel's own, stamped now ("driver started on COM1, delay 50 ms").
    void note(const std::string& text);
    // Bytes in the file so far; 0 when closed.
    long size() const;
    void close();

private:
    // The silence line before a frame to the card that follows one the card never answered,
    // and the line saying it answers again.
    void note_silence(const LineEvent& event);

    bool awaiting_answer_ = false;  // a frame went to the card and nothing came back yet
    uint64_t unanswered_ = 0;       // frames the card has not answered since it fell silent
    FILE* file_ = nullptr;
    std::string path_;
    bool failed_ = false;   // a failed write is told once, on standard error
};

}  // namespace vek::panel
