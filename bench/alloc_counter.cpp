#include "alloc_counter.h"

#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);
void __libc_free(void *p);
}

namespace {
uint64_t s_allocations = 0;
}

uint64_t alloc_counter::allocations() { return s_allocations; }

extern "C" {
void *malloc(size_t size) {
  ++s_allocations;
  return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
  ++s_allocations;
  return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size) {
  ++s_allocations;
  return __libc_realloc(p, size);
}
void free(void *p) { __libc_free(p); }
}
