// Shared pieces of the Windows test programs that drive the real DLL under Wine: checks that count
// failures, the host's records laid out as raw bytes, and the loaded driver.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "host_layout.h"
#include "tests/checks.h"

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
    uint32_t slot() const {
        uint32_t value;
        std::memcpy(&value, bytes + 260, 4);
        return value;
    }
    void set_slot(uint32_t value) { std::memcpy(bytes + 260, &value, 4); }
    bool host_bytes_intact() const {
        for (int i = 0; i < 260; ++i) {
            if (bytes[i] != 0x5A) return false;
        }
        return true;
    }
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

inline void write_text(const std::string& path, const char* text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fputs(text, f);
    std::fclose(f);
}

// Writes one command line into a virtual card's control FIFO; false when it could not be sent by
// give_up_ms. The card reopens its FIFO after each writer: between the two it may refuse an open.
inline bool send_card_command(const std::string& control, const std::string& line, double give_up_ms) {
    while (now_ms() < give_up_ms) {
        if (FILE* fifo = std::fopen(control.c_str(), "wb")) {
            const bool sent = std::fprintf(fifo, "%s\n", line.c_str()) > 0;
            std::fclose(fifo);
            return sent;
        }
        Sleep(10);
    }
    return false;
}

inline std::string read_text(const std::string& path) {
    std::string text;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

// The delay saved for a driver number, read back with the platform's own profile function.
inline UINT stored_delay(const std::string& path, uint32_t number, UINT fallback = 12345) {
    char section[40];
    std::snprintf(section, sizeof section, "korvanex-vek-driver-%u", number);
    return GetPrivateProfileIntA(section, "delay", static_cast<INT>(fallback), path.c_str());
}

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

// The `stay-idle FLAG` run of the scripts' programs: keeps the prefix's services up while the
// script relinks ports, until the named file is gone (5 minutes at most).
inline void stay_idle(const char* flag_file) {
    for (int i = 0; i < 3000 && GetFileAttributesA(flag_file) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
}

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
    int32_t call_no_path(uint32_t number, uint32_t command, RawDriverRecord* rec) {
        return entry(number, command, host.record(), rec->bytes, nullptr);
    }
};
