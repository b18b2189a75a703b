#include "tests/soak/process_meter.h"

#include <dirent.h>
#include <unistd.h>

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

std::size_t resident_kb() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size_pages = 0;
    std::size_t resident_pages = 0;
    statm >> size_pages >> resident_pages;
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? resident_pages * static_cast<std::size_t>(page) / 1024U : 0;
}

}  // namespace

ProcessCounts measure_process() {
    // The descriptor list is read through a descriptor of its own, the same every time.
    return {entries_in("/proc/self/task"), entries_in("/proc/self/fd"), resident_kb()};
}
