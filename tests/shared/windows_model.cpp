#include "tests/shared/windows_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>

#include "tests/shared/import_patch.h"
#include "tests/shared/text_file.h"
#include "tests/shared/wine_host.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

constexpr double kTickMs = 15.625;  // the default clock interrupt, 64 a second
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x00000103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;  // what GetOverlappedResult turns into ERROR_OPERATION_ABORTED
constexpr DWORD kStallMs = 6000;
constexpr DWORD kSlowOpenMs = 8000;
constexpr DWORD kSmallQueueBytes = 512;

using TimePeriod = UINT(WINAPI*)(UINT);

struct Model {
    WindowsProfile profile = WindowsProfile::none;
    double origin_ms = 0;
    std::atomic<unsigned> faults{0};
    std::atomic<unsigned> slow_port{0};
    std::atomic<unsigned> busy_port{0};
    std::atomic<DWORD> removal_error{0};
    std::atomic<int> periods_1ms{0};                // timeBeginPeriod(1) calls not yet ended
    std::atomic<void*> port{INVALID_HANDLE_VALUE};  // the driver has one port open at a time
    std::atomic<DWORD> writer{0};                   // the thread that last wrote to the port: the polling thread
    std::atomic<bool> stalled{false};
    std::atomic<unsigned> stall_s{0};
    std::atomic<bool> file_stalled{false};
    std::atomic<bool> busy_refused{false};
    std::atomic<bool> busy_let_go{false};
    // A read the model keeps pending (kCancelKeepsBytes) until CancelIoEx or CloseHandle.
    std::mutex lock;
    OVERLAPPED* held = nullptr;
    void* held_buffer = nullptr;
    DWORD held_size = 0;
    std::vector<OVERLAPPED*> ignoring;  // operations kCancelIgnored keeps until the port closes
    void (*box_callback)() = nullptr;  // guarded by lock, as is debugger
    std::string debugger;
    ULONG_PTR begin_period = 0;  // winmm's own, called through
    ULONG_PTR end_period = 0;
};

Model g;
ModelCounters g_counters;

// waits_by_thread's slots: a slot is claimed for good by the first thread that sets its id.
constexpr std::size_t kThreadSlots = 64;
std::atomic<DWORD> g_slot_thread[kThreadSlots];
std::atomic<long> g_slot_waits[kThreadSlots];

void count_wait() {
    g_counters.waits.fetch_add(1);
    const DWORD self = GetCurrentThreadId();
    for (std::size_t i = 0; i < kThreadSlots; ++i) {
        DWORD owner = g_slot_thread[i].load();
        if (owner == 0 && g_slot_thread[i].compare_exchange_strong(owner, self)) owner = self;
        if (owner == self) {
            ++g_slot_waits[i];
            return;
        }
    }
}

bool fault(unsigned f) { return (g.faults.load() & f) != 0; }

// The process's loader lock, as the process environment block points at it (Wine keeps it there
// too, and holds it across a module's detach as Windows does).
#ifdef _WIN64
constexpr std::size_t kLoaderLockInPeb = 0x110;
#else
constexpr std::size_t kLoaderLockInPeb = 0xA0;
#endif

using CurrentPeb = void*(WINAPI*)();

bool owns_loader_lock() {
    static const auto current_peb = reinterpret_cast<CurrentPeb>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetCurrentPeb")));
    if (current_peb == nullptr) return false;
    const auto* peb = static_cast<const unsigned char*>(current_peb());
    const auto* lock = *reinterpret_cast<const CRITICAL_SECTION* const*>(peb + kLoaderLockInPeb);
    return lock != nullptr && reinterpret_cast<DWORD_PTR>(lock->OwningThread) == GetCurrentThreadId();
}

// A wait's bound, cut and counted when it is on a thread under the loader lock: on Windows that
// thread cannot end while the lock is held, so the wait would never end.
constexpr DWORD kLoaderLockWaitMs = 2000;
DWORD watch_loader_lock(DWORD n, const HANDLE* handles, DWORD ms) {
    if (!owns_loader_lock()) return ms;
    for (DWORD i = 0; i < n; ++i) {
        if (GetThreadId(handles[i]) == 0) continue;
        ++g_counters.loader_lock_waits;
        std::fprintf(stderr, "model: a wait on a thread under the loader lock\n");
        return std::min(ms, kLoaderLockWaitMs);
    }
    return ms;
}
bool windows() { return g.profile != WindowsProfile::none; }
bool is_port(HANDLE h) { return h != INVALID_HANDLE_VALUE && h == g.port.load(); }

double tick_ms(bool serial) {
    // A serial driver's timer is the kernel's: since Windows 10 2004 a process's timeBeginPeriod
    // no longer reaches it.
    const bool fine = g.periods_1ms.load() > 0 && !(serial && g.profile == WindowsProfile::current);
    return fine ? 1.0 : kTickMs;
}

// A finite wait started now ends on the first clock tick at or after its due time, the ticks
// counted from a fixed origin (the model's installation): so Sleep(1) in a loop takes a whole
// tick each time, and a 50 ms wait begun just after a tick takes 62.5 ms.
DWORD on_tick(DWORD ms) {
    if (!windows() || ms == 0 || ms == INFINITE) return ms;
    const double tick = tick_ms(false);
    const double now = now_ms() - g.origin_ms;
    const double wait = std::ceil(std::ceil((now + ms) / tick) * tick - now);
    return wait >= static_cast<double>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(wait);
}

// A serial timeout cannot be phased from here: it is rounded up to whole ticks.
DWORD serial_on_tick(DWORD ms) {
    if (ms == 0 || ms == MAXDWORD) return ms;
    const double tick = tick_ms(true);
    const double rounded = std::ceil(std::ceil(ms / tick) * tick);
    return rounded >= static_cast<double>(MAXDWORD) ? MAXDWORD - 1 : static_cast<DWORD>(rounded);
}

BOOL failed_with(DWORD error) {
    ++g_counters.failed;
    SetLastError(error);
    return FALSE;
}

DWORD queued(HANDLE h) {
    COMSTAT status{};
    DWORD errors = 0;
    return ClearCommError(h, &errors, &status) ? status.cbInQue : MAXDWORD;
}

void complete(OVERLAPPED* o, ULONG_PTR status, DWORD bytes) {
    o->Internal = status;
    o->InternalHigh = bytes;
    if (o->hEvent != nullptr) SetEvent(o->hEvent);
}

// Reads bytes already queued, at most `size`, with a private OVERLAPPED: they come at once.
DWORD read_queued(HANDLE h, void* buffer, DWORD size) {
    const DWORD n = std::min(size, queued(h));
    if (n == 0 || n == MAXDWORD) return 0;
    OVERLAPPED o{};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    if (ReadFile(h, buffer, n, nullptr, &o) || GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(h, &o, &got, TRUE);  // a timed-out read still reports its bytes
    }
    CloseHandle(o.hEvent);
    return got;
}

// Ends the held read, if it is this one (or any, for null): aborted, with what is queued by now.
bool end_held_read(HANDLE h, const OVERLAPPED* which, bool take_bytes) {
    OVERLAPPED* o;
    void* buffer;
    DWORD size;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        if (g.held == nullptr || (which != nullptr && which != g.held)) return false;
        o = g.held;
        buffer = g.held_buffer;
        size = g.held_size;
        g.held = nullptr;
    }
    complete(o, kStatusCancelled, take_bytes ? read_queued(h, buffer, size) : 0);
    return true;
}

// kCancelIgnored: the operation stays pending until the port is closed.
BOOL hold_until_closed(OVERLAPPED* o) {
    if (o->hEvent != nullptr) ResetEvent(o->hEvent);
    o->Internal = kStatusPending;
    o->InternalHigh = 0;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.ignoring.push_back(o);
    }
    ++g_counters.held;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

// Closing the port ends what it kept: the driver cleans up on the last handle's close.
void end_ignored() {
    std::vector<OVERLAPPED*> ending;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        ending.swap(g.ignoring);
    }
    for (OVERLAPPED* o : ending) {
        complete(o, kStatusCancelled, 0);
        --g_counters.held;
    }
}

unsigned port_number(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (_strnicmp(name, "COM", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
    char* end = nullptr;
    const unsigned long n = std::strtoul(name + 3, &end, 10);
    return *end == '\0' && n < 256 ? static_cast<unsigned>(n) : 0;
}

// Before the open: false (with the error set) when the model refuses it.
bool may_open(unsigned n) {
    if (n == 0) return true;
    if (fault(kSlowOpen) && n == g.slow_port.load()) Sleep(kSlowOpenMs);
    if (!fault(kBusyOpen) || g.busy_let_go.load()) return true;
    if (n != g.busy_port.load()) {
        g.busy_let_go = g.busy_refused.load();
        return true;
    }
    g.busy_refused = true;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
}

HANDLE opened(unsigned n, HANDLE h) {
    if (n != 0 && h != INVALID_HANDLE_VALUE) g.port = h;
    return h;
}

// ---------------------------------------------------------------------------------------------
// The shims.

void WINAPI model_Sleep(DWORD ms) {
    count_wait();
    Sleep(on_tick(ms));
}

DWORD WINAPI model_SleepEx(DWORD ms, BOOL alertable) {
    count_wait();
    return SleepEx(on_tick(ms), alertable);
}

DWORD WINAPI model_WaitForSingleObject(HANDLE h, DWORD ms) {
    count_wait();
    ms = watch_loader_lock(1, &h, ms);
    return WaitForSingleObject(h, on_tick(ms));
}

DWORD WINAPI model_WaitForSingleObjectEx(HANDLE h, DWORD ms, BOOL alertable) {
    count_wait();
    ms = watch_loader_lock(1, &h, ms);
    return WaitForSingleObjectEx(h, on_tick(ms), alertable);
}

DWORD WINAPI model_WaitForMultipleObjects(DWORD n, const HANDLE* handles, BOOL all, DWORD ms) {
    count_wait();
    ms = watch_loader_lock(n, handles, ms);
    return WaitForMultipleObjects(n, handles, all, on_tick(ms));
}

DWORD WINAPI model_WaitForMultipleObjectsEx(DWORD n, const HANDLE* handles, BOOL all, DWORD ms, BOOL alertable) {
    count_wait();
    ms = watch_loader_lock(n, handles, ms);
    return WaitForMultipleObjectsEx(n, handles, all, on_tick(ms), alertable);
}

HANDLE WINAPI model_CreateWaitableTimerExW(LPSECURITY_ATTRIBUTES sa, LPCWSTR name, DWORD flags, DWORD access) {
    if (g.profile == WindowsProfile::legacy && (flags & CREATE_WAITABLE_TIMER_HIGH_RESOLUTION) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateWaitableTimerExW(sa, name, flags, access);
}

UINT WINAPI model_timeBeginPeriod(UINT period) {
    const UINT result = reinterpret_cast<TimePeriod>(g.begin_period)(period);
    if (result == 0 && period <= 1) ++g.periods_1ms;
    return result;
}

UINT WINAPI model_timeEndPeriod(UINT period) {
    const UINT result = reinterpret_cast<TimePeriod>(g.end_period)(period);
    if (result == 0 && period <= 1) --g.periods_1ms;
    return result;
}

HANDLE WINAPI model_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD how,
                                DWORD flags, HANDLE templ) {
    const unsigned n = port_number(name);
    if (n != 0) ++g_counters.port_opens;
    if (!may_open(n)) return INVALID_HANDLE_VALUE;
    return opened(n, CreateFileA(name, access, share, sa, how, flags, templ));
}

HANDLE WINAPI model_CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD how,
                                DWORD flags, HANDLE templ) {
    char narrow[32] = {};
    for (std::size_t i = 0; i + 1 < sizeof narrow && name[i] != 0; ++i) {
        narrow[i] = name[i] < 128 ? static_cast<char>(name[i]) : '?';
    }
    const unsigned n = port_number(narrow);
    if (n != 0) ++g_counters.port_opens;
    if (!may_open(n)) return INVALID_HANDLE_VALUE;
    return opened(n, CreateFileW(name, access, share, sa, how, flags, templ));
}

BOOL WINAPI model_CloseHandle(HANDLE h) {
    if (is_port(h)) {
        end_held_read(h, nullptr, false);
        g.port = INVALID_HANDLE_VALUE;
        const BOOL closed = CloseHandle(h);
        end_ignored();
        return closed;
    }
    return CloseHandle(h);
}

BOOL WINAPI model_GetCommState(HANDLE h, LPDCB dcb) {
    if (!GetCommState(h, dcb)) return FALSE;
    if (fault(kXonEqualsXoff) && is_port(h)) dcb->XonChar = dcb->XoffChar = 0;
    return TRUE;
}

BOOL WINAPI model_SetCommState(HANDLE h, LPDCB dcb) {
    if ((windows() || fault(kXonEqualsXoff)) && dcb->XonChar == dcb->XoffChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Checked against the receive queue whether or not flow control is on.
    if (fault(kSmallQueue) && (dcb->XonLim > kSmallQueueBytes || dcb->XoffLim > kSmallQueueBytes - dcb->XonLim)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SetCommState(h, dcb);
}

BOOL WINAPI model_SetupComm(HANDLE h, DWORD in, DWORD out) {
    if (fault(kSmallQueue) && is_port(h)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SetupComm(h, in, out);
}

BOOL WINAPI model_GetCommProperties(HANDLE h, LPCOMMPROP properties) {
    if (!GetCommProperties(h, properties)) return FALSE;
    if (fault(kSmallQueue) && is_port(h)) properties->dwCurrentRxQueue = properties->dwCurrentTxQueue = kSmallQueueBytes;
    return TRUE;
}

// The total timeouts are the serial driver's kernel timers. Only the constant part is rounded;
// with a multiplier the total would round, which the model leaves out.
BOOL WINAPI model_SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS timeouts) {
    if (!windows()) return SetCommTimeouts(h, timeouts);
    COMMTIMEOUTS t = *timeouts;
    t.ReadTotalTimeoutConstant = serial_on_tick(t.ReadTotalTimeoutConstant);
    t.WriteTotalTimeoutConstant = serial_on_tick(t.WriteTotalTimeoutConstant);
    return SetCommTimeouts(h, &t);
}

BOOL WINAPI model_ReadFile(HANDLE h, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED o) {
    if (!is_port(h)) return ReadFile(h, buffer, size, got, o);
    ++g_counters.port_reads;
    if (fault(kRemoval)) return failed_with(g.removal_error.load());
    if (fault(kReadsFail)) return failed_with(ERROR_IO_DEVICE);
    if (o != nullptr && fault(kCancelIgnored) && queued(h) < size) return hold_until_closed(o);
    if (o != nullptr && fault(kCancelKeepsBytes | kReadEndsAtOnce) && queued(h) < size) {
        if (fault(kReadEndsAtOnce)) {
            complete(o, kStatusSuccess, 0);
            if (got != nullptr) *got = 0;
            return TRUE;
        }
        std::lock_guard<std::mutex> guard(g.lock);
        if (g.held == nullptr) {
            // As ReadFile does when it begins: the event says nothing of an earlier operation.
            if (o->hEvent != nullptr) ResetEvent(o->hEvent);
            o->Internal = kStatusPending;
            o->InternalHigh = 0;
            g.held = o;
            g.held_buffer = buffer;
            g.held_size = size;
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
    }
    return ReadFile(h, buffer, size, got, o);
}

BOOL WINAPI model_WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD put, LPOVERLAPPED o) {
    if (!is_port(h) && fault(kFileWriteStall) && !g.file_stalled.exchange(true)) Sleep(g.stall_s.load() * 1000U);
    if (!is_port(h)) return WriteFile(h, data, size, put, o);
    ++g_counters.port_writes;
    g.writer = GetCurrentThreadId();
    if (fault(kRemoval)) return failed_with(g.removal_error.load());
    return WriteFile(h, data, size, put, o);
}

BOOL WINAPI model_ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
    if (fault(kStatusStall) && is_port(h) && GetCurrentThreadId() == g.writer.load() && !g.stalled.exchange(true)) {
        Sleep(kStallMs);
    }
    if (!fault(kRemoval) || !is_port(h)) return ClearCommError(h, errors, status);
    // The device is gone: nothing is queued that a read could take.
    if (errors != nullptr) *errors = 0;
    if (status != nullptr) *status = COMSTAT{};
    return TRUE;
}

BOOL WINAPI model_WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED o) {
    if (o != nullptr && is_port(h) && fault(kCancelIgnored)) return hold_until_closed(o);
    return WaitCommEvent(h, events, o);
}

BOOL WINAPI model_TerminateThread(HANDLE thread, DWORD code) {
    ++g_counters.terminated;
    return TerminateThread(thread, code);
}

void CALLBACK box_timer(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    void (*callback)() = nullptr;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        std::swap(callback, g.box_callback);
    }
    if (callback != nullptr) callback();
}

int WINAPI model_MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (owner != nullptr && owner == GetDesktopWindow()) ++g_counters.desktop_boxes;
    bool armed = false;
    {
        std::lock_guard<std::mutex> guard(g.lock);
        armed = g.box_callback != nullptr;
    }
    // A thread timer: the box's own message loop dispatches it.
    if (armed) SetTimer(nullptr, 0, USER_TIMER_MINIMUM, box_timer);
    return MessageBoxA(owner, text, caption, type);
}

BOOL WINAPI model_GetUserObjectInformationA(HANDLE object, int index, PVOID info, DWORD size, LPDWORD needed) {
    if (!GetUserObjectInformationA(object, index, info, size, needed)) return FALSE;
    if (fault(kNoDesktop) && index == UOI_FLAGS && size >= sizeof(USEROBJECTFLAGS)) {
        static_cast<USEROBJECTFLAGS*>(info)->dwFlags &= ~static_cast<DWORD>(WSF_VISIBLE);
    }
    return TRUE;
}

BOOL WINAPI model_ProcessIdToSessionId(DWORD process, DWORD* session) {
    if (!ProcessIdToSessionId(process, session)) return FALSE;
    if (fault(kServiceSession)) *session = 0;
    return TRUE;
}

void WINAPI model_OutputDebugStringA(LPCSTR text) {
    {
        std::lock_guard<std::mutex> guard(g.lock);
        g.debugger += text;
    }
    OutputDebugStringA(text);
}

// Windows' profile functions take a UTF-8 byte-order mark for part of the first line, so a header
// there is not one (Wine skips the mark). Under a Windows profile such a file is read from a copy
// whose mark is made plain letters, which Wine then reads as Windows reads the original.
struct ProfileFile {
    std::string path;
    bool copied = false;
    explicit ProfileFile(LPCSTR given) : path(given != nullptr ? given : "") {
        if (!windows() || path.empty() || read_text(path).rfind("\xEF\xBB\xBF", 0) != 0) return;
        char folder[MAX_PATH], copy[MAX_PATH];
        if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "bom", 0, copy) == 0) return;
        std::string text = read_text(path);
        text.replace(0, 3, "bom");
        write_text(copy, text);
        path = copy;
        copied = true;
    }
    ~ProfileFile() {
        if (copied) DeleteFileA(path.c_str());
    }
    LPCSTR name(LPCSTR given) const { return copied ? path.c_str() : given; }
};

UINT WINAPI model_GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT fallback, LPCSTR path) {
    const ProfileFile file(path);
    return GetPrivateProfileIntA(section, key, fallback, file.name(path));
}

DWORD WINAPI model_GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR out, DWORD size,
                                            LPCSTR path) {
    const ProfileFile file(path);
    return GetPrivateProfileStringA(section, key, fallback, out, size, file.name(path));
}

BOOL WINAPI model_CancelIoEx(HANDLE h, LPOVERLAPPED o) {
    if (is_port(h) && end_held_read(h, o, true)) return TRUE;
    return CancelIoEx(h, o);
}

BOOL WINAPI model_CancelIo(HANDLE h) {
    if (is_port(h) && end_held_read(h, nullptr, true)) return TRUE;
    return CancelIo(h);
}

const ImportShim kShims[] = {
    {"kernel32.dll", "Sleep", shim_address(&model_Sleep)},
    {"kernel32.dll", "SleepEx", shim_address(&model_SleepEx)},
    {"kernel32.dll", "WaitForSingleObject", shim_address(&model_WaitForSingleObject)},
    {"kernel32.dll", "WaitForSingleObjectEx", shim_address(&model_WaitForSingleObjectEx)},
    {"kernel32.dll", "WaitForMultipleObjects", shim_address(&model_WaitForMultipleObjects)},
    {"kernel32.dll", "WaitForMultipleObjectsEx", shim_address(&model_WaitForMultipleObjectsEx)},
    {"kernel32.dll", "CreateWaitableTimerExW", shim_address(&model_CreateWaitableTimerExW)},
    {"kernel32.dll", "CreateFileA", shim_address(&model_CreateFileA)},
    {"kernel32.dll", "CreateFileW", shim_address(&model_CreateFileW)},
    {"kernel32.dll", "CloseHandle", shim_address(&model_CloseHandle)},
    {"kernel32.dll", "GetCommState", shim_address(&model_GetCommState)},
    {"kernel32.dll", "SetCommState", shim_address(&model_SetCommState)},
    {"kernel32.dll", "SetCommTimeouts", shim_address(&model_SetCommTimeouts)},
    {"kernel32.dll", "SetupComm", shim_address(&model_SetupComm)},
    {"kernel32.dll", "GetCommProperties", shim_address(&model_GetCommProperties)},
    {"kernel32.dll", "ReadFile", shim_address(&model_ReadFile)},
    {"kernel32.dll", "WriteFile", shim_address(&model_WriteFile)},
    {"kernel32.dll", "ClearCommError", shim_address(&model_ClearCommError)},
    {"kernel32.dll", "CancelIoEx", shim_address(&model_CancelIoEx)},
    {"kernel32.dll", "CancelIo", shim_address(&model_CancelIo)},
    {"kernel32.dll", "WaitCommEvent", shim_address(&model_WaitCommEvent)},
    {"kernel32.dll", "TerminateThread", shim_address(&model_TerminateThread)},
    {"kernel32.dll", "ProcessIdToSessionId", shim_address(&model_ProcessIdToSessionId)},
    {"kernel32.dll", "OutputDebugStringA", shim_address(&model_OutputDebugStringA)},
    {"user32.dll", "MessageBoxA", shim_address(&model_MessageBoxA)},
    {"kernel32.dll", "GetPrivateProfileIntA", shim_address(&model_GetPrivateProfileIntA)},
    {"kernel32.dll", "GetPrivateProfileStringA", shim_address(&model_GetPrivateProfileStringA)},
    {"user32.dll", "GetUserObjectInformationA", shim_address(&model_GetUserObjectInformationA)},
    {"winmm.dll", "timeBeginPeriod", shim_address(&model_timeBeginPeriod), &g.begin_period},
    {"winmm.dll", "timeEndPeriod", shim_address(&model_timeEndPeriod), &g.end_period},
};

}  // namespace

bool parse_windows_model(const char* text, ModelOptions* options) {
    *options = ModelOptions{};
    const struct {
        const char* name;
        unsigned fault;
    } faults[] = {{"cancel-keeps-bytes", kCancelKeepsBytes}, {"read-ends-at-once", kReadEndsAtOnce},
                  {"status-stall", kStatusStall},             {"slow-open", kSlowOpen},
                  {"busy-open", kBusyOpen},                   {"xon-equals-xoff", kXonEqualsXoff},
                  {"removal", kRemoval},                      {"reads-fail", kReadsFail},
                  {"cancel-ignored", kCancelIgnored},         {"no-desktop", kNoDesktop},
                  {"service-session", kServiceSession},       {"small-queue", kSmallQueue},
                  {"file-write-stall", kFileWriteStall}};
    std::istringstream parts(text != nullptr && *text != '\0' ? text : "none");
    std::string part;
    std::getline(parts, part, ',');
    if (part != "none" && part != "legacy" && part != "current") return false;
    options->profile = part == "none" ? WindowsProfile::none : part == "legacy" ? WindowsProfile::legacy
                                                                                 : WindowsProfile::current;
    while (std::getline(parts, part, ',')) {
        const std::size_t equals = part.find('=');
        const std::string name = part.substr(0, equals);
        const auto value = equals == std::string::npos ? 0 : std::strtoul(part.c_str() + equals + 1, nullptr, 10);
        options->period_1ms |= name == "period-1ms";
        const auto f =
            std::find_if(std::begin(faults), std::end(faults), [&](const auto& each) { return name == each.name; });
        // The faults of a port or an error name it after '='.
        const bool named = name == "slow-open" || name == "busy-open" || name == "removal" || name == "file-write-stall";
        if (name == "period-1ms") continue;
        if (f == std::end(faults) || (named && value == 0)) return false;
        options->faults |= f->fault;
        if (f->fault == kSlowOpen) options->slow_port = static_cast<unsigned>(value);
        if (f->fault == kBusyOpen) options->busy_port = static_cast<unsigned>(value);
        if (f->fault == kRemoval) options->removal_error = static_cast<DWORD>(value);
        if (f->fault == kFileWriteStall) options->stall_s = static_cast<unsigned>(value);
    }
    return true;
}

bool install_windows_model(HMODULE dll, const ModelOptions& options) {
    g.profile = options.profile;
    g.origin_ms = now_ms();
    g.slow_port = options.slow_port;
    g.busy_port = options.busy_port;
    g.removal_error = options.removal_error;
    g.stall_s = options.stall_s;
    g.periods_1ms = options.period_1ms ? 1 : 0;
    g.faults = options.faults;
    return patch_imports(dll, kShims, std::size(kShims)) > 0;
}

void switch_on_model_fault(ModelFault f, unsigned parameter) {
    if (f == kSlowOpen) g.slow_port = parameter;
    if (f == kBusyOpen) g.busy_port = parameter;
    if (f == kRemoval) g.removal_error = parameter;
    if (f == kFileWriteStall) g.stall_s = parameter;
    g.faults.fetch_or(f);
}

const ModelCounters& model_counters() { return g_counters; }

void call_back_from_next_box(void (*callback)()) {
    std::lock_guard<std::mutex> guard(g.lock);
    g.box_callback = callback;
}

std::string debugger_text() {
    std::lock_guard<std::mutex> guard(g.lock);
    return g.debugger;
}

std::vector<ThreadWaits> waits_by_thread() {
    std::vector<ThreadWaits> all;
    for (std::size_t i = 0; i < kThreadSlots && g_slot_thread[i].load() != 0; ++i) {
        all.push_back({g_slot_thread[i].load(), g_slot_waits[i].load()});
    }
    return all;
}

bool install_model_from_environment(HMODULE dll) {
    ModelOptions model;
    const char* text = std::getenv("VEK_WINDOWS_MODEL");
    if (!parse_windows_model(text, &model)) {
        std::printf("FAIL: VEK_WINDOWS_MODEL=%s is not a Windows model\n", text);
        return false;
    }
    if (!install_windows_model(dll, model)) {
        std::printf("FAIL: the Windows model could not be installed in the DLL's imports\n");
        return false;
    }
    std::printf("Windows model: %s\n", text != nullptr && *text != '\0' ? text : "none");
    return true;
}
