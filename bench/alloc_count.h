// Counts the heap allocations of this whole process, the driver library included: the bench
// defines malloc and its relatives itself, and the dynamic linker binds every library's calls
// to them.
#pragma once

#include <cstdint>

// Allocations (malloc, calloc, realloc, the aligned ones, and so operator new) since the start.
uint64_t allocations_so_far();
