// glibc's own entry points stay reachable under their __libc_ names, so each counter is a
// relay. Built only without sanitizers, which replace the allocator themselves.
#include "alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

namespace {

std::atomic<uint64_t> g_allocations{0};

void count() { g_allocations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

uint64_t allocations_so_far() { return g_allocations.load(std::memory_order_relaxed); }

extern "C" {

void* malloc(std::size_t size) {
    count();
    return __libc_malloc(size);
}

void* calloc(std::size_t n, std::size_t size) {
    count();
    return __libc_calloc(n, size);
}

void* realloc(void* block, std::size_t size) {
    count();
    return __libc_realloc(block, size);
}

void free(void* block) { __libc_free(block); }

void* memalign(std::size_t alignment, std::size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    count();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

}  // extern "C"
