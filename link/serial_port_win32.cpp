// Win32 backend: the line itself, opened and closed, and what each call asks of the system. The
// handle is opened for overlapped I/O (win32_operation.h) on the opener's thread (win32_opener.h)
// with the settings of win32_line_settings.h. No thread watches it: with fAbortOnError off a line
// error stops no read or write, and the status query before each read clears it anyway; a watch
// thread's pending WaitCommEvent, which some drivers end only when the handle closes, could only
// be ended by killing the thread.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "link/serial_backend.h"
#include "link/serial_port.h"
#include "link/win32_errors.h"
#include "link/win32_line_settings.h"
#include "link/win32_opener.h"
#include "link/win32_operation.h"
#include "support/clock.h"
#include "support/win32_waits.h"

namespace vek {

namespace {

constexpr DWORD kReadBoundMs = 100;  // a read of bytes the queue already holds
// A wait for bytes that a read ended early, with fewer than it asked for (some drivers end a read
// that would wait at once, with nothing), pauses this long before it reads again, so that it
// never spins. Only such drivers pay it: a read otherwise ends when its bytes are all in.
constexpr DWORD kShortReadPauseMs = 2;

// Always the device namespace: a plain "COM12" is a file name first, and a file of that name in
// the host's current folder would be opened instead of the port. For COM1 to COM9 the plain
// name is only an alias of this one.
HANDLE open_device(PortOpener& opener, uint32_t n, DWORD& error) {
    char name[24];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(n));
    return opener.open(name, error);
}

class Win32Line final : public SerialBackend {
public:
    ~Win32Line() override { close(); }
    PortResult open(uint32_t n) override;
    void close() override;
    PortResult queue_counts(QueueCounts& counts) override;
    PortResult input_count(uint32_t& count) override;
    PortResult read_queued(uint8_t* into, std::size_t room, std::size_t& got) override;
    PortResult wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t* into,
                              std::size_t room, std::size_t& got) override;
    PortResult write_all(const uint8_t* data, std::size_t size) override;
    PortResult write_at_exit(const uint8_t* data, std::size_t size) override;
    void set_rts() override;
    void set_dtr() override;
    void end_scan() override { opener_.end(); }
    void describe_loss(char* text, std::size_t room) const override;

private:
    // A failed operation: lost for the errors after which the port will not come back, and when
    // even a cancel did not end it: only closing the handle can, which a reconnect does.
    PortResult failure(const Completion& c) {
        if (!c.abandoned && !is_lost(c.error, c.cancelled)) return PortResult::failed;
        loss_error_ = c.error;
        abandoned_loss_ = c.abandoned;
        return PortResult::lost;
    }
    // A failed status query leaves the counts stale: waits on them must end, so it is a lost port.
    PortResult query_failed() {
        loss_error_ = GetLastError();
        abandoned_loss_ = false;
        return PortResult::lost;
    }

    PortResult read_into(uint8_t* into, DWORD size, DWORD bound_ms, HANDLE wake, std::size_t& got);

    HANDLE port_ = INVALID_HANDLE_VALUE;
    // The system's count at the last query, less what was read since: bytes leave the queue only
    // through our reads, so at least this many are queued, and a read of them never waits.
    DWORD system_queue_ = 0;
    // Made at each open and freed at its close (or abandoned, see finish).
    Operation* read_ = nullptr;
    Operation* write_ = nullptr;
    // The exit's write of the all-off frame, made with the port: a killed thread may have left
    // write_ pending, and at exit nothing may be allocated.
    Operation* exit_write_ = nullptr;
    Abandoned abandoned_;
    bool abandoned_loss_ = false;  // the port was last lost to an operation its driver kept
    PortOpener opener_;                 // kept from one open to the next through a scan
    DWORD loss_error_ = ERROR_SUCCESS;  // why the port was last found gone
};

// Reads up to `size` bytes into `into`: ends when they are all in, or at bound_ms or when `wake`
// is set (then cancelled). ok with whatever came in `got`; the bytes a read took before it was
// cancelled or failed are kept either way, since they have left the system's queue.
PortResult Win32Line::read_into(uint8_t* into, DWORD size, DWORD bound_ms, HANDLE wake, std::size_t& got) {
    got = 0;
    if (read_ == nullptr && (read_ = new_operation(abandoned_)) == nullptr) return PortResult::failed;
    if (size > kOperationBufferSize) size = static_cast<DWORD>(kOperationBufferSize);
    if (size == 0) return PortResult::ok;
    rearm(read_);
    Completion c;
    if (!ReadFile(port_, read_->buffer, size, nullptr, &read_->overlapped)) {
        c.error = GetLastError();
        if (c.error != ERROR_IO_PENDING) return failure(c);
    }
    c = finish(port_, &read_, bound_ms, wake, abandoned_);
    if (read_ != nullptr && c.transferred > 0) {
        const DWORD taken = c.transferred < size ? c.transferred : size;
        std::memcpy(into, read_->buffer, taken);
        got = taken;
        system_queue_ = taken < system_queue_ ? system_queue_ - taken : 0;
    }
    if (c.error == ERROR_SUCCESS) return PortResult::ok;
    // Our own cancel at the bound or the wake; or a read timeout, which Wine ends with
    // ERROR_TIMEOUT where Windows ends it with success and fewer bytes.
    if (read_ != nullptr && ((c.cancelled && c.error == ERROR_OPERATION_ABORTED) || c.error == ERROR_TIMEOUT)) {
        return PortResult::ok;
    }
    return failure(c);
}

PortResult Win32Line::open(uint32_t n) {
    DWORD error = ERROR_SUCCESS;
    HANDLE h = open_device(opener_, n, error);
    // Another program has the port (or its last user is still letting go of it).
    if (h == INVALID_HANDLE_VALUE) return error == ERROR_ACCESS_DENIED ? PortResult::busy : PortResult::failed;
    if (read_ == nullptr) read_ = new_operation(abandoned_);
    if (write_ == nullptr) write_ = new_operation(abandoned_);
    if (exit_write_ == nullptr) exit_write_ = new_operation(abandoned_);
    if (!configure_line(h) || read_ == nullptr || write_ == nullptr || exit_write_ == nullptr) {
        CloseHandle(h);
        return PortResult::failed;
    }
    port_ = h;
    system_queue_ = 0;
    // The thread is kept for the absent ports a scan runs through; once a port is open (found, or
    // back after a reconnect) it ends now rather than idle on.
    opener_.release();
    return PortResult::ok;
}

void Win32Line::close() {
    if (port_ != INVALID_HANDLE_VALUE) {
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
        system_queue_ = 0;
    }
    // Neither is pending between calls; an unload or a long stop then holds no event of ours.
    free_operation(read_);
    free_operation(write_);
    free_operation(exit_write_);
    read_ = write_ = exit_write_ = nullptr;
    free_completed(abandoned_);  // closing the handle ended them, on any driver that honours it
}

PortResult Win32Line::queue_counts(QueueCounts& counts) {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port_, &errors, &status)) return query_failed();
    system_queue_ = status.cbInQue;
    counts.in_queue = status.cbInQue;
    counts.out_queue = status.cbOutQue;
    return PortResult::ok;
}

PortResult Win32Line::input_count(uint32_t& count) {
    QueueCounts counts{};
    const PortResult result = queue_counts(counts);
    count = counts.in_queue;
    return result;
}

// Only bytes already queued are read: a read of an empty queue would wait.
PortResult Win32Line::read_queued(uint8_t* into, std::size_t room, std::size_t& got) {
    got = 0;
    if (system_queue_ == 0) {
        QueueCounts counts{};
        const PortResult asked = queue_counts(counts);
        if (asked != PortResult::ok) return asked;
        if (system_queue_ == 0) return PortResult::nothing_yet;
    }
    const DWORD size = system_queue_ < room ? system_queue_ : static_cast<DWORD>(room);
    const PortResult read = read_into(into, size, kReadBoundMs, nullptr, got);
    if (read != PortResult::ok) return read;
    return got == 0 ? PortResult::nothing_yet : PortResult::ok;
}

// The wait is a read of the missing bytes, which the system completes as soon as the last one is
// in, waited for together with the wake's event up to the bound: no timer of the system's decides
// when it ends, so no clock tick does either. (Under Wine, WaitCommEvent on a pseudo-terminal
// ends after 2 ms with no event whatever arrives.)
// A read that ends early with too few bytes is read again after a pause, never at once.
PortResult Win32Line::wait_for_bytes(uint32_t missing, uint64_t bound_us, const PortWake& wake, uint8_t* into,
                                     std::size_t room, std::size_t& got) {
    got = 0;
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port_, &errors, &status)) return query_failed();
    system_queue_ = status.cbInQue;
    if (status.cbInQue >= missing) return PortResult::ok;
    const HANDLE wake_event = static_cast<HANDLE>(wake.event);
    const uint64_t until = monotonic_us() + bound_us;
    for (;;) {
        const uint64_t now = monotonic_us();
        if (now >= until || wake.is_raised() || got >= room) return PortResult::nothing_yet;
        const std::size_t want = std::min<std::size_t>(missing - got, room - got);
        std::size_t taken = 0;
        const PortResult read =
            read_into(into + got, static_cast<DWORD>(want), whole_ms(until - now), wake_event, taken);
        got += taken;
        if (read != PortResult::ok) return read;
        if (got >= missing) return PortResult::ok;
        const uint64_t after = monotonic_us();
        if (after >= until || wake.is_raised()) return PortResult::nothing_yet;
        const DWORD pause = std::min(kShortReadPauseMs, whole_ms(until - after));
        // A wake ends the pause, and the loop then sees it; without a wake event, or should the
        // wait on it fail, a plain pause: either way the next read comes no sooner.
        if (wake_event == nullptr || WaitForSingleObject(wake_event, pause) == WAIT_FAILED) Sleep(pause);
    }
}

PortResult Win32Line::write_all(const uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        if (write_ == nullptr && (write_ = new_operation(abandoned_)) == nullptr) return PortResult::failed;
        const std::size_t chunk = size - done < kOperationBufferSize ? size - done : kOperationBufferSize;
        std::memcpy(write_->buffer, data + done, chunk);
        rearm(write_);
        Completion c;
        if (!WriteFile(port_, write_->buffer, static_cast<DWORD>(chunk), nullptr, &write_->overlapped)) {
            c.error = GetLastError();
            if (c.error != ERROR_IO_PENDING) return failure(c);
        }
        c = finish(port_, &write_, kWriteBoundMs, nullptr, abandoned_);
        if (c.error != ERROR_SUCCESS) return failure(c);
        if (c.transferred == 0) return PortResult::failed;
        done += c.transferred;
    }
    return PortResult::ok;
}

// Waits for the write's event alone, within the bound, and never cancels: the process is ending,
// and whatever the system still holds goes with it.
PortResult Win32Line::write_at_exit(const uint8_t* data, std::size_t size) {
    if (port_ == INVALID_HANDLE_VALUE || exit_write_ == nullptr || size > kOperationBufferSize) return PortResult::closed;
    std::memcpy(exit_write_->buffer, data, size);
    rearm(exit_write_);
    if (!WriteFile(port_, exit_write_->buffer, static_cast<DWORD>(size), nullptr, &exit_write_->overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) return PortResult::failed;
        if (WaitForSingleObject(exit_write_->overlapped.hEvent, kWriteBoundMs) != WAIT_OBJECT_0) return PortResult::failed;
    }
    DWORD written = 0;
    if (!GetOverlappedResult(port_, &exit_write_->overlapped, &written, FALSE) || written != size) return PortResult::failed;
    return PortResult::ok;
}

void Win32Line::set_rts() { EscapeCommFunction(port_, SETRTS); }  // fails on ports without modem lines

void Win32Line::set_dtr() { EscapeCommFunction(port_, SETDTR); }

void Win32Line::describe_loss(char* text, std::size_t room) const {
    if (abandoned_loss_) {
        std::snprintf(text, room, "an operation the port's driver did not end when cancelled");
        return;
    }
    describe_system_error(loss_error_, text, room);
}

}  // namespace

std::unique_ptr<SerialBackend> make_platform_backend() {
    return std::unique_ptr<SerialBackend>(new (std::nothrow) Win32Line);
}

}  // namespace vek
