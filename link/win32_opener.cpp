#include "link/win32_opener.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

namespace vek {

namespace {

// Opening a port takes milliseconds; a Bluetooth serial port's open can take seconds, and is
// given up after this bound (its thread closes a handle that comes later).
constexpr DWORD kOpenBoundMs = 1000;
// Long enough to carry a scan from one port to the next, short enough that an idle driver holds
// no thread (nor its pin on the module) for long.
constexpr DWORD kOpenerIdleMs = 2000;
// An idle opener ends as soon as it is woken; the bound covers a thread that does not.
constexpr DWORD kOpenerJoinBoundMs = 1000;
constexpr std::size_t kNameSize = 24;  // "\\.\COM255" and its end
// Threads still inside an open their caller gave up on, across every line of the module.
constexpr std::size_t kLateOpensCap = 8;

enum class OpenState { idle, requested, served };

}  // namespace

// Everything the thread touches lives here, never in the line: a thread serving a late open may
// outlive the line (its caller gave up, and the host may then unload). Two owners, the thread and
// the line that keeps it; the last to let go frees it.
struct Opener {
    SRWLOCK lock = SRWLOCK_INIT;  // guards the fields from `name` on
    std::atomic<int> owners{2};
    std::atomic<bool> quit{false};  // end once idle; atomic, as the line's unload takes no lock
    HANDLE wake = nullptr;          // auto-reset: a request is waiting, or quit was set
    HANDLE done = nullptr;          // auto-reset: the request is served
    HANDLE thread = nullptr;        // for end() to wait on; closed with the record
    HMODULE module = nullptr;       // held by the thread, so that an unload cannot take its code away
    char name[kNameSize] = {};
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    OpenState state = OpenState::idle;
    bool retired = false;   // its caller gave up: the thread ends after this open
    std::size_t late_slot = kLateOpensCap;  // its place among the late opens, once retired
    bool accepting = true;  // false once the thread has left, or could not signal a result
};

namespace {

// The names of the late opens, each slot's owned by the thread serving it; empty when free.
SRWLOCK g_late_lock = SRWLOCK_INIT;
char g_late_names[kLateOpensCap][kNameSize];

// kLateOpensCap when there is no room, or the same port is still being opened late.
std::size_t claim_late_slot(const char* name) {
    AcquireSRWLockExclusive(&g_late_lock);
    std::size_t free_slot = kLateOpensCap;
    bool same = false;
    for (std::size_t i = 0; i < kLateOpensCap; ++i) {
        if (g_late_names[i][0] == '\0') {
            if (free_slot == kLateOpensCap) free_slot = i;
        } else if (std::strcmp(g_late_names[i], name) == 0) {
            same = true;
        }
    }
    const std::size_t slot = same ? kLateOpensCap : free_slot;
    if (slot != kLateOpensCap) std::snprintf(g_late_names[slot], kNameSize, "%s", name);
    ReleaseSRWLockExclusive(&g_late_lock);
    return slot;
}

bool late_open_of(const char* name) {
    AcquireSRWLockExclusive(&g_late_lock);
    bool found = false, room = false;
    for (const char* late : g_late_names) {
        found = found || std::strcmp(late, name) == 0;
        room = room || late[0] == '\0';
    }
    ReleaseSRWLockExclusive(&g_late_lock);
    return found || !room;
}

void free_late_slot(std::size_t slot) {
    if (slot == kLateOpensCap) return;
    AcquireSRWLockExclusive(&g_late_lock);
    g_late_names[slot][0] = '\0';
    ReleaseSRWLockExclusive(&g_late_lock);
}

HANDLE create_port_file(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

void free_opener(Opener* o) {
    if (o->thread != nullptr) CloseHandle(o->thread);
    CloseHandle(o->wake);
    CloseHandle(o->done);
    delete o;
}

void let_go_of(Opener* o) {
    if (o->owners.fetch_sub(1) == 1) free_opener(o);
}

enum class Next { serve, wait_on, leave };

// What the thread does once its wait on the wake has ended (`woken` is that wait's result).
Next next_step(Opener* o, DWORD woken, char (&name)[kNameSize]) {
    AcquireSRWLockExclusive(&o->lock);
    Next next = Next::serve;
    if (o->state == OpenState::requested) {
        std::memcpy(name, o->name, sizeof name);
    } else if ((woken == WAIT_OBJECT_0 && !o->quit.load()) || o->state == OpenState::served) {
        next = Next::wait_on;  // a wake left over from a request already served, or a result not yet collected
    } else {
        o->accepting = false;  // idle, asked to end, or the wait failed: the line will hand it nothing more
        next = Next::leave;
    }
    ReleaseSRWLockExclusive(&o->lock);
    return next;
}

// Hands an open's result to its caller; false when the caller gave up on it, and the handle is
// then closed here, since nobody else ever will.
bool deliver(Opener* o, HANDLE h, DWORD error) {
    AcquireSRWLockExclusive(&o->lock);
    const bool retired = o->retired;
    if (retired) free_late_slot(o->late_slot);
    if (!retired) {
        o->handle = h;
        o->error = error;
        o->state = OpenState::served;
        // Should the signal fail, the caller finds the result at its bound; this thread then
        // takes no more requests.
        if (!SetEvent(o->done)) o->accepting = false;
    }
    ReleaseSRWLockExclusive(&o->lock);
    if (retired && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return !retired;
}

DWORD WINAPI serve_opens(LPVOID parameter) {
    auto* o = static_cast<Opener*>(parameter);
    const HMODULE module = o->module;  // the record may be gone by the thread's last call
    for (;;) {
        const DWORD woken = WaitForSingleObject(o->wake, kOpenerIdleMs);
        char name[kNameSize];
        const Next next = next_step(o, woken, name);
        if (next == Next::leave) break;
        if (next == Next::wait_on) continue;
        const HANDLE h = create_port_file(name);
        const DWORD error = GetLastError();
        if (!deliver(o, h, error)) break;
    }
    let_go_of(o);
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
    o->thread = thread;  // the thread cannot free the record yet: the caller still owns it
    return o;
}

// The open goes to the thread if it still takes requests and has none.
bool hand_over(Opener* o, const char* name) {
    AcquireSRWLockExclusive(&o->lock);
    const bool taken = o->accepting && o->state == OpenState::idle;
    if (taken) {
        std::snprintf(o->name, sizeof o->name, "%s", name);
        o->state = OpenState::requested;
    }
    ReleaseSRWLockExclusive(&o->lock);
    return taken;
}

}  // namespace

PortOpener::~PortOpener() { let_go(0); }

HANDLE PortOpener::open(const char* name, DWORD& error) {
    // A thread is still waiting in an earlier open of this port (or too many are): one more
    // would only wait beside it.
    if (late_open_of(name)) {
        error = ERROR_TIMEOUT;
        return INVALID_HANDLE_VALUE;
    }
    // A thread that has left, or takes no more requests, is let go of, and a new one made.
    if (opener_ != nullptr && !hand_over(opener_, name)) let_go(0);
    if (opener_ == nullptr && (opener_ = start_opener()) != nullptr && !hand_over(opener_, name)) let_go(0);
    if (opener_ == nullptr) {
        const HANDLE h = create_port_file(name);
        error = GetLastError();
        return h;
    }
    Opener* o = opener_;
    // Should the wake fail, the open is given up at once as too slow; the thread still finds the
    // request when its idle wait ends, and closes whatever it opens.
    const DWORD waited = SetEvent(o->wake) ? WaitForSingleObject(o->done, kOpenBoundMs) : WAIT_FAILED;
    AcquireSRWLockExclusive(&o->lock);
    if (o->state == OpenState::requested) {
        // Not served within the bound: the thread now owns whatever handle comes.
        o->retired = true;
        o->late_slot = claim_late_slot(name);
        ReleaseSRWLockExclusive(&o->lock);
        let_go(0);
        error = ERROR_TIMEOUT;
        return INVALID_HANDLE_VALUE;
    }
    // Served, even if only just after the bound: then its signal is still set, and is taken now
    // so that the next request's wait does not end on it.
    if (waited != WAIT_OBJECT_0) WaitForSingleObject(o->done, 0);
    const HANDLE h = o->handle;
    error = o->error;
    o->state = OpenState::idle;
    ReleaseSRWLockExclusive(&o->lock);
    return h;
}

void PortOpener::end() { let_go(kOpenerJoinBoundMs); }

// Asks the thread to end once idle, waits for it up to join_bound_ms while the record (and its
// thread handle) is still ours, and lets go of the record.
void PortOpener::let_go(DWORD join_bound_ms) {
    Opener* o = opener_;
    if (o == nullptr) return;
    opener_ = nullptr;
    o->quit.store(true);
    // Should the wake fail, the thread still ends when its idle wait does.
    if (SetEvent(o->wake) && join_bound_ms > 0) WaitForSingleObject(o->thread, join_bound_ms);
    let_go_of(o);
}

}  // namespace vek
