// Heap allocations made by the calling thread, counted by this binary's own
// global allocation functions (operator new in every form, and malloc,
// calloc and realloc), which the shared library's calls resolve to as well.
#pragma once

#include <cstdint>

namespace kinetra::bench {

std::uint64_t thread_allocations() noexcept;

} // namespace kinetra::bench
