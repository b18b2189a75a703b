// What the trace asks of the platform: a file appended to, renamed aside when full, the wall
// clock read cheaply on the caller's thread and turned into local time on the writer's, and the
// system's words for an error, for the one report to the user when the trace cannot be written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vek {

// An open trace file.
struct TraceFile {
    intptr_t handle = -1;  // a descriptor or a HANDLE; -1 (INVALID_HANDLE_VALUE too) when closed
    uint64_t size = 0;     // bytes in the file, counted on from its size at the open
};

// The system's error code: errno, or GetLastError.
using TraceError = unsigned long;

// What a call on the file did: ok, or not with the system's error code.
struct TraceIo {
    bool ok;
    TraceError error;  // 0 when ok
};

// Why a file was not opened as the trace's.
enum class TraceRefusal {
    none,
    system,       // the system refused; the error says why
    link,         // a symbolic link (a reparse point on Windows): never followed
    not_regular,  // a FIFO, a device or a folder
    in_use,       // another trace, in this process or another, holds it
};
struct TraceOpened {
    TraceRefusal refusal;
    TraceError error;  // for system
};

// Opens the regular file at path for appending, creating it, and holds it so that no other
// trace opens it until trace_file_close. Never follows a link at path, never opens a FIFO or a
// device, never waits for anything.
TraceOpened trace_file_open(const char* path, TraceFile& file);

// Up to n bytes from the start of the file; how many were read.
std::size_t trace_file_read_start(TraceFile& file, char* bytes, std::size_t n);

// Writes all n bytes at the end of the file; not ok when they could not all be written, and
// then the file is cut back to its size before the call (where the platform can), so that no
// part of them stays.
TraceIo trace_file_write(TraceFile& file, const char* bytes, std::size_t n);

// path made absolute against the current folder, once, so that the host changing its folder
// later cannot move the trace. false when it cannot be done.
bool trace_absolute_path(const char* path, std::string& absolute);

void trace_file_close(TraceFile& file);

enum class TraceRename { moved, missing, failed };

// Renames from to to, replacing to. missing when from does not exist (deleted while written).
struct TraceRenamed {
    TraceRename outcome;
    TraceError error;  // 0 when moved
};
TraceRenamed trace_file_rename(const char* from, const char* to);

// Starts run(argument) on the trace's writer thread, which nobody joins: it ends by itself once
// run returns. On Windows it holds the module loaded from before it starts until its last
// instruction (FreeLibraryAndExitThread), so a write stuck in the file system never returns into
// an unloaded module, and an unload never has to wait for it. False when no thread could be made.
bool trace_thread_start(void (*run)(void* argument), void* argument);

// Called first on the writer thread: whatever the platform needs so that no write of the trace
// (past a file-size limit, say) can end the host's process. Not ok when that could not be done.
TraceIo trace_writer_thread_begins();

// The wall clock in the platform's own units, cheap enough for any thread.
uint64_t trace_clock_now();

// "YYYY-MM-DD HH:MM:SS.mmm", the local date and time of a reading of trace_clock_now.
constexpr std::size_t kTraceTimeChars = 23;
void trace_local_time(uint64_t stamp, char (&text)[kTraceTimeChars + 1]);

// The end of each line in the file: what the platform's text viewers expect.
extern const char kTraceLineEnd[];

// " (the system's words for error)", or an empty text for error 0.
void trace_error_text(TraceError error, char* text, std::size_t room);

}  // namespace vek
