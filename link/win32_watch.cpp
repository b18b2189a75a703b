#include "link/win32_watch.h"

#include <new>

#include "link/win32_operation.h"

namespace vek {

namespace {

constexpr DWORD kWatchJoinBoundMs = 2000;
// The watch waits for an event this long at most, then pauses before it waits again. An armed
// wait is not free: Wine serves one by polling the port every 2 ms with several server requests,
// about 30% of a core while the card is polled; and some drivers (Wine's on a pseudo-terminal)
// end every wait at once with no event. The poll thread's status queries clear a line error on
// every cycle anyway, so a slow pace loses nothing.
constexpr DWORD kWatchWaitBoundMs = 2;
constexpr DWORD kWatchPauseMs = 1000;

}  // namespace

struct WatchThread {
    HANDLE port;
    HANDLE stop_event;
    HANDLE thread;
    Operation wait;  // the thread's own WaitCommEvent
};

namespace {

// Keeps the line-error latch clear: a character-received event is followed by a status query,
// which also clears any pending line error.
DWORD WINAPI watch_port(LPVOID parameter) {
    auto* w = static_cast<WatchThread*>(parameter);
    while (WaitForSingleObject(w->stop_event, 0) != WAIT_OBJECT_0) {
        rearm(&w->wait);
        ResetEvent(w->wait.overlapped.hEvent);
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

}  // namespace

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

}  // namespace vek
