// Counts heap allocations in this process: malloc, calloc and realloc are wrapped, and so is
// operator new, which calls malloc. Not for sanitizer builds, which own the allocator.
#pragma once

#include <cstdint>

namespace alloc_counter {
uint64_t allocations();  // since the process started
}
