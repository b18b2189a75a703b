#include "support/trace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "support/notices.h"
#include "support/trace_platform.h"

namespace vek {

namespace {

// An idle writer has nothing to do until a line comes; the bound only caps what a lost wake-up
// could cost.
constexpr auto kWriterIdleWake = std::chrono::seconds(10);
constexpr auto kCloseTimeout = std::chrono::milliseconds(kTraceCloseTimeoutMs);
constexpr auto kFlushTimeout = std::chrono::milliseconds(kTraceFlushTimeoutMs);

// "(4294967295 lines dropped) "
constexpr std::size_t kDroppedNoteChars = 32;
// A line as written: time, space, note, text, line end.
constexpr std::size_t kMaxLineBytes = kTraceTimeChars + 1 + kDroppedNoteChars + kTraceLineChars + 2;
// Lines go to the file a batch at a time, one write call each.
constexpr std::size_t kBatchBytes = 16384;

// bytes(): 32 bytes as " XX" take 96 characters, which leaves the label room in a line.
constexpr std::size_t kBytesPerLine = 32;
constexpr std::size_t kLabelChars = 64;

constexpr intptr_t kClosed = -1;

// Tells the user, once, that the trace at path cannot be written, and why in the system's words.
void report_trace(const Notices& notices, const char* path, const char* what, TraceError error) {
    char reason[128];
    trace_error_text(error, reason, sizeof reason);
    report_line(notices, "trace %s %s%s", path, what, reason);
}

// Whether the first bytes of a file are those of a trace: empty, or a line that begins with its
// time ("2026-12-08 14:03:07.123 ", or what trace_local_time writes without one).
bool starts_like_trace(const char* head, std::size_t n) {
    if (n == 0) return true;
    if (n <= kTraceTimeChars || head[kTraceTimeChars] != ' ') return false;
    static const char kNoTime[] = "(no local time)";
    if (std::memcmp(head, kNoTime, sizeof kNoTime - 1) == 0) return true;
    static const char kShape[] = "0000-00-00 00:00:00.000";
    for (std::size_t i = 0; i < kTraceTimeChars; ++i) {
        const bool digit = head[i] >= '0' && head[i] <= '9';
        if (kShape[i] == '0' ? !digit : head[i] != kShape[i]) return false;
    }
    return true;
}

// The refusal's words in a report; with system, the error says why.
const char* refusal_text(TraceRefusal refusal) {
    switch (refusal) {
        case TraceRefusal::link: return "is a symbolic link, which is never followed";
        case TraceRefusal::not_regular: return "is not a regular file";
        case TraceRefusal::in_use: return "is held by another trace";
        case TraceRefusal::none:
        case TraceRefusal::system: break;
    }
    return "cannot be opened";
}

struct Slot {
    uint64_t stamp;    // trace_clock_now() when the line was made
    uint32_t dropped;  // lines dropped since the line before this one got in
    uint32_t length;
    char text[kTraceLineChars];
};

}  // namespace

// The file's side, touched by the writer thread alone: lines are formatted into a batch, and the
// batch is appended with one call.
class TraceFileWriter {
public:
    TraceFileWriter(const std::string& path, uint64_t cap, const Notices& notices)
        : path_(path), old_path_(path + ".1"), cap_(cap), notices_(notices) {}
    ~TraceFileWriter() { trace_file_close(file_); }
    TraceFileWriter(const TraceFileWriter&) = delete;
    TraceFileWriter& operator=(const TraceFileWriter&) = delete;

    // The file's own, or what keeps it from being that, for a report. Done first on the caller
    // of Trace::open, so that a path that cannot be opened is known at once.
    const char* open_file(TraceError& error);

    void add(const Slot& slot);
    void write_batch();
    void close() { trace_file_close(file_); }

private:
    bool is_open() const { return file_.handle != kClosed; }
    void rotate();
    void rotation_failed(TraceError error);
    TraceIo reopen_and_write();
    void report_once(const char* what, TraceError error);

    const std::string& path_;
    std::string old_path_;
    uint64_t cap_;
    Notices notices_;
    TraceFile file_;
    char batch_[kBatchBytes];
    std::size_t used_ = 0;
    uint32_t batch_lines_ = 0;
    uint32_t batch_dropped_ = 0;  // drops the batch's lines tell of, from the queue
    uint32_t told_ = 0;           // of lost_, what the batch tells of
    uint32_t lost_ = 0;           // lines dropped or not written, not yet told of in the file
    bool reported_ = false;
    // After a rotation that could not rename the file: the size at which it is tried again (0:
    // none failed). The file is written on past its cap meanwhile, up to twice the cap.
    uint64_t retry_at_ = 0;
    bool stopped_ = false;  // for good: the file reached twice its cap and still cannot be renamed
};

struct TraceShared {
    std::string path;
    std::mutex lock;  // the queue's indices and flags; a slot belongs to whoever its index gives it
    std::condition_variable wake;     // to the writer: lines queued, or closing
    std::condition_variable written;  // from the writer: a batch is done, or it has finished
    std::unique_ptr<Slot[]> slots;
    std::size_t capacity = 0;
    uint64_t head = 0;           // lines the writer is done with; slots from head to tail are its own
    uint64_t tail = 0;           // lines queued
    uint32_t dropped_since = 0;  // dropped since the last line that got in
    uint64_t dropped_total = 0;
    bool writer_waiting = false;
    bool closing = false;
    bool finished = false;
    std::atomic<uint32_t> users{1};          // traces writing through this writer
    std::atomic<bool> shared_file{false};    // two cards' traces: each line names its card
    std::unique_ptr<TraceFileWriter> writer;
};

// What the writer thread is started with: its own share of the state, freed as it ends.
struct WriterStart {
    std::shared_ptr<TraceShared> shared;
    Notices notices;
};

namespace {

std::size_t format_line(const Slot& slot, uint32_t dropped, char* out) {
    char time[kTraceTimeChars + 1];
    trace_local_time(slot.stamp, time);
    std::memcpy(out, time, kTraceTimeChars);
    std::size_t n = kTraceTimeChars;
    out[n++] = ' ';
    if (dropped != 0) {
        const int note = std::snprintf(out + n, kDroppedNoteChars + 1, "(%lu line%s dropped) ",
                                       static_cast<unsigned long>(dropped), dropped == 1 ? "" : "s");
        n += std::min(static_cast<std::size_t>(note > 0 ? note : 0), kDroppedNoteChars);
    }
    // A line end inside the text would start a line without a time.
    for (uint32_t i = 0; i < slot.length; ++i) {
        const char c = slot.text[i];
        out[n++] = (c == '\n' || c == '\r') ? ' ' : c;
    }
    const std::size_t end = std::strlen(kTraceLineEnd);
    std::memcpy(out + n, kTraceLineEnd, end);
    return n + end;
}

void writer_loop(TraceShared& s) {
    std::unique_lock<std::mutex> guard(s.lock);
    for (;;) {
        while (s.head == s.tail && !s.closing) {
            s.writer_waiting = true;
            s.wake.wait_for(guard, kWriterIdleWake);
            s.writer_waiting = false;
        }
        if (s.head == s.tail) return;  // closing, and every line is out
        const uint64_t first = s.head;
        const uint64_t end = s.tail;
        guard.unlock();
        for (uint64_t i = first; i < end; ++i) s.writer->add(s.slots[static_cast<std::size_t>(i % s.capacity)]);
        s.writer->write_batch();
        guard.lock();
        s.head = end;
        s.written.notify_all();
    }
}

// The thread's body: no exception may leave a thread.
void run_writer(void* argument) {
    const std::unique_ptr<WriterStart> start(static_cast<WriterStart*>(argument));
    const std::shared_ptr<TraceShared>& s = start->shared;
    const Notices& notices = start->notices;
    const TraceIo began = trace_writer_thread_begins();
    if (!began.ok) report_trace(notices, s->path.c_str(), "writer cannot guard the process against its writes", began.error);
    try {
        writer_loop(*s);
    } catch (...) {  // only the lock could throw; the lines left are lost either way
    }
    s->writer->close();
    try {
        std::lock_guard<std::mutex> guard(s->lock);
        s->finished = true;
        s->written.notify_all();
    } catch (...) {  // close() then waits out its bound
    }
}

}  // namespace

void TraceFileWriter::report_once(const char* what, TraceError error) {
    if (reported_) return;
    reported_ = true;
    report_trace(notices_, path_.c_str(), what, error);
}

const char* TraceFileWriter::open_file(TraceError& error) {
    const TraceOpened opened = trace_file_open(path_.c_str(), file_);
    error = opened.error;
    if (opened.refusal != TraceRefusal::none) return refusal_text(opened.refusal);
    // Someone else's file (the host's own settings, say) is never appended to.
    char head[kTraceTimeChars + 1];
    if (!starts_like_trace(head, trace_file_read_start(file_, head, sizeof head))) {
        trace_file_close(file_);
        return "does not start like a trace; it is not written to";
    }
    return nullptr;
}

void TraceFileWriter::add(const Slot& slot) {
    if (stopped_) return;
    // Decided on the longest the line can be, so that the file never passes the cap, or the next
    // retry's size after a failed rename (unless a single line is longer than the cap itself).
    const uint64_t longest = kTraceTimeChars + 1 + kDroppedNoteChars + slot.length + 2;
    const uint64_t limit = retry_at_ != 0 ? retry_at_ : cap_;
    if (is_open() && file_.size + used_ + longest > limit && file_.size + used_ > 0) {
        write_batch();
        if (is_open()) rotate();
        if (stopped_) return;
    }
    if (used_ + kMaxLineBytes > sizeof batch_) write_batch();

    const uint32_t untold = lost_ - told_;
    told_ = lost_;
    used_ += format_line(slot, slot.dropped + untold, batch_ + used_);
    ++batch_lines_;
    batch_dropped_ += slot.dropped;
}

// Opens the file by its name again and appends the batch.
TraceIo TraceFileWriter::reopen_and_write() {
    TraceError error = 0;
    if (const char* refused = open_file(error)) {
        report_once(refused, error);
        return {false, error};
    }
    return trace_file_write(file_, batch_, used_);
}

void TraceFileWriter::write_batch() {
    if (used_ == 0) return;
    TraceIo io{false, 0};
    if (is_open()) {
        io = trace_file_write(file_, batch_, used_);
        if (!io.ok) {
            // Perhaps the file was deleted or replaced: it is the name that is traced to.
            trace_file_close(file_);
            io = reopen_and_write();
        }
    } else {
        io = reopen_and_write();
    }
    if (io.ok) {
        file_.size += used_;
        lost_ -= told_;
    } else {
        report_once("cannot be written; lines are lost until it can", io.error);
        trace_file_close(file_);  // the next batch opens it again
        lost_ += batch_lines_ + batch_dropped_;
    }
    used_ = 0;
    batch_lines_ = 0;
    batch_dropped_ = 0;
    told_ = 0;
}

void TraceFileWriter::rotate() {
    // Renamed while still held, so that no other trace can take the name in between.
    const TraceRenamed renamed = trace_file_rename(path_.c_str(), old_path_.c_str());
    if (renamed.outcome == TraceRename::failed) {
        rotation_failed(renamed.error);
        return;
    }
    trace_file_close(file_);
    retry_at_ = 0;
    // Renamed, or gone already (deleted while written): a new file begins.
    TraceError error = 0;
    if (const char* refused = open_file(error)) report_once(refused, error);
}

// A full file that cannot be renamed (a reader holds it without delete sharing, say) is never
// emptied: the lines in it may be all the user has. It is written on, and the rename tried again
// each eighth of the cap; at twice the cap the trace stops. Each told once.
void TraceFileWriter::rotation_failed(TraceError error) {
    const uint64_t step = std::max<uint64_t>(cap_ / 8, 1);
    if (retry_at_ == 0) {
        report_trace(notices_, path_.c_str(), "is full and cannot be renamed to .1 now; written on, renamed when it can",
                     error);
    }
    retry_at_ = file_.size + step;
    if (file_.size + step <= 2 * cap_) return;
    stopped_ = true;
    report_trace(notices_, path_.c_str(), "is twice its cap and still cannot be renamed to .1; tracing stops, the file is kept",
                 error);
}

bool Trace::open(const char* path, bool frames, uint64_t file_cap, std::size_t queue_lines) noexcept {
    close();
    if (path == nullptr || path[0] == '\0') return true;
    try {
        auto s = std::make_shared<TraceShared>();
        if (!trace_absolute_path(path, s->path)) {
            report_trace(notices_, path, "cannot be made absolute; no trace", 0);
            return false;
        }
        s->capacity = std::max<std::size_t>(queue_lines, 1);
        s->slots = std::make_unique<Slot[]>(s->capacity);
        s->writer = std::make_unique<TraceFileWriter>(s->path, file_cap, notices_);
        TraceError error = 0;
        if (const char* refused = s->writer->open_file(error)) {
            char what[160];
            std::snprintf(what, sizeof what, "%s; no trace", refused);
            report_trace(notices_, path, what, error);
            return false;
        }
        auto* start = new WriterStart{s, notices_};
        if (!trace_thread_start(run_writer, start)) {
            delete start;
            report_trace(notices_, path, "has no thread to write it; no trace", 0);
            return false;
        }
        shared_ = std::move(s);
        frames_ = frames;
        return true;
    } catch (...) {  // no memory or no thread: the driver runs without its trace
        report_trace(notices_, path, "has no memory or thread to write it; no trace", 0);
        return false;
    }
}

bool Trace::share(const Trace& owner, bool frames) noexcept {
    close();
    if (!owner.shared_) return false;
    shared_ = owner.shared_;
    frames_ = frames;
    shared_->users.fetch_add(1);
    shared_->shared_file.store(true);
    return true;
}

bool Trace::writes_to(const char* path) const noexcept {
    if (!shared_ || path == nullptr || path[0] == '\0') return false;
    try {
        std::string absolute;
        return trace_absolute_path(path, absolute) && absolute == shared_->path;
    } catch (...) {
        return false;
    }
}

void Trace::set_label(const char* label) noexcept {
    std::snprintf(label_, sizeof label_, "%s", label);
}

std::size_t Trace::lead(char* text, std::size_t room) const noexcept {
    if (!shared_->shared_file.load(std::memory_order_relaxed)) return 0;
    const int n = std::snprintf(text, room, "[%s] ", label_);
    return std::min(static_cast<std::size_t>(n > 0 ? n : 0), room - 1);
}

void Trace::close() noexcept {
    if (!shared_) return;
    const std::shared_ptr<TraceShared> s = std::move(shared_);
    shared_.reset();
    frames_ = false;
    // Another card's trace still writes to the file: the writer is that trace's to end.
    if (s->users.fetch_sub(1) > 1) return;
    bool ended = false;
    try {
        // A thread ended while it held the lock would hold it for good: at a process's exit
        // Windows ends every other thread before the module's own destructors run, and a poll
        // thread may have been queueing a line. So the lock too is taken within the bound.
        std::unique_lock<std::mutex> guard(s->lock, std::defer_lock);
        const auto give_up = std::chrono::steady_clock::now() + kCloseTimeout;
        bool locked = guard.try_lock();
        for (; !locked && std::chrono::steady_clock::now() < give_up; locked = guard.try_lock()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (locked) {
            s->closing = true;
            s->wake.notify_one();
            ended = s->written.wait_for(guard, kCloseTimeout, [&] { return s->finished; });
        }
    } catch (...) {  // treated as a writer that did not end
    }
    // Never joined: past its last line only the thread's own exit is left, which on Windows takes
    // the loader lock, held here when the host stops or unloads from DllMain. A writer that did
    // not finish keeps its own share of the state (and on Windows the module), freed as it ends.
    if (ended) return;
    report_trace(notices_, s->path.c_str(), "writer did not finish in time; left to end on its own", 0);
}

void Trace::push(uint64_t stamp, const char* text, std::size_t n) noexcept {
    TraceShared& s = *shared_;
    try {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.tail - s.head >= s.capacity) {
            ++s.dropped_since;
            ++s.dropped_total;
            return;
        }
        Slot& slot = s.slots[static_cast<std::size_t>(s.tail % s.capacity)];
        slot.stamp = stamp;
        slot.dropped = s.dropped_since;
        slot.length = static_cast<uint32_t>(n);
        std::memcpy(slot.text, text, n);
        s.dropped_since = 0;
        ++s.tail;
        if (s.writer_waiting) {
            s.writer_waiting = false;  // one wake is enough until it waits again
            s.wake.notify_one();
        }
    } catch (...) {  // a lock that fails loses the line, never the caller
    }
}

void Trace::line(const char* format, ...) noexcept {
    if (!shared_) return;
    const uint64_t stamp = trace_clock_now();
    char text[kTraceLineChars];
    const std::size_t head = lead(text, kLabelChars);
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text + head, sizeof text - head, format, args);
    va_end(args);
    if (n < 0) {
        static const char kUnformatted[] = "(a line that could not be formatted)";
        push(stamp, kUnformatted, sizeof kUnformatted - 1);
        return;
    }
    push(stamp, text, std::min(head + static_cast<std::size_t>(n), sizeof text - 1));
}

void Trace::bytes(const char* label, const uint8_t* data, std::size_t n) noexcept {
    if (!shared_) return;
    static const char kHex[] = "0123456789ABCDEF";
    const uint64_t stamp = trace_clock_now();
    std::size_t offset = 0;
    do {
        char text[kTraceLineChars];
        const std::size_t card = lead(text, kLabelChars);
        const int head = offset == 0 ? std::snprintf(text + card, kLabelChars, "%s", label)
                                     : std::snprintf(text + card, kLabelChars, "%s (+%lu)", label,
                                                     static_cast<unsigned long>(offset));
        std::size_t used = card + std::min(static_cast<std::size_t>(head > 0 ? head : 0), kLabelChars - 1);
        const std::size_t end = std::min(n, offset + kBytesPerLine);
        for (; offset < end; ++offset) {
            text[used++] = ' ';
            text[used++] = kHex[data[offset] >> 4];
            text[used++] = kHex[data[offset] & 0x0F];
        }
        push(stamp, text, used);
    } while (offset < n);
}

bool Trace::flush() noexcept {
    if (!shared_) return true;
    TraceShared& s = *shared_;
    try {
        std::unique_lock<std::mutex> guard(s.lock);
        const uint64_t target = s.tail;
        s.written.wait_for(guard, kFlushTimeout, [&] { return s.head >= target || s.finished; });
        return s.head >= target;
    } catch (...) {
        return false;
    }
}

uint64_t Trace::dropped() const noexcept {
    if (!shared_) return 0;
    try {
        std::lock_guard<std::mutex> guard(shared_->lock);
        return shared_->dropped_total;
    } catch (...) {
        return 0;
    }
}

}  // namespace vek
