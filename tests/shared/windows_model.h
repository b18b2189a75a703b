// A model of how Windows, rather than Wine, treats the driver's system calls: after LoadLibrary
// the test program points the DLL's imports of the modelled functions at shims here. Wine is
// accurate where Windows is coarse (timer ticks) and lenient where Windows or its serial drivers
// are strict or odd (DCB checks, removal errors); the shims put that back, in one place.
//
// Profiles:
//   none     every call goes straight to Wine (the shims only count).
//   legacy   Windows 7 and 8.1: no high-resolution waitable timer (CreateWaitableTimerExW with
//            the flag fails with ERROR_INVALID_PARAMETER); Sleep, the wait functions and a serial
//            read's total timeout end on the 15.625 ms clock tick, or on a 1 ms one once the
//            process has called timeBeginPeriod(1) (which then was system-wide).
//   current  Windows 10 2004 and later: high-resolution timers work; Sleep and the wait functions
//            still end on the tick unless this process called timeBeginPeriod(1) (the setting is
//            per process since 2004); serial timeouts end on the tick whatever the process asks.
// Both Windows profiles also refuse SetCommState with XonChar == XoffChar, as Windows does, and
// read a profile file that begins with a UTF-8 byte-order mark as Windows does: the mark is part
// of the first line, so a section header there is not found (Wine skips the mark).
//
// Faults of serial drivers, each switched on by a test when it wants it (or named in the text
// given to parse_windows_model, then on from the start). They act on the port the DLL opened.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

enum class WindowsProfile { none, legacy, current };

enum ModelFault : unsigned {
    kCancelKeepsBytes = 1U << 0,  // a read that must wait is held until cancelled, and then
                                  // completes (aborted) with the bytes that came meanwhile
    kReadEndsAtOnce = 1U << 1,    // a read that must wait ends at once with no bytes
    kStatusStall = 1U << 2,       // the polling thread's next ClearCommError takes 6 s, once
    kSlowOpen = 1U << 3,          // CreateFile of COM<parameter> takes 8 s (Bluetooth serial)
    kBusyOpen = 1U << 4,          // CreateFile of COM<parameter> fails with ERROR_ACCESS_DENIED
                                  // until another port has been opened (its last user letting go)
    kXonEqualsXoff = 1U << 5,     // GetCommState reports XonChar == XoffChar == 0, and
                                  // SetCommState refuses that as Windows does
    kRemoval = 1U << 6,           // reads and writes fail with error <parameter>, as after a
                                  // surprise removal; status queries still answer, queues empty
    kReadsFail = 1U << 7,         // reads fail with ERROR_IO_DEVICE, while status queries still
                                  // count the bytes that arrive
    kCancelIgnored = 1U << 8,     // a read that must wait, and every WaitCommEvent, stays pending
                                  // through CancelIoEx, CancelIo and SetCommMask: only closing
                                  // the port ends it (aborted)
    kNoDesktop = 1U << 9,         // the process's window station is not visible: no interactive
                                  // desktop, so nobody could answer a message box
    kServiceSession = 1U << 10,   // the process runs in session 0, as a service does
    kSmallQueue = 1U << 11,       // SetupComm fails, the driver keeps a 512-byte receive queue
                                  // (as GetCommProperties reports), and SetCommState refuses
                                  // XON/XOFF limits that do not fit it
    kFileWriteStall = 1U << 12,   // the DLL's next write to a file other than the port (its
                                  // trace) takes <parameter> seconds, once: a network share or a
                                  // failing disk
};

struct ModelOptions {
    WindowsProfile profile = WindowsProfile::none;
    unsigned faults = 0;
    unsigned slow_port = 0;
    unsigned busy_port = 0;
    unsigned stall_s = 0;
    DWORD removal_error = 0;
    bool period_1ms = false;  // as if the process had called timeBeginPeriod(1)
};

struct ModelCounters {
    std::atomic<long> waits{0};        // Sleep and wait-function calls: the DLL's threads' wake-ups
    std::atomic<long> port_reads{0};   // ReadFile calls on the port
    std::atomic<long> port_writes{0};  // WriteFile calls on the port
    std::atomic<long> failed{0};       // port calls the model failed (kRemoval)
    std::atomic<long> port_opens{0};   // CreateFile calls of a COM port, failed ones too
    std::atomic<long> terminated{0};   // TerminateThread calls: any is a fault of the driver's
    std::atomic<long> held{0};         // operations kept pending by kCancelIgnored right now
    std::atomic<long> desktop_boxes{0};  // message boxes owned by the desktop window, which
                                         // disables every window of the session while up
    // Waits of the DLL's on a thread's handle while the calling thread owns the loader lock (in
    // DllMain, or called from a host that holds it): the thread waited for needs that lock to
    // end, so on Windows the wait never ends. The model cuts each such wait to 2 s and counts it.
    std::atomic<long> loader_lock_waits{0};
};

// "none", "legacy" or "current", then any of ",period-1ms", ",cancel-keeps-bytes",
// ",read-ends-at-once", ",status-stall", ",slow-open=N", ",busy-open=N", ",xon-equals-xoff",
// ",removal=ERROR", ",reads-fail", ",cancel-ignored", ",no-desktop", ",service-session", ",small-queue",
// ",file-write-stall=S". Null or empty is "none". False for anything else.
bool parse_windows_model(const char* text, ModelOptions* options);

// Points the DLL's imports of the modelled functions at the shims. False when the DLL's import
// table cannot be read or holds none of them.
bool install_windows_model(HMODULE dll, const ModelOptions& options);

// The model VEK_WINDOWS_MODEL names (none when unset), installed in the DLL's imports; false,
// with the reason printed, when the text names no model or it cannot be installed.
bool install_model_from_environment(HMODULE dll);

void switch_on_model_fault(ModelFault fault, unsigned parameter = 0);

const ModelCounters& model_counters();

// Called once, on the thread that shows it, from the message loop of the next message box the DLL
// shows: as a host's timer calls DriverEntry while a box is up. Null: none.
void call_back_from_next_box(void (*callback)());

// What the DLL has written with OutputDebugStringA, all of it.
std::string debugger_text();

// The waits (as counted in ModelCounters::waits) of each of the DLL's threads that has waited so
// far, by thread id; the first 64 threads only. A thread id Windows reuses adds to its slot.
struct ThreadWaits {
    DWORD thread;
    long waits;
};
std::vector<ThreadWaits> waits_by_thread();
