// Windows sampling layer: fills the shared records from the performance counters, the system
// times, memory and performance information, the drive list and the interface table.
#include <windows.h>
// after windows.h
#include <iphlpapi.h>
#include <pdh.h>
#include <psapi.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

#include "winperf_internal.h"

namespace {

// Previous counters of one interface, kept for its rates in the next collection.
struct winperf_prev_net_t {
  char name[WINPERF_NET_NAME_SIZE];
  uint64_t in_octets;
  uint64_t out_octets;
  uint64_t in_packets;
  uint64_t out_packets;
};
static_assert(sizeof(winperf_prev_net_t) == 160);

PDH_HQUERY s_hQuery = nullptr;
PDH_HCOUNTER s_hCpuTotal = nullptr;
PDH_HCOUNTER s_hCpuCores[WINPERF_MAX_CORES] = {};
PDH_HCOUNTER s_hCtxtSwitches = nullptr;
PDH_HCOUNTER s_hSysCalls = nullptr;

uint64_t s_prev_idle = 0;
uint64_t s_prev_kernel = 0;
uint64_t s_prev_user = 0;
uint64_t s_prev_tick = 0;

winperf_prev_net_t s_prev_win32_nets[WINPERF_MAX_NETS] = {};
int32_t s_prev_win32_net_count = 0;
// Seconds since the interface table was last read: the elapsed times of the collections since,
// so that rates after failed reads average over the whole gap instead of its last part.
double s_net_seconds_since_read = 0.0;

constexpr wchar_t kCpuTotalPath[] = L"\\Processor(_Total)\\% Processor Time";
constexpr wchar_t kCpuCoreFormat[] = L"\\Processor(%u)\\%% Processor Time";
constexpr wchar_t kCpuCoreFallbackFormat[] = L"\\Processor Information(0,%u)\\%% Processor Time";
constexpr wchar_t kContextSwitchesPath[] = L"\\System\\Context Switches/sec";
constexpr wchar_t kSystemCallsPath[] = L"\\System\\System Calls/sec";
constexpr size_t kCounterPathLength = 256;

constexpr char kCpuKeyPath[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr DWORD kDefaultMhz = 2500;

constexpr DWORD kDriveListLength = 512;
constexpr DWORD kDescrSize = sizeof(MIB_IFROW{}.bDescr);

// ---- Helpers ---------------------------------------------------------------------------------

uint64_t to_u64(const FILETIME &t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// 0 to 100; a value that is not a number counts as 0.
double clamp_percent(double v) {
  if (!(v >= 0.0)) return 0.0;
  return v > 100.0 ? 100.0 : v;
}

bool read_counter(PDH_HCOUNTER counter, DWORD format, PDH_FMT_COUNTERVALUE &value) {
  return counter != nullptr &&
         PdhGetFormattedCounterValue(counter, format, nullptr, &value) == ERROR_SUCCESS;
}

uint32_t capped_processor_count() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  const DWORD n = info.dwNumberOfProcessors;
  return n < WINPERF_MAX_CORES ? n : WINPERF_MAX_CORES;
}

class RegistryKey {
 public:
  RegistryKey(HKEY parent, const char *path) {
    if (RegOpenKeyExA(parent, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegistryKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  RegistryKey(const RegistryKey &) = delete;
  RegistryKey &operator=(const RegistryKey &) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

struct FreeBlock {
  void operator()(void *p) const { std::free(p); }
};

// ---- Init ------------------------------------------------------------------------------------

// A refused counter leaves its handle null, whatever the call left in it.
bool add_counter(const wchar_t *path, PDH_HCOUNTER &counter) {
  if (PdhAddEnglishCounterW(s_hQuery, path, 0, &counter) == ERROR_SUCCESS) return true;
  counter = nullptr;
  return false;
}

void add_core_counters(uint32_t core_count) {
  wchar_t path[kCounterPathLength];
  for (uint32_t i = 0; i < core_count; ++i) {
    _snwprintf(path, kCounterPathLength, kCpuCoreFormat, i);
    if (add_counter(path, s_hCpuCores[i])) continue;
    _snwprintf(path, kCounterPathLength, kCpuCoreFallbackFormat, i);
    add_counter(path, s_hCpuCores[i]);
  }
}

void open_counter_query() {
  if (PdhOpenQueryW(nullptr, 0, &s_hQuery) != ERROR_SUCCESS || s_hQuery == nullptr) {
    s_hQuery = nullptr;
    g_cpu_info.core_count = capped_processor_count();  // degraded: no counters at all
    return;
  }
  add_counter(kCpuTotalPath, s_hCpuTotal);
  g_cpu_info.core_count = capped_processor_count();
  add_core_counters(g_cpu_info.core_count);
  add_counter(kContextSwitchesPath, s_hCtxtSwitches);
  add_counter(kSystemCallsPath, s_hSysCalls);
  PdhCollectQueryData(s_hQuery);  // the base the first collection's rates are computed against
}

void take_time_baselines() {
  FILETIME idle, kernel, user;
  if (GetSystemTimes(&idle, &kernel, &user)) {
    s_prev_idle = to_u64(idle);
    s_prev_kernel = to_u64(kernel);
    s_prev_user = to_u64(user);
  }
  s_prev_tick = GetTickCount64();
}

// ---- Processors ------------------------------------------------------------------------------

double elapsed_seconds() {
  const uint64_t now = GetTickCount64();
  const uint64_t ms = now - s_prev_tick;
  s_prev_tick = now;
  const double seconds = static_cast<double>(ms) / 1000.0;
  return seconds > 0.0 ? seconds : 0.001;
}

void refresh_counter_query() {
  if (s_hQuery != nullptr) PdhCollectQueryData(s_hQuery);
}

DWORD clock_speed_mhz() {
  DWORD mhz = 0;
  DWORD size = sizeof mhz;
  const RegistryKey key(HKEY_LOCAL_MACHINE, kCpuKeyPath);
  if (key.get() != nullptr) {
    RegQueryValueExA(key.get(), "~MHz", nullptr, nullptr, reinterpret_cast<LPBYTE>(&mhz), &size);
  }
  return mhz != 0 ? mhz : kDefaultMhz;
}

// Returns whether the counter gave this collection's total.
bool total_usage_from_counter() {
  PDH_FMT_COUNTERVALUE value{};
  if (!read_counter(s_hCpuTotal, PDH_FMT_DOUBLE, value)) return false;
  g_cpu_info.total_usage_percent = clamp_percent(value.doubleValue);
  return true;
}

// Moves the time baselines on; computes the total from them unless the counter gave it.
void total_usage_from_system_times(bool have_total) {
  FILETIME idle_ft, kernel_ft, user_ft;
  if (!GetSystemTimes(&idle_ft, &kernel_ft, &user_ft)) return;
  const uint64_t idle = to_u64(idle_ft), kernel = to_u64(kernel_ft), user = to_u64(user_ft);
  const uint64_t di = idle - s_prev_idle;
  const uint64_t dk = kernel - s_prev_kernel;
  const uint64_t du = user - s_prev_user;
  // Kernel time includes idle time.
  const uint64_t busy = dk >= di ? dk - di + du : du;
  const uint64_t total = di + busy;
  if (!have_total && total != 0) {
    const double usage = static_cast<double>(busy) / static_cast<double>(total) * 100.0;
    // Above 100 only when a time went backwards and a difference wrapped.
    g_cpu_info.total_usage_percent = usage <= 100.0 ? usage : 0.0;
  }
  s_prev_idle = idle;
  s_prev_kernel = kernel;
  s_prev_user = user;
}

void per_core_usage(DWORD mhz) {
  for (uint32_t i = 0; i < g_cpu_info.core_count && i < WINPERF_MAX_CORES; ++i) {
    winperf_core_info_t &core = g_cpu_info.cores[i];
    core.frequency_mhz = mhz;
    PDH_FMT_COUNTERVALUE value{};
    const double v = read_counter(s_hCpuCores[i], PDH_FMT_DOUBLE, value)
                         ? value.doubleValue
                         : g_cpu_info.total_usage_percent;
    core.usage_percent = clamp_percent(v);
  }
}

// ---- Memory and system -----------------------------------------------------------------------

void collect_memory_status() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return;
  g_mem_info.total_physical_bytes = status.ullTotalPhys;
  g_mem_info.available_physical_bytes = status.ullAvailPhys;
  g_mem_info.total_commit_bytes = status.ullTotalPageFile;
  g_mem_info.committed_bytes = status.ullTotalPageFile >= status.ullAvailPageFile
                                   ? status.ullTotalPageFile - status.ullAvailPageFile
                                   : 0;
  g_mem_info.memory_load_percent = static_cast<double>(status.dwMemoryLoad);
}

void collect_performance_info() {
  PERFORMANCE_INFORMATION info{};
  if (!K32GetPerformanceInfo(&info, sizeof info)) return;
  const uint64_t page = info.PageSize;
  g_mem_info.pool_paged_bytes = static_cast<uint64_t>(info.KernelPaged) * page;
  g_mem_info.pool_nonpaged_bytes = static_cast<uint64_t>(info.KernelNonpaged) * page;
  g_mem_info.cache_bytes = static_cast<uint64_t>(info.SystemCache) * page;
  g_sys_info.process_count = info.ProcessCount;
  g_sys_info.thread_count = info.ThreadCount;
  g_sys_info.handle_count = info.HandleCount;
}

void read_rate_counter(PDH_HCOUNTER counter, uint64_t &field) {
  PDH_FMT_COUNTERVALUE value{};
  if (read_counter(counter, PDH_FMT_LARGE, value)) field = static_cast<uint64_t>(value.largeValue);
}

// ---- Disks -----------------------------------------------------------------------------------

bool add_disk(const wchar_t *root, char letter) {
  ULARGE_INTEGER available, total, total_free;
  if (!GetDiskFreeSpaceExW(root, &available, &total, &total_free)) return false;
  winperf_disk_info_t &disk = g_disks[g_disk_count++];
  std::snprintf(disk.name, sizeof disk.name, "%c:", letter);
  disk.total_bytes = total.QuadPart;
  disk.free_bytes = total_free.QuadPart;  // all of it, not only the caller's share
  disk.read_bytes_sec = 0;
  disk.write_bytes_sec = 0;
  disk.read_iops = 0;
  disk.write_iops = 0;
  disk.queue_length = 0.0;
  return true;
}

bool is_local_drive(UINT type) { return type == DRIVE_REMOVABLE || type == DRIVE_FIXED; }

// Walks the roots of the drive list in order; stops at the list's end or at a full table.
void walk_drive_list(const wchar_t (&list)[kDriveListLength]) {
  size_t pos = 0;
  while (pos < kDriveListLength && list[pos] != L'\0') {
    if (g_disk_count == WINPERF_MAX_DISKS) return;
    const wchar_t *root = list + pos;
    const size_t len = wcsnlen(root, kDriveListLength - pos);
    if (pos + len == kDriveListLength) return;  // a root without its NUL is not a path
    if (is_local_drive(GetDriveTypeW(root))) {
      add_disk(root, static_cast<char>(static_cast<unsigned char>(root[0] & 0xFF)));
    }
    pos += len + 1;
  }
}

// Critical-error dialogs off for this thread while the drives are asked: a removable drive
// without a medium must not make Windows ask an interactive user to insert a disk. The
// thread's own mode comes back afterwards; the process's is never touched.
class CriticalErrorDialogsOff {
 public:
  CriticalErrorDialogsOff() : changed_(SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_)) {}
  ~CriticalErrorDialogsOff() {
    if (changed_) SetThreadErrorMode(previous_, nullptr);
  }
  CriticalErrorDialogsOff(const CriticalErrorDialogsOff &) = delete;
  CriticalErrorDialogsOff &operator=(const CriticalErrorDialogsOff &) = delete;

 private:
  DWORD previous_ = 0;
  const BOOL changed_;
};

void collect_disks() {
  const CriticalErrorDialogsOff quiet;
  g_disk_count = 0;
  wchar_t list[kDriveListLength];
  const DWORD len = GetLogicalDriveStringsW(kDriveListLength, list);
  if (len >= 1 && len < kDriveListLength && list[0] != L'\0') {
    walk_drive_list(list);
  }
  if (g_disk_count == 0) add_disk(L"C:\\", 'C');
}

// ---- Network ---------------------------------------------------------------------------------

uint64_t per_second(uint64_t current, uint64_t previous, double elapsed) {
  const uint64_t delta = current >= previous ? current - previous : 0;  // a wrapped counter: 0
  const double rate = static_cast<double>(delta) / elapsed;
  return rate >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(rate);
}

// The previous entry for the n-th row of a name is the n-th previous entry of that name.
const winperf_prev_net_t *match_previous(const char *name, bool (&used)[WINPERF_MAX_NETS]) {
  for (int32_t j = 0; j < s_prev_win32_net_count && j < WINPERF_MAX_NETS; ++j) {
    if (!used[j] && std::strcmp(s_prev_win32_nets[j].name, name) == 0) {
      used[j] = true;
      return &s_prev_win32_nets[j];
    }
  }
  return nullptr;
}

void fill_interface(const MIB_IFROW &row, winperf_net_info_t &net, winperf_prev_net_t &next,
                    double elapsed, bool (&used)[WINPERF_MAX_NETS]) {
  // A length beyond the field is read as the field: the name never reads past it.
  const DWORD descr_len = row.dwDescrLen < kDescrSize ? row.dwDescrLen : kDescrSize;
  std::snprintf(net.name, sizeof net.name, "%.*s", static_cast<int>(descr_len),
                reinterpret_cast<const char *>(row.bDescr));
  std::snprintf(next.name, sizeof next.name, "%s", net.name);
  next.in_octets = row.dwInOctets;
  next.out_octets = row.dwOutOctets;
  next.in_packets = static_cast<uint64_t>(row.dwInUcastPkts) + row.dwInNUcastPkts;
  next.out_packets = static_cast<uint64_t>(row.dwOutUcastPkts) + row.dwOutNUcastPkts;
  net.errors_in = row.dwInErrors;
  net.errors_out = row.dwOutErrors;
  net.is_up = row.dwOperStatus == IF_OPER_STATUS_OPERATIONAL ? 1 : 0;

  const winperf_prev_net_t *prev = elapsed > 0.001 ? match_previous(net.name, used) : nullptr;
  // Without a rate the fields read 0, never what another interface left in this slot.
  net.bytes_recv_sec = prev ? per_second(next.in_octets, prev->in_octets, elapsed) : 0;
  net.bytes_sent_sec = prev ? per_second(next.out_octets, prev->out_octets, elapsed) : 0;
  net.packets_recv_sec = prev ? per_second(next.in_packets, prev->in_packets, elapsed) : 0;
  net.packets_sent_sec = prev ? per_second(next.out_packets, prev->out_packets, elapsed) : 0;
}

void collect_network(double elapsed) {
  s_net_seconds_since_read += elapsed;
  ULONG size = 0;
  if (GetIfTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) return;
  const ULONG block_size = size;
  const std::unique_ptr<MIB_IFTABLE, FreeBlock> table(
      static_cast<MIB_IFTABLE *>(std::malloc(block_size)));
  if (!table) return;
  // A table that grew since the size query fails this sample; the next one reads it.
  if (GetIfTable(table.get(), &size, FALSE) != NO_ERROR) return;
  const double seconds = s_net_seconds_since_read;
  s_net_seconds_since_read = 0.0;

  // Never trust a row count beyond what the block holds.
  const size_t header = offsetof(MIB_IFTABLE, table);
  const size_t rows_in_block = block_size < header ? 0 : (block_size - header) / sizeof(MIB_IFROW);
  const DWORD entries = table->dwNumEntries;
  const size_t rows = entries < rows_in_block ? entries : rows_in_block;

  winperf_prev_net_t next[WINPERF_MAX_NETS] = {};
  bool used[WINPERF_MAX_NETS] = {};
  int32_t k = 0;
  for (size_t i = 0; i < rows && k < WINPERF_MAX_NETS; ++i) {
    const MIB_IFROW &row = table->table[i];
    // Loopback is left out unless it is the only interface there is.
    if (row.dwType == IF_TYPE_SOFTWARE_LOOPBACK && entries != 1) continue;
    fill_interface(row, g_nets[k], next[k], seconds, used);
    ++k;
  }
  std::memcpy(s_prev_win32_nets, next, sizeof next);
  s_prev_win32_net_count = k;
  g_net_count = k;
}

}  // namespace

// ---- The platform operations -----------------------------------------------------------------

int32_t winperf_platform_init() noexcept {
  open_counter_query();
  take_time_baselines();
  return 0;
}

int32_t winperf_platform_collect() noexcept {
  const double elapsed = elapsed_seconds();
  refresh_counter_query();
  const DWORD mhz = clock_speed_mhz();
  const bool have_total = total_usage_from_counter();
  total_usage_from_system_times(have_total);
  per_core_usage(mhz);
  collect_memory_status();
  collect_performance_info();
  collect_disks();
  collect_network(elapsed);
  g_sys_info.uptime_seconds = GetTickCount64() / 1000;
  read_rate_counter(s_hCtxtSwitches, g_sys_info.context_switches_sec);
  read_rate_counter(s_hSysCalls, g_sys_info.system_calls_sec);
  return 0;
}

void winperf_platform_cleanup() noexcept {
  if (s_hQuery != nullptr) {
    PdhCloseQuery(s_hQuery);  // releases every counter of the query
    s_hQuery = nullptr;
  }
  s_hCpuTotal = nullptr;
  for (PDH_HCOUNTER &core : s_hCpuCores) core = nullptr;
  s_hCtxtSwitches = nullptr;
  s_hSysCalls = nullptr;
  s_prev_tick = 0;
  s_prev_win32_net_count = 0;
  s_net_seconds_since_read = 0.0;
}
