// The Win32 line's receive-watch thread, for its own files only: while the port is open it keeps
// the line-error latch clear, at a slow pace, between the poll thread's own status queries.
#pragma once

#include <windows.h>

namespace vek {

struct WatchThread;

// Starts watching `port`, whose event mask the caller has set; null when no thread could be made.
WatchThread* start_watch(HANDLE port);

// Ends the watch (null: none) before its port is closed, and frees it.
void stop_watch(WatchThread* watch);

}  // namespace vek
