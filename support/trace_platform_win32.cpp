#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "support/trace_platform.h"
#include "support/win32_pinned_thread.h"

namespace vek {

namespace {

using PreciseTimeCall = VOID(WINAPI*)(LPFILETIME);

// GetSystemTimeAsFileTime moves in steps of the system tick (up to 15.6 ms); the precise call,
// where the system has it (Windows 8 on), gives the milliseconds the trace shows.
PreciseTimeCall precise_time_call() {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr) return nullptr;
    FARPROC call = GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime");
    if (call == nullptr) return nullptr;
    return reinterpret_cast<PreciseTimeCall>(reinterpret_cast<void*>(call));
}

HANDLE handle_of(const TraceFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

}  // namespace

const char kTraceLineEnd[] = "\r\n";

namespace {

// Where the trace's hold on its file is locked: a byte at 2^62, which no trace reaches.
constexpr DWORD kHoldOffsetLow = 0;
constexpr DWORD kHoldOffsetHigh = 0x40000000;

TraceOpened refused(TraceRefusal why, HANDLE handle) {
    CloseHandle(handle);
    return {why, 0};
}

}  // namespace

TraceOpened trace_file_open(const char* path, TraceFile& file) {
    // Opening a device can do something (a serial port raises its lines), so what the name holds
    // is checked before; the checks on the open handle below hold if the name changes.
    const DWORD named = GetFileAttributesA(path);
    if (named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return {TraceRefusal::link, 0};
    if (named != INVALID_FILE_ATTRIBUTES && (named & FILE_ATTRIBUTE_DIRECTORY) != 0) return {TraceRefusal::not_regular, 0};
    // Appending access makes every write go to the end; read, for a look at the first line.
    // Every sharing is allowed, so that any reader may open it (one that opens for writing too,
    // as editors and PowerShell's Get-Content do), and the user may rename or delete it while it
    // is written, as on Linux. The trace's hold on it is a lock, below.
    HANDLE handle = CreateFileA(path, FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return {error == ERROR_SHARING_VIOLATION ? TraceRefusal::in_use : TraceRefusal::system, error};
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) return refused(TraceRefusal::not_regular, handle);
    // One byte far past any end the file will have, locked for as long as the trace holds the
    // file: a second trace, in this process or another, fails to lock it, and no reader or
    // writer of the lines ever meets the lock.
    OVERLAPPED hold{};
    hold.Offset = kHoldOffsetLow;
    hold.OffsetHigh = kHoldOffsetHigh;
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &hold) == FALSE) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return {error == ERROR_LOCK_VIOLATION ? TraceRefusal::in_use : TraceRefusal::system, error};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(handle, &info) == FALSE) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return {TraceRefusal::system, error};
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return refused(TraceRefusal::link, handle);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return refused(TraceRefusal::not_regular, handle);
    file.handle = reinterpret_cast<intptr_t>(handle);
    file.size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    return {TraceRefusal::none, 0};
}

std::size_t trace_file_read_start(TraceFile& file, char* bytes, std::size_t n) {
    OVERLAPPED at_start{};  // a read at offset 0, on a handle opened for synchronous calls
    DWORD done = 0;
    if (ReadFile(handle_of(file), bytes, static_cast<DWORD>(n), &done, &at_start) == FALSE) return 0;
    return done;
}

// Appending access cannot cut the file back: a write that fails part way leaves the part it wrote.
TraceIo trace_file_write(TraceFile& file, const char* bytes, std::size_t n) {
    while (n > 0) {
        DWORD done = 0;
        const BOOL ok = WriteFile(handle_of(file), bytes, static_cast<DWORD>(n), &done, nullptr);
        if (ok == FALSE || done == 0) return {false, ok == FALSE ? GetLastError() : static_cast<TraceError>(ERROR_WRITE_FAULT)};
        bytes += done;
        n -= done;
    }
    return {true, 0};
}

bool trace_absolute_path(const char* path, std::string& absolute) {
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) return false;
    absolute.assign(full, n);
    return true;
}

void trace_file_close(TraceFile& file) {
    if (file.handle == -1) return;
    CloseHandle(handle_of(file));  // nothing to do about a failure: the lines were written
    file.handle = -1;
    file.size = 0;
}

TraceRenamed trace_file_rename(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE) return {TraceRename::moved, 0};
    const DWORD error = GetLastError();
    return {error == ERROR_FILE_NOT_FOUND ? TraceRename::missing : TraceRename::failed, error};
}

bool trace_thread_start(void (*run)(void* argument), void* argument) {
    const HANDLE thread = start_pinned_thread(run, argument);
    if (thread == nullptr) return false;
    CloseHandle(thread);  // never joined: it ends by itself
    return true;
}

TraceIo trace_writer_thread_begins() { return {true, 0}; }  // a failed write on Windows is only an error code

uint64_t trace_clock_now() {
    static const PreciseTimeCall precise = precise_time_call();
    FILETIME now{};
    if (precise != nullptr)
        precise(&now);
    else
        GetSystemTimeAsFileTime(&now);
    return static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
}

void trace_local_time(uint64_t stamp, char (&text)[kTraceTimeChars + 1]) {
    FILETIME utc{static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    FILETIME local{};
    SYSTEMTIME parts{};
    const bool converted = FileTimeToLocalFileTime(&utc, &local) != FALSE && FileTimeToSystemTime(&local, &parts) != FALSE;
    if (!converted) {
        std::snprintf(text, sizeof text, "%-23s", "(no local time)");
        return;
    }
    // Room for any WORD the fields could hold; the fields of a real date fill exactly 23.
    char full[64];
    std::snprintf(full, sizeof full, "%04u-%02u-%02u %02u:%02u:%02u.%03u", parts.wYear, parts.wMonth, parts.wDay,
                  parts.wHour, parts.wMinute, parts.wSecond, parts.wMilliseconds);
    const std::size_t n = std::min(std::strlen(full), kTraceTimeChars);
    std::memcpy(text, full, n);
    text[n] = '\0';
}

void trace_error_text(TraceError error, char* text, std::size_t room) {
    if (room == 0) return;
    text[0] = '\0';
    if (error != 0) std::snprintf(text, room, " (system error %lu)", error);
}

}  // namespace vek
