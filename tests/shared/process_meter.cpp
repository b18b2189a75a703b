#include "tests/shared/process_meter.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <fstream>

namespace {

std::size_t entries_in(const char* folder) {
    std::size_t count = 0;
    DIR* dir = ::opendir(folder);
    if (dir == nullptr) return 0;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

double clock_ms(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace

std::size_t thread_count() { return entries_in("/proc/self/task"); }

// The list is read through a descriptor of its own, the same every time.
std::size_t descriptor_count() { return entries_in("/proc/self/fd"); }

double resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long size_pages = 0;
    long resident_pages = 0;
    statm >> size_pages >> resident_pages;
    return static_cast<double>(resident_pages) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

ProcessCounts measure_process() {
    return {thread_count(), descriptor_count(), static_cast<std::size_t>(resident_kib())};
}

double process_cpu_ms() { return clock_ms(CLOCK_PROCESS_CPUTIME_ID); }
double now_ms() { return clock_ms(CLOCK_MONOTONIC); }

void sleep_ms(double ms) {
    if (ms <= 0) return;
    const double whole = std::floor(ms / 1000.0);
    timespec rest{static_cast<time_t>(whole), static_cast<long>((ms - whole * 1000.0) * 1e6)};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}
