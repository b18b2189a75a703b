#include "link/win32_operation.h"

#include <cstring>
#include <new>

namespace vek {

namespace {

constexpr DWORD kCancelBoundMs = 500;  // for a cancelled operation to let go of its buffer

}  // namespace

Operation* new_operation(const Abandoned& abandoned) {
    // A line has two operations at most (its read and its write): room is kept for both.
    if (abandoned.count + 2 > kAbandonedCap) return nullptr;
    auto* op = new (std::nothrow) Operation{};  // no exception may cross DriverEntry
    if (op == nullptr) return nullptr;
    op->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, as comm waits need
    if (op->overlapped.hEvent != nullptr) return op;
    delete op;
    return nullptr;
}

void free_operation(Operation* op) {
    if (op == nullptr) return;
    CloseHandle(op->overlapped.hEvent);
    delete op;
}

void free_completed(Abandoned& abandoned) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < abandoned.count; ++i) {
        Operation* op = abandoned.ops[i];
        if (HasOverlappedIoCompleted(&op->overlapped)) {
            free_operation(op);
        } else {
            abandoned.ops[kept++] = op;
        }
    }
    for (std::size_t i = kept; i < abandoned.count; ++i) abandoned.ops[i] = nullptr;
    abandoned.count = kept;
}

// ReadFile and WriteFile reset the event themselves as they begin (under Wine a reset is a server
// request).
void rearm(Operation* op) {
    HANDLE event = op->overlapped.hEvent;
    std::memset(&op->overlapped, 0, sizeof op->overlapped);
    op->overlapped.hEvent = event;
}

Completion finish(HANDLE port, Operation** op, DWORD bound_ms, HANDLE wake, Abandoned& abandoned) {
    Completion c;
    Operation* o = *op;
    // Already complete, as a write to an idle port usually is: then there is nothing to wait for
    // (under Wine a wait on the event is a request to its server, this check is not).
    if (GetOverlappedResult(port, &o->overlapped, &c.transferred, FALSE)) return c;
    c.error = GetLastError();
    if (c.error != ERROR_IO_INCOMPLETE) return c;
    const HANDLE events[2] = {o->overlapped.hEvent, wake};
    if (WaitForMultipleObjects(wake != nullptr ? 2 : 1, events, FALSE, bound_ms) != WAIT_OBJECT_0) {
        // Fails when the operation completed meanwhile; its own result then stands. Either way
        // an abort that follows is taken as ours, never as a removal: a removal shows again on
        // the next call, while a port wrongly taken as lost stops the polling.
        c.cancelled = true;
        CancelIoEx(port, &o->overlapped);
        if (WaitForSingleObject(o->overlapped.hEvent, kCancelBoundMs) != WAIT_OBJECT_0) {
            // new_operation keeps room for this one; were there none, it would never be freed.
            if (abandoned.count < kAbandonedCap) abandoned.ops[abandoned.count++] = o;
            *op = nullptr;
            c.abandoned = true;
            c.error = ERROR_TIMEOUT;
            c.transferred = 0;  // in a buffer that is no longer ours to read
            return c;
        }
    }
    c.error = GetOverlappedResult(port, &o->overlapped, &c.transferred, FALSE) ? ERROR_SUCCESS : GetLastError();
    return c;
}

}  // namespace vek
