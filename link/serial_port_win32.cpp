// Win32 backend: the line itself, opened and closed, and what each call asks of the system. The
// handle is opened for overlapped I/O (win32_operation.h) on an opener thread with the settings of
// win32_line_settings.h, and a watch thread (win32_watch.h) keeps its line-error latch clear while
// it is open.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "link/serial_backend.h"
#include "link/serial_port.h"
#include "link/win32_errors.h"
#include "link/win32_line_settings.h"
#include "link/win32_operation.h"
#include "link/win32_watch.h"
#include "support/clock.h"
#include "support/win32_waits.h"

namespace vek {

namespace {

constexpr DWORD kReadBoundMs = 100;  // a read of bytes the queue already holds
// A wait for bytes that a read ended early, with fewer than it asked for (some drivers end a read
// that would wait at once, with nothing), pauses this long before it reads again, so that it
// never spins. Only such drivers pay it: a read otherwise ends when its bytes are all in.
constexpr DWORD kShortReadPauseMs = 2;
// Opening a port takes milliseconds, but a Bluetooth serial port connects to its device inside
// CreateFile, which can take seconds, and the scan runs on the host's thread: the open is given
// up after this bound (its thread closes a handle that comes later).
constexpr DWORD kOpenBoundMs = 1000;

// Opens are made on an opener thread, so that the caller can give up on one. The thread serves
// one open after another and ends with the scan (end_scan), or once it has been idle for
// kOpenerIdleMs should nobody end it: a scan opens up to 127 ports in a row, and a thread made for
// each open cost about a millisecond per port under Wine, far more than a failed open itself. An open that outlasts its
// bound leaves its thread retired: the thread closes whatever handle comes and ends, and the next open gets a new
// thread.
enum class OpenState { idle, requested, served };

// Every field but the events and the module is guarded by g_opener_lock. The record is freed by
// its thread, and only when no caller can still reach it: idle and no longer g_opener, or retired.
struct Opener {
    HANDLE wake;     // auto-reset: a request is waiting
    HANDLE done;     // auto-reset: the request is served
    HMODULE module;  // held by the thread, so that an unload cannot take its code away
    HANDLE thread;   // for end_scan to wait on; closed by whoever takes it from the record
    char name[24];
    HANDLE handle;
    DWORD error;
    OpenState state;
    bool retired;  // its caller gave up: the thread ends after this open
    bool quit;     // end_scan asks the idle thread to end
};

// Long enough to carry a scan from one port to the next, short enough that an idle driver holds
// no thread (nor its pin on the module) for long.
constexpr DWORD kOpenerIdleMs = 2000;
// An idle opener ends as soon as it is woken; the bound covers a thread that does not.
constexpr DWORD kOpenerJoinBoundMs = 1000;

SRWLOCK g_opener_lock = SRWLOCK_INIT;  // no constructor or destructor: safe in a DLL's statics
Opener* g_opener = nullptr;            // the thread that takes the next open, if any

HANDLE create_port_file(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

void free_opener(Opener* o) {
    if (o->thread != nullptr) CloseHandle(o->thread);
    CloseHandle(o->wake);
    CloseHandle(o->done);
    delete o;
}

DWORD WINAPI serve_opens(LPVOID parameter) {
    auto* o = static_cast<Opener*>(parameter);
    const HMODULE module = o->module;
    for (;;) {
        const DWORD woken = WaitForSingleObject(o->wake, kOpenerIdleMs);
        AcquireSRWLockExclusive(&g_opener_lock);
        if (o->state != OpenState::requested) {
            // A wake left over from a request already served, or a result not yet collected: wait
            // on. Idle (or the wait failed): leave, first making sure no caller can find it.
            if ((woken == WAIT_OBJECT_0 && !o->quit) || o->state == OpenState::served) {
                ReleaseSRWLockExclusive(&g_opener_lock);
                continue;
            }
            if (g_opener == o) g_opener = nullptr;
            ReleaseSRWLockExclusive(&g_opener_lock);
            free_opener(o);
            break;
        }
        char name[sizeof o->name];
        std::memcpy(name, o->name, sizeof name);
        ReleaseSRWLockExclusive(&g_opener_lock);

        const HANDLE h = create_port_file(name);
        const DWORD error = GetLastError();

        AcquireSRWLockExclusive(&g_opener_lock);
        if (o->retired) {
            // The caller gave up long ago: nobody else will ever close this handle.
            ReleaseSRWLockExclusive(&g_opener_lock);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            free_opener(o);
            break;
        }
        o->handle = h;
        o->error = error;
        o->state = OpenState::served;
        // Should the signal fail, the caller finds the result at its bound; this thread then
        // takes no more requests.
        if (!SetEvent(o->done) && g_opener == o) g_opener = nullptr;
        ReleaseSRWLockExclusive(&g_opener_lock);
    }
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

// A new opener and its thread, or null when either cannot be had.
Opener* start_opener() {
    auto* o = new (std::nothrow) Opener{};
    if (o == nullptr) return nullptr;
    o->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    o->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = nullptr;
    // The module's own address names it; the count it takes is dropped as the thread ends.
    if (o->wake != nullptr && o->done != nullptr &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&serve_opens),
                           &o->module)) {
        thread = CreateThread(nullptr, 0, serve_opens, o, 0, nullptr);
        if (thread == nullptr) FreeLibrary(o->module);
    }
    if (thread == nullptr) {
        if (o->wake != nullptr) CloseHandle(o->wake);
        if (o->done != nullptr) CloseHandle(o->done);
        delete o;
        return nullptr;
    }
    o->thread = thread;
    return o;
}

// Ends the idle opener, if there is one, and waits until its thread has ended: a scan leaves no
// thread behind. One still serving a late open is retired already and ends after it.
void end_opener() {
    AcquireSRWLockExclusive(&g_opener_lock);
    Opener* o = g_opener;
    if (o == nullptr || o->state != OpenState::idle) {
        ReleaseSRWLockExclusive(&g_opener_lock);
        return;
    }
    g_opener = nullptr;
    o->quit = true;
    const HANDLE thread = o->thread;  // the record may be gone once the lock is let go
    o->thread = nullptr;
    const HANDLE wake = o->wake;
    // Woken under the lock: the thread frees the record (and its events) only after taking it.
    const bool woken = SetEvent(wake) != 0;
    ReleaseSRWLockExclusive(&g_opener_lock);
    // Should the wake fail, the thread still ends when its idle wait does.
    if (woken) WaitForSingleObject(thread, kOpenerJoinBoundMs);
    CloseHandle(thread);
}

// CreateFile of `name` on the opener thread, waited for kOpenBoundMs at most; ERROR_TIMEOUT when
// it took longer. Where no thread can be had, the open is made here, unbounded.
HANDLE open_bounded(const char* name, DWORD& error) {
    AcquireSRWLockExclusive(&g_opener_lock);
    // An opener serving another open (a second driver instance scanning at the same moment) is
    // left to it: a new one is made, and the old one ends when idle.
    Opener* o = g_opener;
    if (o == nullptr || o->state != OpenState::idle) g_opener = o = start_opener();
    if (o != nullptr) {
        std::snprintf(o->name, sizeof o->name, "%s", name);
        o->state = OpenState::requested;
    }
    ReleaseSRWLockExclusive(&g_opener_lock);
    if (o == nullptr) {
        const HANDLE h = create_port_file(name);
        error = GetLastError();
        return h;
    }
    // Should the wake fail, the open is given up at once as too slow; the thread still finds the
    // request when its idle wait ends, and closes whatever it opens.
    const DWORD waited = SetEvent(o->wake) ? WaitForSingleObject(o->done, kOpenBoundMs) : WAIT_FAILED;
    AcquireSRWLockExclusive(&g_opener_lock);
    if (o->state == OpenState::requested) {
        // Not served within the bound: the thread now owns the record and whatever handle comes.
        o->retired = true;
        if (g_opener == o) g_opener = nullptr;
        ReleaseSRWLockExclusive(&g_opener_lock);
        error = ERROR_TIMEOUT;
        return INVALID_HANDLE_VALUE;
    }
    // Served, even if only just after the bound: then its signal is still set, and is taken now
    // so that the next request's wait does not end on it.
    if (waited != WAIT_OBJECT_0) WaitForSingleObject(o->done, 0);
    const HANDLE h = o->handle;
    error = o->error;
    o->state = OpenState::idle;
    ReleaseSRWLockExclusive(&g_opener_lock);
    return h;
}

// Always the device namespace: a plain "COM12" is a file name first, and a file of that name in
// the host's current folder would be opened instead of the port. For COM1 to COM9 the plain
// name is only an alias of this one.
HANDLE open_device(uint32_t n, DWORD& error) {
    char name[24];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(n));
    return open_bounded(name, error);
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
    void set_rts() override;
    void set_dtr() override;
    void end_scan() override { end_opener(); }
    void describe_loss(char* text, std::size_t room) const override;

private:
    // A failed operation: lost for the errors after which the port will not come back.
    PortResult failure(const Completion& c) {
        if (!is_lost(c.error, c.cancelled)) return PortResult::failed;
        loss_error_ = c.error;
        return PortResult::lost;
    }
    // A failed status query leaves the counts stale: waits on them must end, so it is a lost port.
    PortResult query_failed() {
        loss_error_ = GetLastError();
        return PortResult::lost;
    }

    PortResult read_into(uint8_t* into, DWORD size, DWORD bound_ms, HANDLE wake, std::size_t& got);

    HANDLE port_ = INVALID_HANDLE_VALUE;
    // The system's count at the last query, less what was read since: bytes leave the queue only
    // through our reads, so at least this many are queued, and a read of them never waits.
    DWORD system_queue_ = 0;
    // Made once and kept for the port's life (or abandoned, see finish).
    Operation* read_ = nullptr;
    Operation* write_ = nullptr;
    WatchThread* watch_ = nullptr;
    DWORD loss_error_ = ERROR_SUCCESS;  // why the port was last found gone
};

// Reads up to `size` bytes into `into`: ends when they are all in, or at bound_ms or when `wake`
// is set (then cancelled). ok with whatever came in `got`; the bytes a read took before it was
// cancelled or failed are kept either way, since they have left the system's queue.
PortResult Win32Line::read_into(uint8_t* into, DWORD size, DWORD bound_ms, HANDLE wake, std::size_t& got) {
    got = 0;
    if (read_ == nullptr && (read_ = new_operation()) == nullptr) return PortResult::failed;
    if (size > kOperationBufferSize) size = static_cast<DWORD>(kOperationBufferSize);
    if (size == 0) return PortResult::ok;
    rearm(read_);
    Completion c;
    if (!ReadFile(port_, read_->buffer, size, nullptr, &read_->overlapped)) {
        c.error = GetLastError();
        if (c.error != ERROR_IO_PENDING) return failure(c);
    }
    c = finish(port_, &read_, bound_ms, wake);
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
    HANDLE h = open_device(n, error);
    // Another program has the port (or its last user is still letting go of it).
    if (h == INVALID_HANDLE_VALUE) return error == ERROR_ACCESS_DENIED ? PortResult::busy : PortResult::failed;
    if (read_ == nullptr) read_ = new_operation();
    if (write_ == nullptr) write_ = new_operation();
    if (!configure_line(h) || read_ == nullptr || write_ == nullptr) {
        CloseHandle(h);
        return PortResult::failed;
    }
    port_ = h;
    system_queue_ = 0;
    SetCommMask(h, EV_RXCHAR | EV_TXEMPTY);
    if ((watch_ = start_watch(h)) == nullptr) {
        close();
        return PortResult::failed;
    }
    return PortResult::ok;
}

void Win32Line::close() {
    stop_watch(watch_);
    watch_ = nullptr;
    if (port_ == INVALID_HANDLE_VALUE) return;
    CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    system_queue_ = 0;
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
// ends after 2 ms with no event whatever arrives, and the watch thread owns the port's one wait.)
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
        if (write_ == nullptr && (write_ = new_operation()) == nullptr) return PortResult::failed;
        const std::size_t chunk = size - done < kOperationBufferSize ? size - done : kOperationBufferSize;
        std::memcpy(write_->buffer, data + done, chunk);
        rearm(write_);
        Completion c;
        if (!WriteFile(port_, write_->buffer, static_cast<DWORD>(chunk), nullptr, &write_->overlapped)) {
            c.error = GetLastError();
            if (c.error != ERROR_IO_PENDING) return failure(c);
        }
        c = finish(port_, &write_, kWriteBoundMs, nullptr);
        if (c.error != ERROR_SUCCESS) return failure(c);
        if (c.transferred == 0) return PortResult::failed;
        done += c.transferred;
    }
    return PortResult::ok;
}

void Win32Line::set_rts() { EscapeCommFunction(port_, SETRTS); }  // fails on ports without modem lines

void Win32Line::set_dtr() { EscapeCommFunction(port_, SETDTR); }

void Win32Line::describe_loss(char* text, std::size_t room) const { describe_system_error(loss_error_, text, room); }

}  // namespace

std::unique_ptr<SerialBackend> make_platform_backend() {
    return std::unique_ptr<SerialBackend>(new (std::nothrow) Win32Line);
}

}  // namespace vek
