// The Win32 line's overlapped operations, for its own files only. Every operation owns its
// OVERLAPPED, event and buffer, and is waited for (with a bound) before the call that began it
// returns, so no buffer is ever left attached to a pending operation.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace vek {

constexpr std::size_t kOperationBufferSize = 64;

struct Operation {
    OVERLAPPED overlapped;
    uint8_t buffer[kOperationBufferSize];
};

// Operations given up while still pending: the system may still write to them, so they are kept
// until it has let go of them (closing the port ends them on a sound driver). Bounded: once full,
// no new operation is made, rather than one leaked on each reconnect.
constexpr std::size_t kAbandonedCap = 8;
struct Abandoned {
    Operation* ops[kAbandonedCap] = {};
    std::size_t count = 0;
};

// How an operation ended. `transferred` counts the bytes it moved however it ended: a read that
// was cancelled or failed has still taken them from the queue.
struct Completion {
    DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS when it succeeded
    DWORD transferred = 0;
    bool cancelled = false;  // we cancelled it: an ERROR_OPERATION_ABORTED is then ours
    bool abandoned = false;  // even the cancel did not end it: the port is no longer usable
};

// A zeroed operation with its manual-reset event, or null when either cannot be had or too many
// operations are still abandoned.
Operation* new_operation(const Abandoned& abandoned);

// Frees an operation that is not pending (null: none).
void free_operation(Operation* op);

// Frees the abandoned operations the system has completed by now.
void free_completed(Abandoned& abandoned);

// Clears the OVERLAPPED for the next operation, keeping its event.
void rearm(Operation* op);

// Waits for an operation until it completes, bound_ms passes or `wake` (an event, or null) is
// set. At the bound or the wake it is cancelled, and if even the cancellation does not complete,
// the operation is moved to `abandoned` (freed only once complete) and *op is cleared, so that
// memory the system may still write to is never reused.
Completion finish(HANDLE port, Operation** op, DWORD bound_ms, HANDLE wake, Abandoned& abandoned);

}  // namespace vek
