// What the soak watches for leaks: this process's threads, open descriptors and resident memory.
#pragma once

#include <cstddef>

struct ProcessCounts {
    std::size_t threads;
    std::size_t descriptors;
    std::size_t resident_kb;
};

ProcessCounts measure_process();
