// Shared by the public layer and the sampling layer; nobody else sees it.
#ifndef WINPERF_INTERNAL_H
#define WINPERF_INTERNAL_H

#include <cstdint>

#include "winperf.h"

// The one current sample. The sampling layer writes it, the public layer copies it out.
extern winperf_cpu_info_t g_cpu_info;
extern winperf_mem_info_t g_mem_info;
extern winperf_disk_info_t g_disks[WINPERF_MAX_DISKS];
extern int32_t g_disk_count;
extern winperf_net_info_t g_nets[WINPERF_MAX_NETS];
extern int32_t g_net_count;
extern winperf_sys_info_t g_sys_info;

// 1 between a successful platform init and the next cleanup.
extern int32_t g_initialized;

// printf-style into the error text, cut at 1023 bytes.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void winperf_set_error(const char *format, ...) noexcept;

// The platform seam. init and collect return 0 on success; cleanup must be harmless when the
// platform was never opened or is already closed.
int32_t winperf_platform_init() noexcept;
int32_t winperf_platform_collect() noexcept;
void winperf_platform_cleanup() noexcept;

// Lets tests make the JSON library's allocations fail. Null (the default) means the JSON
// library's own default allocator.
struct yyjson_alc;
void winperf_set_json_allocator(const yyjson_alc *alc) noexcept;

#endif  // WINPERF_INTERNAL_H
