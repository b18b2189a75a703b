// Win32 backend. The handle is opened for overlapped I/O; every operation owns its OVERLAPPED,
// event and buffer, and is waited for (with a bound) before the call returns, so no buffer is
// ever left attached to a pending operation.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "link/serial_backend.h"
#include "link/serial_port.h"

namespace vek {

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kReadBoundMs = 100;    // a read of bytes the queue already holds
// A read waits this long for its bytes, then returns with what came: the granularity of
// wait_readable. A read of bytes already queued returns at once.
constexpr DWORD kReadTimeoutMs = 1;
constexpr DWORD kWaitReadBoundMs = 20;  // that read, with room for the scheduler
constexpr DWORD kWriteBoundMs = 500;   // a write into a 4096-byte queue
constexpr DWORD kCancelBoundMs = 500;  // for a cancelled operation to let go of its buffer
constexpr DWORD kWatchJoinBoundMs = 2000;
// The watch waits for an event this long at most, then pauses before it waits again. An armed
// wait is not free: Wine serves one by polling the port every 2 ms with several server requests,
// about 30% of a core while the card is polled; and some drivers (Wine's on a pseudo-terminal)
// end every wait at once with no event. The poll thread's status queries clear a line error on
// every cycle anyway, so a slow pace loses nothing.
constexpr DWORD kWatchWaitBoundMs = 2;
constexpr DWORD kWatchPauseMs = 1000;
constexpr std::size_t kOperationBufferSize = 64;

struct Operation {
    OVERLAPPED overlapped;
    uint8_t buffer[kOperationBufferSize];
};

struct WatchThread {
    HANDLE port;
    HANDLE stop_event;
    HANDLE thread;
    Operation wait;  // the thread's own WaitCommEvent
};

// Errors after which the port will not come back; an aborted operation is not one of them.
bool is_lost(DWORD error) {
    switch (error) {
        case ERROR_NOT_READY:      // Wine, after the other end closed
        case ERROR_BROKEN_PIPE:
        case ERROR_ACCESS_DENIED:  // a USB adapter removed
        case ERROR_BAD_COMMAND:
        case ERROR_INVALID_HANDLE:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_REMOVED: return true;
        default: return false;
    }
}

Operation* new_operation() {
    auto* op = new (std::nothrow) Operation{};  // no exception may cross DriverEntry
    if (op == nullptr) return nullptr;
    op->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, as comm waits need
    if (op->overlapped.hEvent != nullptr) return op;
    delete op;
    return nullptr;
}

void rearm(Operation* op) {
    HANDLE event = op->overlapped.hEvent;
    std::memset(&op->overlapped, 0, sizeof op->overlapped);
    op->overlapped.hEvent = event;
    ResetEvent(event);
}

// Waits for an operation that went pending. When it outlasts its bound it is cancelled, and
// if even the cancellation does not complete, the operation is abandoned (never freed) and
// *op is cleared, so that memory the system may still write to is never reused.
bool finish(HANDLE port, Operation** op, DWORD bound_ms, DWORD* transferred, DWORD* error) {
    Operation* o = *op;
    // Already complete, as a write to an idle port usually is: then there is nothing to wait for
    // (under Wine a wait on the event is a request to its server, this check is not).
    if (GetOverlappedResult(port, &o->overlapped, transferred, FALSE)) return true;
    if ((*error = GetLastError()) != ERROR_IO_INCOMPLETE) return false;
    if (WaitForSingleObject(o->overlapped.hEvent, bound_ms) != WAIT_OBJECT_0) {
        CancelIoEx(port, &o->overlapped);
        if (WaitForSingleObject(o->overlapped.hEvent, kCancelBoundMs) != WAIT_OBJECT_0) {
            *op = nullptr;
            *error = ERROR_TIMEOUT;
            return false;
        }
    }
    if (GetOverlappedResult(port, &o->overlapped, transferred, FALSE)) return true;
    *error = GetLastError();
    return false;
}

// Keeps the line-error latch clear: a character-received event is followed by a status query,
// which also clears any pending line error.
DWORD WINAPI watch_port(LPVOID parameter) {
    auto* w = static_cast<WatchThread*>(parameter);
    while (WaitForSingleObject(w->stop_event, 0) != WAIT_OBJECT_0) {
        rearm(&w->wait);
        DWORD events = 0;
        if (!WaitCommEvent(w->port, &events, &w->wait.overlapped) && GetLastError() == ERROR_IO_PENDING) {
            HANDLE handles[2] = {w->wait.overlapped.hEvent, w->stop_event};
            if (WaitForMultipleObjects(2, handles, FALSE, kWatchWaitBoundMs) != WAIT_OBJECT_0) {
                CancelIoEx(w->port, &w->wait.overlapped);
            }
            // The wait must be over before its OVERLAPPED is touched again; the join bound in
            // stop_watch covers the case where even a cancel does not end it.
            DWORD ignored = 0;
            GetOverlappedResult(w->port, &w->wait.overlapped, &ignored, TRUE);
        }
        // Whatever ended the wait (an event, the bound, a driver's own abort), the status query
        // clears a pending line error; an aborted wait alone is not a lost port.
        COMSTAT status{};
        DWORD errors = 0;
        if (!ClearCommError(w->port, &errors, &status)) break;  // the port is gone: nothing to watch
        WaitForSingleObject(w->stop_event, kWatchPauseMs);
    }
    return 0;
}

WatchThread* start_watch(HANDLE port) {
    auto* w = new (std::nothrow) WatchThread{};
    if (w == nullptr) return nullptr;
    w->port = port;
    w->stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w->wait.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (w->stop_event != nullptr && w->wait.overlapped.hEvent != nullptr) {
        w->thread = CreateThread(nullptr, 0, watch_port, w, 0, nullptr);
    }
    if (w->thread == nullptr) {
        if (w->stop_event != nullptr) CloseHandle(w->stop_event);
        if (w->wait.overlapped.hEvent != nullptr) CloseHandle(w->wait.overlapped.hEvent);
        delete w;
        return nullptr;
    }
    SetThreadPriority(w->thread, THREAD_PRIORITY_TIME_CRITICAL);
    return w;
}

// Clearing the event mask ends a pending WaitCommEvent at once; the stop event ends a pause.
// TerminateThread only if the thread does not answer within the bound, and then its record is
// abandoned, since its wait may still be pending.
void stop_watch(WatchThread* w) {
    if (w == nullptr) return;
    SetEvent(w->stop_event);
    SetCommMask(w->port, 0);
    if (WaitForSingleObject(w->thread, kWatchJoinBoundMs) != WAIT_OBJECT_0) {
        TerminateThread(w->thread, 1);
        CloseHandle(w->thread);
        return;
    }
    CloseHandle(w->thread);
    CloseHandle(w->stop_event);
    CloseHandle(w->wait.overlapped.hEvent);
    delete w;
}

HANDLE open_device(uint32_t n) {
    char name[24];
    std::snprintf(name, sizeof name, "COM%lu", static_cast<unsigned long>(n));
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    // COM10 and above exist only in the device namespace.
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(n));
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// 115200 8N1, binary, no flow control; RTS and DTR move only when asserted; no abort on error.
bool configure_line(HANDLE h) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return false;
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb)) return false;
    // A read returns once it has its bytes or after kReadTimeoutMs. The driver reads only bytes the
    // count reports, which come at once; only wait_readable reads an empty queue, to wait on it.
    // (Wine keeps a read with {MAXDWORD, 0, 0} or {MAXDWORD, MAXDWORD, n} pending until a byte
    // comes, whatever the timeouts say; a total timeout alone it keeps.)
    COMMTIMEOUTS timeouts{0, 0, kReadTimeoutMs, 0, kWriteBoundMs};
    return SetCommTimeouts(h, &timeouts) != 0;
}

PortResult failure(DWORD error) { return is_lost(error) ? PortResult::lost : PortResult::failed; }

class Win32Line final : public SerialBackend {
public:
    ~Win32Line() override { close(); }
    PortResult open(uint32_t n) override;
    void close() override;
    PortResult queue_counts(QueueCounts& counts) override;
    PortResult input_count(uint32_t& count) override;
    PortResult read_queued(uint8_t* into, std::size_t room, std::size_t& got) override;
    PortResult wait_for_bytes(uint32_t missing, uint64_t bound_us, uint8_t* into, std::size_t room,
                              std::size_t& got) override;
    PortResult write_all(const uint8_t* data, std::size_t size) override;
    void set_rts() override;
    void set_dtr() override;

private:
    PortResult read_into(uint8_t* into, DWORD size, DWORD bound_ms, std::size_t& got);

    HANDLE port_ = INVALID_HANDLE_VALUE;
    // The system's count at the last query, less what was read since: bytes leave the queue only
    // through our reads, so at least this many are queued, and a read of them never waits.
    DWORD system_queue_ = 0;
    // Made once and kept for the port's life (or abandoned, see finish).
    Operation* read_ = nullptr;
    Operation* write_ = nullptr;
    WatchThread* watch_ = nullptr;
};

// Reads up to `size` bytes into `into`; waits kReadTimeoutMs for bytes that are not queued yet,
// and gives up on the read after bound_ms.
PortResult Win32Line::read_into(uint8_t* into, DWORD size, DWORD bound_ms, std::size_t& got) {
    got = 0;
    if (read_ == nullptr && (read_ = new_operation()) == nullptr) return PortResult::failed;
    if (size > kOperationBufferSize) size = static_cast<DWORD>(kOperationBufferSize);
    if (size == 0) return PortResult::ok;
    rearm(read_);
    DWORD taken = 0;
    DWORD error = ERROR_SUCCESS;
    bool ok = ReadFile(port_, read_->buffer, size, nullptr, &read_->overlapped) != 0;
    if (ok || (error = GetLastError()) == ERROR_IO_PENDING) ok = finish(port_, &read_, bound_ms, &taken, &error);
    // Wine ends a read that timed out with ERROR_TIMEOUT; Windows with success and fewer bytes.
    if (!ok && error == ERROR_TIMEOUT && read_ != nullptr) ok = true;
    if (!ok) return failure(error);
    std::memcpy(into, read_->buffer, taken);
    got = taken;
    system_queue_ = taken < system_queue_ ? system_queue_ - taken : 0;
    return PortResult::ok;
}

PortResult Win32Line::open(uint32_t n) {
    HANDLE h = open_device(n);
    if (h == INVALID_HANDLE_VALUE) return PortResult::failed;
    SetupComm(h, kQueueSize, kQueueSize);
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

// A failed query leaves the counts stale: waits on them must end, so it is a lost port.
PortResult Win32Line::queue_counts(QueueCounts& counts) {
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port_, &errors, &status)) return PortResult::lost;
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
    const PortResult read = read_into(into, size, kReadBoundMs, got);
    if (read != PortResult::ok) return read;
    return got == 0 ? PortResult::nothing_yet : PortResult::ok;
}

// No event-driven wait works on every port: under Wine, WaitCommEvent on a pseudo-terminal ends
// after 2 ms with no event whatever arrives, and the watch thread owns the port's one wait. A
// read of the missing bytes does: with the port's read timeout it ends when they are all in, or
// after kReadTimeoutMs, so bound_us only decides whether to wait at all.
PortResult Win32Line::wait_for_bytes(uint32_t missing, uint64_t bound_us, uint8_t* into, std::size_t room,
                                     std::size_t& got) {
    got = 0;
    COMSTAT status{};
    DWORD errors = 0;
    if (!ClearCommError(port_, &errors, &status)) return PortResult::lost;
    system_queue_ = status.cbInQue;
    if (status.cbInQue >= missing) return PortResult::ok;
    if (bound_us == 0) return PortResult::nothing_yet;
    const DWORD size = missing < room ? missing : static_cast<DWORD>(room);
    const PortResult read = read_into(into, size, kWaitReadBoundMs, got);
    if (read != PortResult::ok) return read;
    return got >= missing ? PortResult::ok : PortResult::nothing_yet;
}

PortResult Win32Line::write_all(const uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        if (write_ == nullptr && (write_ = new_operation()) == nullptr) return PortResult::failed;
        const std::size_t chunk = size - done < kOperationBufferSize ? size - done : kOperationBufferSize;
        std::memcpy(write_->buffer, data + done, chunk);
        rearm(write_);
        DWORD put = 0;
        DWORD error = ERROR_SUCCESS;
        bool ok = WriteFile(port_, write_->buffer, static_cast<DWORD>(chunk), nullptr, &write_->overlapped) != 0;
        if (ok || (error = GetLastError()) == ERROR_IO_PENDING) ok = finish(port_, &write_, kWriteBoundMs, &put, &error);
        if (!ok) return failure(error);
        if (put == 0) return PortResult::failed;
        done += put;
    }
    return PortResult::ok;
}

void Win32Line::set_rts() { EscapeCommFunction(port_, SETRTS); }  // fails on ports without modem lines

void Win32Line::set_dtr() { EscapeCommFunction(port_, SETDTR); }

}  // namespace

std::unique_ptr<SerialBackend> make_platform_backend() { return std::unique_ptr<SerialBackend>(new (std::nothrow) Win32Line); }

}  // namespace vek
