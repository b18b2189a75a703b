// The link's trace for the field: one line per event, appended to a file the user names, each
// line starting with the local date and time to the millisecond:
//
//   2026-12-08 14:03:07.123 COM3 found after 12 ms
//   2026-12-08 14:03:07.180 (3 lines dropped) card silent for 1520 ms
//
// A caller never waits for the disk: line() formats into a fixed-size slot of a bounded queue
// (no heap allocation), and a writer thread of the trace's own appends the lines. When the queue
// is full a line is dropped, and the next line that gets in says how many were. Lines the writer
// could not write are told the same way by the next one it writes.
//
// The file: only a regular file the trace may take as its own. A symbolic link at the path (a
// reparse point on Windows), a FIFO, a device or a folder is refused, and so is a file that is
// not empty and does not begin with a line of the trace's (a time as above), such as the host's
// settings. The trace holds its file exclusively while open (flock on Linux, a byte-range lock
// far past the end on Windows, where the file is shared for reading, writing and deleting, so
// that any reader may follow it), so a second trace on the same file, in this process or
// another, is refused, unless it joins the first one's writer with share(). A relative path is
// made absolute against the folder current at open(), once: the host changing its folder later
// moves nothing.
//
// At file_cap bytes the file is renamed to "<path>.1", replacing the one before, and a new one
// begins. A file is never emptied: if the rename fails for any other reason than the file being
// gone (a reader holds it without delete sharing), the file is written on past its cap and the
// rename tried again at each further eighth of the cap, told once; at twice the cap tracing
// stops, told once more, and the file keeps its lines. The trace writes to path
// and "<path>.1" and nowhere else, and whole lines only: a write that fails part way (a full
// disk, a file-size limit) is cut back to the end of the last whole line on Linux. A file
// deleted or replaced while written is reopened by name, with the same checks, at the next
// rotation or after a failed write; on Linux the lines written until then go to the deleted file.
//
// Without a path the trace is off: no thread, no file, and line() returns at once. A file that
// cannot be opened or is refused leaves the trace off and is reported once through the notices
// it was made with; a file that cannot be written later is reported once too. No write of the
// trace's can end the host's process (SIGPIPE and SIGXFSZ are blocked on its writer thread), and
// no stop waits on it past kTraceCloseTimeoutMs.
//
// Threads: open() and close() are the owner's, called while no other thread uses the trace
// (before the poll thread starts, after it has ended). Between them, line(), bytes(), frame(),
// flush() and dropped() may be called from any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/notices.h"

namespace vek {

constexpr uint64_t kTraceFileCap = 10u * 1024u * 1024u;
constexpr std::size_t kTraceQueueLines = 1024;
// The text of one line after its time; longer text is cut. bytes() splits rather than cuts.
constexpr std::size_t kTraceLineChars = 232;

// Generous: the writer's work between two checks is one batch of lines, a few milliseconds of
// disk time; only a file system that has stopped answering takes longer.
constexpr uint32_t kTraceCloseTimeoutMs = 2000;
constexpr uint32_t kTraceFlushTimeoutMs = 10000;

struct TraceShared;  // the queue and the file, shared with the writer thread

class Trace {
public:
    explicit Trace(const Notices& notices) : notices_(notices) {}
    ~Trace() { close(); }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Closes any trace open before, then opens path for appending and starts the writer. A null
    // or empty path leaves the trace off and returns true: there is nothing to report. false
    // when the file cannot be opened, is refused (above) or no thread can be made, reported once.
    bool open(const char* path, bool frames, uint64_t file_cap = kTraceFileCap,
              std::size_t queue_lines = kTraceQueueLines) noexcept;

    // Writes what is queued and ends the writer, waiting at most kTraceCloseTimeoutMs; a writer
    // stuck in the file system past that is left to finish on its own, and reported.
    void close() noexcept;

    // Joins the writer of `owner`, a trace open on the file this one's settings name too: two
    // cards traced to one file share its writer (the file is held once), and from then on every
    // line in it begins with its trace's label, so that the cards' lines are told apart. The
    // writer ends when the last trace on it closes. Called as open() is; false when owner is off.
    // frames: as open()'s, for this trace's own lines.
    bool share(const Trace& owner, bool frames) noexcept;
    // Whether this trace is open on the file path names, made absolute as open() makes it.
    bool writes_to(const char* path) const noexcept;
    // What begins this trace's lines once its file is shared ("driver 1 COM3"): set while no
    // other thread writes through this trace, as open() is.
    void set_label(const char* label) noexcept;

    bool on() const noexcept { return shared_ != nullptr; }
    bool frames() const noexcept { return frames_; }

    // One line of printf-formatted text. The format is checked as the C library's own printf's
    // (VEK_PRINTF_FORMAT, chosen by the build: mingw-w64's functions are C99's, not the MSVC
    // runtime's). Line ends in the text become spaces.
    void line(const char* format, ...) noexcept __attribute__((format(VEK_PRINTF_FORMAT, 2, 3)));

    // "<label> 02 00 00 00 00 03 FC": the bytes in hex after a label, over as many lines as it
    // takes. Always traced: bad frames and stray bytes use it.
    void bytes(const char* label, const uint8_t* data, std::size_t n) noexcept;

    // As bytes(), only when the trace shows every frame (trace_frames=1).
    void frame(const char* direction, const uint8_t* data, std::size_t n) noexcept {
        if (frames_) bytes(direction, data, n);
    }

    // Waits until every line queued before the call has been written or lost, at most
    // kTraceFlushTimeoutMs; false when the writer did not get there in time. For tests and for
    // stop, which wants its last line on disk before the host unloads the driver.
    bool flush() noexcept;

    // Lines dropped because the queue was full, since open().
    uint64_t dropped() const noexcept;

private:
    void push(uint64_t stamp, const char* text, std::size_t n) noexcept;
    // Writes "[label] " at text when the file is shared; the characters written.
    std::size_t lead(char* text, std::size_t room) const noexcept;

    Notices notices_;
    std::shared_ptr<TraceShared> shared_;
    bool frames_ = false;
    char label_[32] = {};
};

}  // namespace vek
