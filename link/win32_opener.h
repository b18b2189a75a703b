// Opens a port on a thread of its own, for the Win32 line only, so that the caller can give up on
// an open: a Bluetooth serial port connects to its device inside CreateFile, which can take
// seconds, and the scan runs on the host's thread.
//
// One thread serves one open after another, for a whole scan (a scan opens up to 127 ports in a
// row, and a thread made for each open cost about a millisecond per port under Wine, far more
// than a failed open itself). It ends with end(), or once idle for a while should nobody end it.
// An open that outlasts its bound leaves its thread to close whatever handle comes and end; the
// next open gets a new thread. Such late opens are capped across the module: one per port name
// (a reconnect asks for the same port each second) and a few in all; beyond that an open is
// given up at once, as too slow.
#pragma once

#include <windows.h>

namespace vek {

struct Opener;  // shared by the line and its thread, freed by the last of them to let go

// One line's opener. Its calls come one at a time, as the line's do (under the port's lock).
class PortOpener {
public:
    PortOpener() = default;
    PortOpener(const PortOpener&) = delete;
    PortOpener& operator=(const PortOpener&) = delete;
    // Lets go of the thread without waiting for it or taking its lock, since this may run at the
    // module's unload; an idle thread then ends as soon as it sees the request to.
    ~PortOpener();

    // CreateFile of `name` for overlapped I/O on the opener's thread, waited for a bound at most;
    // ERROR_TIMEOUT in `error` when it took longer. Where no thread can be had, the open is made
    // here, unbounded.
    HANDLE open(const char* name, DWORD& error);

    // Ends the idle thread, if there is one, and waits (bounded) until it has ended: a scan leaves
    // no thread behind. One still serving a late open was let go of already and ends after it.
    void end();

    // Asks the thread to end once idle, without waiting for it, so that it does not idle on.
    void release() { let_go(0); }

private:
    void let_go(DWORD join_bound_ms);

    Opener* opener_ = nullptr;  // the thread that takes the next open, if any; co-owned with it
};

}  // namespace vek
