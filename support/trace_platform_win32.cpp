#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/trace_platform.h"

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

TraceIo trace_file_open(const char* path, bool truncate, TraceFile& file) {
    // Shared for deletion too, so that the user can delete or rename the trace while it is
    // written, as on Linux; appending access makes every write go to the end.
    HANDLE handle = CreateFileA(path, truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {false, GetLastError()};
    LARGE_INTEGER size{};
    if (GetFileSizeEx(handle, &size) == FALSE) size.QuadPart = 0;  // not a disk file: nothing to cap
    file.handle = reinterpret_cast<intptr_t>(handle);
    file.size = static_cast<uint64_t>(size.QuadPart);
    return {true, 0};
}

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
