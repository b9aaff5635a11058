/*
 * winperf.h - host metrics for Windows: processors, memory, logical disks, network interfaces
 * and system counters, sampled on request and handed out as fixed C records or as one JSON text.
 *
 * Module: quarvel-prometheus-winperf.dll. Plain C interface, C99 and C++ compatible.
 *
 * Threads: the library takes no lock. The host must serialise every call into it, including
 * winperf_last_error() and the reading of the texts it returns.
 */
#ifndef WINPERF_H
#define WINPERF_H

#include <stddef.h>
#include <stdint.h>

/* ------------------------------------------------------------------------------------------
 * Export macro: WINPERF_BUILDING_DLL while building the DLL, dllimport for Windows consumers,
 * default visibility elsewhere.
 * ---------------------------------------------------------------------------------------- */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(WINPERF_BUILDING_DLL)
#    define WINPERF_API __declspec(dllexport)
#  else
#    define WINPERF_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__) && __GNUC__ >= 4
#  define WINPERF_API __attribute__((visibility("default")))
#else
#  define WINPERF_API
#endif

/* The exports never throw; C++ callers see that in the type. */
#if defined(__cplusplus)
#  define WINPERF_NOEXCEPT noexcept
#else
#  define WINPERF_NOEXCEPT
#endif

/* clang-format off */
#if defined(__cplusplus)
#  define WINPERF_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define WINPERF_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#  define WINPERF_STATIC_ASSERT(cond, name) typedef char winperf_assert_##name[(cond) ? 1 : -1]
#endif
/* clang-format on */

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------------------------
 * Capacities
 * ---------------------------------------------------------------------------------------- */
#define WINPERF_MAX_CORES 128     /* core slots; the core count is capped here */
#define WINPERF_MAX_DISKS 64      /* records in the disk table */
#define WINPERF_MAX_NETS 64       /* records in the network table */
#define WINPERF_DISK_NAME_SIZE 64 /* "C:" and its NUL; longest name 63 bytes */
#define WINPERF_NET_NAME_SIZE 128 /* longest interface name 127 bytes */

/* ------------------------------------------------------------------------------------------
 * Records. Their byte layout crosses the library boundary and is fixed: fields are naturally
 * aligned, every record is 8-byte aligned and its size is its array stride. Names are
 * NUL-terminated 8-bit text in the system's encoding (not necessarily UTF-8).
 * ---------------------------------------------------------------------------------------- */

/* One logical processor, 56 bytes. */
typedef struct winperf_core_info_t {
  double user_seconds;      /* 0: always 0 with the Windows sampler */
  double system_seconds;    /* 8: always 0 with the Windows sampler */
  double idle_seconds;      /* 16: always 0 with the Windows sampler */
  double interrupt_seconds; /* 24: always 0 with the Windows sampler */
  double dpc_seconds;       /* 32: always 0 with the Windows sampler */
  double usage_percent;     /* 40: busy share over the last collection interval, 0 to 100 */
  uint32_t frequency_mhz;   /* 48: clock speed as the system reports it */
} winperf_core_info_t;

/* The processor record, 7184 bytes. */
typedef struct winperf_cpu_info_t {
  uint32_t core_count;                          /* 0: logical processors, at most 128 */
  winperf_core_info_t cores[WINPERF_MAX_CORES]; /* 8: the first core_count are meaningful */
  double total_usage_percent;                   /* 7176: all processors together, 0 to 100 */
} winperf_cpu_info_t;

/* The memory record, 64 bytes. */
typedef struct winperf_mem_info_t {
  uint64_t total_physical_bytes;     /* 0 */
  uint64_t available_physical_bytes; /* 8 */
  uint64_t total_commit_bytes;       /* 16: commit limit */
  uint64_t committed_bytes;          /* 24: commit limit minus commit available, never below 0 */
  uint64_t pool_paged_bytes;         /* 32 */
  uint64_t pool_nonpaged_bytes;      /* 40 */
  uint64_t cache_bytes;              /* 48: system file cache */
  double memory_load_percent;        /* 56: a whole number 0 to 100 */
} winperf_mem_info_t;

/* One logical disk, 112 bytes. */
typedef struct winperf_disk_info_t {
  char name[WINPERF_DISK_NAME_SIZE]; /* 0: drive letter and colon, as in "C:" */
  uint64_t total_bytes;              /* 64 */
  uint64_t free_bytes;               /* 72: all free space, not only the caller's quota */
  uint64_t read_bytes_sec;           /* 80: always 0 with the Windows sampler */
  uint64_t write_bytes_sec;          /* 88: always 0 with the Windows sampler */
  uint32_t read_iops;                /* 96: always 0 with the Windows sampler */
  uint32_t write_iops;               /* 100: always 0 with the Windows sampler */
  double queue_length;               /* 104: always 0 with the Windows sampler */
} winperf_disk_info_t;

/* One network interface, 184 bytes. Rates are whole numbers per second. */
typedef struct winperf_net_info_t {
  char name[WINPERF_NET_NAME_SIZE]; /* 0: interface description */
  uint64_t bytes_recv_sec;          /* 128 */
  uint64_t bytes_sent_sec;          /* 136 */
  uint64_t packets_recv_sec;        /* 144: unicast and non-unicast */
  uint64_t packets_sent_sec;        /* 152: unicast and non-unicast */
  uint64_t errors_in;               /* 160: running total kept by the system */
  uint64_t errors_out;              /* 168: running total kept by the system */
  int32_t is_up;                    /* 176: 1 when operational, else 0 */
} winperf_net_info_t;

/* The system record, 40 bytes. */
typedef struct winperf_sys_info_t {
  uint64_t uptime_seconds;       /* 0: whole seconds since boot */
  uint32_t process_count;        /* 8 */
  uint32_t thread_count;         /* 12 */
  uint32_t handle_count;         /* 16 */
  uint64_t context_switches_sec; /* 24 */
  uint64_t system_calls_sec;     /* 32 */
} winperf_sys_info_t;

/* The layout is the interface: any compiler that lays these out differently is refused. */
WINPERF_STATIC_ASSERT(sizeof(winperf_core_info_t) == 56, core_info_size);
WINPERF_STATIC_ASSERT(offsetof(winperf_core_info_t, system_seconds) == 8, core_system_seconds);
WINPERF_STATIC_ASSERT(offsetof(winperf_core_info_t, idle_seconds) == 16, core_idle_seconds);
WINPERF_STATIC_ASSERT(offsetof(winperf_core_info_t, interrupt_seconds) == 24, core_interrupt);
WINPERF_STATIC_ASSERT(offsetof(winperf_core_info_t, dpc_seconds) == 32, core_dpc_seconds);
WINPERF_STATIC_ASSERT(offsetof(winperf_core_info_t, usage_percent) == 40, core_usage_percent);
WINPERF_STATIC_ASSERT(offsetof(winperf_core_info_t, frequency_mhz) == 48, core_frequency_mhz);

WINPERF_STATIC_ASSERT(sizeof(winperf_cpu_info_t) == 7184, cpu_info_size);
WINPERF_STATIC_ASSERT(offsetof(winperf_cpu_info_t, cores) == 8, cpu_cores);
WINPERF_STATIC_ASSERT(offsetof(winperf_cpu_info_t, total_usage_percent) == 7176, cpu_total);

WINPERF_STATIC_ASSERT(sizeof(winperf_mem_info_t) == 64, mem_info_size);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, available_physical_bytes) == 8, mem_avail);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, total_commit_bytes) == 16, mem_commit_total);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, committed_bytes) == 24, mem_committed);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, pool_paged_bytes) == 32, mem_paged);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, pool_nonpaged_bytes) == 40, mem_nonpaged);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, cache_bytes) == 48, mem_cache);
WINPERF_STATIC_ASSERT(offsetof(winperf_mem_info_t, memory_load_percent) == 56, mem_load);

WINPERF_STATIC_ASSERT(sizeof(winperf_disk_info_t) == 112, disk_info_size);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, total_bytes) == 64, disk_total);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, free_bytes) == 72, disk_free);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, read_bytes_sec) == 80, disk_read_bytes);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, write_bytes_sec) == 88, disk_write_bytes);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, read_iops) == 96, disk_read_iops);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, write_iops) == 100, disk_write_iops);
WINPERF_STATIC_ASSERT(offsetof(winperf_disk_info_t, queue_length) == 104, disk_queue);

WINPERF_STATIC_ASSERT(sizeof(winperf_net_info_t) == 184, net_info_size);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, bytes_recv_sec) == 128, net_bytes_recv);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, bytes_sent_sec) == 136, net_bytes_sent);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, packets_recv_sec) == 144, net_packets_recv);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, packets_sent_sec) == 152, net_packets_sent);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, errors_in) == 160, net_errors_in);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, errors_out) == 168, net_errors_out);
WINPERF_STATIC_ASSERT(offsetof(winperf_net_info_t, is_up) == 176, net_is_up);

WINPERF_STATIC_ASSERT(sizeof(winperf_sys_info_t) == 40, sys_info_size);
WINPERF_STATIC_ASSERT(offsetof(winperf_sys_info_t, process_count) == 8, sys_process_count);
WINPERF_STATIC_ASSERT(offsetof(winperf_sys_info_t, thread_count) == 12, sys_thread_count);
WINPERF_STATIC_ASSERT(offsetof(winperf_sys_info_t, handle_count) == 16, sys_handle_count);
WINPERF_STATIC_ASSERT(offsetof(winperf_sys_info_t, context_switches_sec) == 24, sys_ctxt);
WINPERF_STATIC_ASSERT(offsetof(winperf_sys_info_t, system_calls_sec) == 32, sys_syscalls);

/* ------------------------------------------------------------------------------------------
 * Lifecycle. Any call that needs data initialises the library first: the error text is
 * emptied, the platform is opened and one priming collection is taken, so that the next
 * collection has a previous sample to compute rates against.
 * ---------------------------------------------------------------------------------------- */

/* Initialises the library and takes the priming collection. Returns 0, or -1 when the platform
 * could not be opened (the library then stays uninitialised). A second call does nothing. */
WINPERF_API int winperf_init(void) WINPERF_NOEXCEPT;

/* Takes one sample into the library's records (two on an uninitialised library: the priming
 * one and this one). Per-second rates average over the time since the previous collection.
 * Returns 0, or -1 on failure. */
WINPERF_API int winperf_collect(void) WINPERF_NOEXCEPT;

/* Releases everything, frees the last snapshot text and zeroes every record. The error text is
 * kept. Harmless at any time; a later call initialises again. */
WINPERF_API void winperf_cleanup(void) WINPERF_NOEXCEPT;

/* The text of the last error: "None" before anything, empty after an initialisation began.
 * Successful calls never clear it. The pointer is the library's own, at a fixed address. */
WINPERF_API const char *winperf_last_error(void) WINPERF_NOEXCEPT;

/* ------------------------------------------------------------------------------------------
 * Getters. Each copies the records of the last collection into caller memory; on an
 * initialised library they never collect. A NULL or bad argument returns -1 with a message,
 * writes nothing and does not initialise the library.
 * ---------------------------------------------------------------------------------------- */

WINPERF_API int winperf_get_cpu(winperf_cpu_info_t *info) WINPERF_NOEXCEPT;
WINPERF_API int winperf_get_memory(winperf_mem_info_t *info) WINPERF_NOEXCEPT;
WINPERF_API int winperf_get_system(winperf_sys_info_t *info) WINPERF_NOEXCEPT;

/* Copies at most max_count records (max_count > 0) into the caller's array and stores how many
 * in *returned_count. Slots from that count on are left untouched; a table longer than the
 * array is cut to its first max_count records without an error. */
WINPERF_API int winperf_get_disks(winperf_disk_info_t *disks, int max_count,
                                  int *returned_count) WINPERF_NOEXCEPT;
WINPERF_API int winperf_get_network(winperf_net_info_t *nets, int max_count,
                                    int *returned_count) WINPERF_NOEXCEPT;

/* ------------------------------------------------------------------------------------------
 * Snapshot
 * ---------------------------------------------------------------------------------------- */

/* The current sample as one compact JSON object with the members "timestamp", "cpu", "memory",
 * "disks", "network" and "system". Never NULL: on failure the static text "{}" (the reason is
 * in winperf_last_error()). The text is the library's; it stays valid until the next
 * successful snapshot or winperf_cleanup(), and a failed snapshot leaves it valid. */
WINPERF_API const char *winperf_get_snapshot_json(void) WINPERF_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* WINPERF_H */
