// This process as the native tests and benches watch it: its threads, open descriptors, resident
// memory and CPU time, and the monotonic clock the figures are taken with.
#pragma once

#include <cstddef>

std::size_t thread_count();
std::size_t descriptor_count();
double resident_kib();
double process_cpu_ms();  // every thread's
double now_ms();          // CLOCK_MONOTONIC
void sleep_ms(double ms);

// The three the soak holds flat, taken together.
struct ProcessCounts {
    std::size_t threads;
    std::size_t descriptors;
    std::size_t resident_kb;
};
ProcessCounts measure_process();
