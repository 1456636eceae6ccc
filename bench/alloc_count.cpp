// Replaces the global allocation functions with counting ones that forward
// to glibc's own allocator. glibc documents the replacement of malloc, free,
// calloc and realloc by the executable; its allocator stays reachable under
// the __libc_* names, so every block, whichever function made it, still
// belongs to one heap and any of the frees may release it.
#include "alloc_count.h"

#include <cstddef>
#include <cstdlib>
#include <new>

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *block, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *block);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

// Thread-local, so that the helper threads of a benchmark (the drainer, the
// framework's own) never show up in the count of the thread being measured.
// Constant-initialised: reading it needs no initialisation guard and no
// allocation, which matters inside malloc itself.
constinit thread_local std::uint64_t allocations = 0;

void *counted_new(std::size_t size) {
    ++allocations;
    for (;;) {
        if (void *p = __libc_malloc(size == 0 ? 1 : size)) {
            return p;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void *counted_aligned_new(std::size_t size, std::align_val_t alignment) {
    ++allocations;
    for (;;) {
        if (void *p = __libc_memalign(static_cast<std::size_t>(alignment), size == 0 ? 1 : size)) {
            return p;
        }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

} // namespace

namespace kinetra::bench {

std::uint64_t thread_allocations() noexcept { return allocations; }

} // namespace kinetra::bench

extern "C" {

void *malloc(std::size_t size) {
    ++allocations;
    return __libc_malloc(size);
}

void *calloc(std::size_t count, std::size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}

void *realloc(void *block, std::size_t size) {
    ++allocations;
    return __libc_realloc(block, size);
}

void free(void *block) { __libc_free(block); }

} // extern "C"

void *operator new(std::size_t size) { return counted_new(size); }
void *operator new[](std::size_t size) { return counted_new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return counted_new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    try {
        return counted_new(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new(std::size_t size, std::align_val_t alignment) {
    return counted_aligned_new(size, alignment);
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
    return counted_aligned_new(size, alignment);
}
void *operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t &) noexcept {
    try {
        return counted_aligned_new(size, alignment);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t &) noexcept {
    try {
        return counted_aligned_new(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void *block) noexcept { __libc_free(block); }
void operator delete[](void *block) noexcept { __libc_free(block); }
void operator delete(void *block, std::size_t) noexcept { __libc_free(block); }
void operator delete[](void *block, std::size_t) noexcept { __libc_free(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { __libc_free(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { __libc_free(block); }
void operator delete(void *block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void *block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void *block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void *block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void *block, std::align_val_t, const std::nothrow_t &) noexcept {
    __libc_free(block);
}
void operator delete[](void *block, std::align_val_t, const std::nothrow_t &) noexcept {
    __libc_free(block);
}
