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

// How an operation ended. `transferred` counts the bytes it moved however it ended: a read that
// was cancelled or failed has still taken them from the queue.
struct Completion {
    DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS when it succeeded
    DWORD transferred = 0;
    bool cancelled = false;  // we cancelled it: an ERROR_OPERATION_ABORTED is then ours
};

// A zeroed operation with its manual-reset event, or null when either cannot be had.
Operation* new_operation();

// Clears the OVERLAPPED for the next operation, keeping its event.
void rearm(Operation* op);

// Waits for an operation until it completes, bound_ms passes or `wake` (an event, or null) is
// set. At the bound or the wake it is cancelled, and if even the cancellation does not complete,
// the operation is abandoned (never freed) and *op is cleared, so that memory the system may
// still write to is never reused.
Completion finish(HANDLE port, Operation** op, DWORD bound_ms, HANDLE wake);

}  // namespace vek
