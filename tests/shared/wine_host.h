// What the Windows programs that drive the real DLL under Wine share, the tests and the bench:
// the host's records laid out as raw bytes, the loaded driver, files, and the process's threads,
// handles and CPU time.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_layout.h"
#include "tests/checks.h"
#include "tests/shared/text_file.h"

// Milliseconds on the performance counter.
inline double now_ms() {
    static const double per_ms = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER t{};
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / per_ms;
}

// The host's per-instance record: a 264-byte record with the driver's slot at 260, in every build.
// The shared record, RawHost, comes from host_layout.h, which the build picks for its processor.
struct RawDriverRecord {
    alignas(4) unsigned char bytes[264];
    RawDriverRecord() { std::memset(bytes, 0x5A, sizeof bytes); }
};

// The folder of this program, where the DLL sits too.
inline std::string program_folder() {
    char exe[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string folder(exe, n);
    folder.erase(folder.rfind('\\'));
    return folder;
}

inline std::string driver_path() { return program_folder() + "\\vek_driver.dll"; }

// Threads of this process, from a system snapshot; -1 when no snapshot could be taken.
inline long thread_count() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    long count = 0;
    const DWORD me = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == me) ++count;
    }
    CloseHandle(snapshot);
    return count;
}

// Handles this process holds. Wine's GetProcessHandleCount succeeds with 0 every time, so the
// count then comes from the system's handle list, as on Windows (class 16, one entry a handle).
inline long handle_count() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n > 0) return static_cast<long>(n);
    struct HandleEntry {
        USHORT process_id;
        USHORT creator_back_trace_index;
        UCHAR object_type;
        UCHAR flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    struct HandleList {
        ULONG count;
        HandleEntry entries[1];
    };
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) return -1;
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<unsigned char> buffer(1 << 16);
    LONG status;
    ULONG needed = 0;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
           kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) return -1;
    HandleList list;
    std::memcpy(&list.count, buffer.data(), sizeof list.count);
    const std::size_t first = offsetof(HandleList, entries);
    const auto me = static_cast<USHORT>(GetCurrentProcessId());
    long mine = 0;
    for (ULONG i = 0; i < list.count && first + (i + 1) * sizeof(HandleEntry) <= buffer.size(); ++i) {
        HandleEntry e;
        std::memcpy(&e, buffer.data() + first + i * sizeof e, sizeof e);
        if (e.process_id == me) ++mine;
    }
    return mine;
}

// The CPU time of this process, every thread, in ms. Wine keeps it in clock ticks (10 ms), so a
// window must be long.
inline double process_cpu_ms() {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ms = [](const FILETIME& t) {
        return static_cast<double>(static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

// The `stay-idle FLAG` run of the scripts' programs: keeps the prefix's services up while the
// script relinks ports, until the named file is gone (5 minutes at most).
inline void stay_idle(const char* flag_file) {
    for (int i = 0; i < 3000 && GetFileAttributesA(flag_file) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

// The driver's message boxes, as a user would meet them: each is read and closed with OK, so a
// card that is not found fails a run instead of hanging it on a box nobody sees.
class BoxWatcher {
public:
    struct Box {
        std::string text;
        double closed_ms;  // on now_ms()'s clock
    };
    BoxWatcher()
        : thread_([this] {
              for (; !done_.load(); Sleep(10)) {
                  HWND box = FindWindowA(nullptr, "VEK KORVANEX driver");
                  if (box == nullptr || !IsWindowVisible(box)) continue;
                  char shown[128] = {};
                  HWND label = FindWindowExA(box, nullptr, "Static", nullptr);
                  while (label != nullptr && GetWindowTextA(label, shown, sizeof shown) == 0) {
                      label = FindWindowExA(box, label, "Static", nullptr);  // the icon's static has no text
                  }
                  {
                      // Told before it is closed: the call it holds returns as soon as it is.
                      const std::lock_guard<std::mutex> hold(lock_);
                      boxes_.push_back({shown, now_ms()});
                  }
                  Sleep(200);  // a user takes a moment to read it: the host's timers run meanwhile
                  SendMessageA(box, WM_COMMAND, IDOK, 0);
                  for (int i = 0; i < 500 && IsWindow(box); ++i) Sleep(10);
              }
          }) {}
    ~BoxWatcher() {
        done_ = true;
        thread_.join();
    }
    // The boxes closed since the last call.
    std::vector<Box> take() {
        const std::lock_guard<std::mutex> hold(lock_);
        std::vector<Box> taken;
        taken.swap(boxes_);
        return taken;
    }

private:
    std::atomic<bool> done_{false};
    std::mutex lock_;
    std::vector<Box> boxes_;
    std::thread thread_;
};

using Entry = int32_t(__cdecl*)(uint32_t, uint32_t, void*, void*, const char*);

// The real DLL, loaded the way the host loads it, and the host's records it is called with.
struct Driver {
    HMODULE module = nullptr;
    Entry entry = nullptr;
    RawHost host;

    // False, with the reason printed, when the DLL or its export cannot be found.
    bool load() {
        const std::string dll = driver_path();
        module = LoadLibraryA(dll.c_str());
        if (module == nullptr) {
            std::printf("FAIL: LoadLibraryA(%s): error %lu\n", dll.c_str(), GetLastError());
            return false;
        }
        entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, "DriverEntry")));
        if (entry == nullptr) std::printf("FAIL: DriverEntry is not exported by name\n");
        return entry != nullptr;
    }
    int32_t call(uint32_t number, uint32_t command, RawDriverRecord* rec, const std::string& path) {
        return entry(number, command, host.record(), rec != nullptr ? rec->bytes : nullptr, path.c_str());
    }
};
