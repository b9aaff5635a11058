// Drives the sampling layer and the public API through the Windows API stand-in with arbitrary
// Windows results, interleaving collections, getters, snapshots and cleanups, and checks what
// must hold whatever Windows says.
#include <fuzzer/FuzzedDataProvider.h>
#include <yyjson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "winapi_fake.h"
#include "winperf_internal.h"

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void require(bool ok, const char *what) {
  if (!ok) fail(what);
}

double any_double(FuzzedDataProvider &p) {
  switch (p.ConsumeIntegralInRange(0, 7)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    case 3: return std::numeric_limits<double>::max();
    case 4: return -0.0;
    case 5: return std::numeric_limits<double>::denorm_min();
    case 6: return p.ConsumeFloatingPointInRange(-10.0, 110.0);
    default: return p.ConsumeFloatingPoint<double>();
  }
}

std::wstring counter_path(FuzzedDataProvider &p) {
  switch (p.ConsumeIntegralInRange(0, 4)) {
    case 0: return L"\\Processor(_Total)\\% Processor Time";
    case 1: return L"\\System\\Context Switches/sec";
    case 2: return L"\\System\\System Calls/sec";
    case 3:
      return L"\\Processor Information(0," + std::to_wstring(p.ConsumeIntegralInRange(0, 130)) +
             L")\\% Processor Time";
    default:
      return L"\\Processor(" + std::to_wstring(p.ConsumeIntegralInRange(0, 130)) +
             L")\\% Processor Time";
  }
}

void script_counters(FuzzedDataProvider &p, winapi_fake::Machine &m) {
  const int n = p.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < n; ++i) {
    const std::wstring path = counter_path(p);
    if (p.ConsumeBool()) {
      m.refused_paths.insert(path);
    } else {
      const PDH_STATUS status = p.ConsumeBool() ? 0 : p.ConsumeIntegral<PDH_STATUS>();
      m.counters[path] = {status, any_double(p), p.ConsumeIntegral<int64_t>()};
    }
  }
}

void script_platform(FuzzedDataProvider &p, winapi_fake::Machine &m) {
  m.processors =
      p.ConsumeBool() ? p.ConsumeIntegralInRange<DWORD>(0, 140) : p.ConsumeIntegral<DWORD>();
  m.open_status = p.ConsumeIntegralInRange(0, 3) == 0 ? PDH_INVALID_HANDLE : ERROR_SUCCESS;
  m.open_leaves_null = p.ConsumeIntegralInRange(0, 7) == 0;
  m.cpu_key_exists = p.ConsumeBool();
  if (p.ConsumeBool()) m.mhz = p.ConsumeIntegral<DWORD>();
}

void script_times(FuzzedDataProvider &p, winapi_fake::Machine &m) {
  m.system_times =
      winapi_fake::SystemTimes{p.ConsumeIntegralInRange(0, 5) != 0, p.ConsumeIntegral<uint64_t>(),
                               p.ConsumeIntegral<uint64_t>(), p.ConsumeIntegral<uint64_t>()};
  m.tick_count = p.ConsumeIntegral<uint64_t>();  // may go backwards
}

void script_memory(FuzzedDataProvider &p, winapi_fake::Machine &m) {
  m.memory_status_ok = p.ConsumeBool();
  m.memory_status.ullTotalPageFile = p.ConsumeIntegral<uint64_t>();
  m.memory_status.ullAvailPageFile = p.ConsumeIntegral<uint64_t>();
  m.memory_status.ullTotalPhys = p.ConsumeIntegral<uint64_t>();
  m.memory_status.dwMemoryLoad = p.ConsumeIntegralInRange<DWORD>(0, 100);  // as documented
  m.performance_info_ok = p.ConsumeBool();
  m.performance_info.PageSize = p.ConsumeIntegral<SIZE_T>();
  m.performance_info.KernelPaged = p.ConsumeIntegral<SIZE_T>();
  m.performance_info.SystemCache = p.ConsumeIntegral<SIZE_T>();
  m.performance_info.ProcessCount = p.ConsumeIntegral<DWORD>();
}

void script_drives(FuzzedDataProvider &p, winapi_fake::Machine &m) {
  static const wchar_t alphabet[] = {L'\0', L'C', L'D', L':', L'\\', L'Z', 0x100, 0xFFFF};
  std::wstring list;
  const size_t length = p.ConsumeBool() ? p.ConsumeIntegralInRange<size_t>(0, 40)
                                        : p.ConsumeIntegralInRange<size_t>(500, 600);
  for (size_t i = 0; i < length; ++i) list += alphabet[p.ConsumeIntegralInRange<size_t>(0, 7)];
  m.drive_strings = list;
  if (p.ConsumeBool()) m.drive_strings_result = p.ConsumeIntegral<DWORD>();
  for (const std::wstring root : {L"C:\\", L"D:\\", L"Z:\\", L"C:", L"CD:\\"}) {
    m.drive_types[root] = p.ConsumeIntegralInRange<UINT>(0, 7);
    m.disk_sizes[root] = {p.ConsumeBool(), p.ConsumeIntegral<uint64_t>(),
                          p.ConsumeIntegral<uint64_t>(), p.ConsumeIntegral<uint64_t>()};
  }
}

void script_interfaces(FuzzedDataProvider &p, winapi_fake::Machine &m) {
  const size_t rows = p.ConsumeBool() ? p.ConsumeIntegralInRange<size_t>(0, 4)
                                      : p.ConsumeIntegralInRange<size_t>(0, 1000);
  m.if_rows.resize(rows);
  const std::string names[] = {"eth",
                               "a\"b\\c",
                               std::string("\x01\x1f\x7f", 3),
                               "\xff\xfe\xc0\xaf",
                               "caf\xe9",
                               std::string(300, 'n')};
  for (MIB_IFROW &row : m.if_rows) {
    row = winapi_fake::if_row(
        names[p.ConsumeIntegralInRange(0, 5)],
        p.ConsumeBool() ? IF_TYPE_SOFTWARE_LOOPBACK : p.ConsumeIntegral<DWORD>(),
        p.ConsumeIntegralInRange<DWORD>(0, 7));
    if (p.ConsumeBool()) std::memset(row.bDescr, p.ConsumeIntegral<uint8_t>(), sizeof row.bDescr);
    if (p.ConsumeBool()) row.dwDescrLen = p.ConsumeIntegral<DWORD>();
    row.dwInOctets = p.ConsumeIntegral<DWORD>();
    row.dwOutOctets = p.ConsumeIntegral<DWORD>();
    row.dwInUcastPkts = p.ConsumeIntegral<DWORD>();
    row.dwInNUcastPkts = p.ConsumeIntegral<DWORD>();
    row.dwOutUcastPkts = p.ConsumeIntegral<DWORD>();
    row.dwInErrors = p.ConsumeIntegral<DWORD>();
  }
  winapi_fake::IfTableScript &t = m.if_table;
  t = {};
  if (p.ConsumeIntegralInRange(0, 5) == 0) t.size_query_result = p.ConsumeIntegral<DWORD>();
  if (p.ConsumeIntegralInRange(0, 5) == 0)
    t.size_override = p.ConsumeIntegralInRange<ULONG>(0, 100000);
  if (p.ConsumeIntegralInRange(0, 5) == 0) t.read_result = p.ConsumeIntegral<DWORD>();
  if (p.ConsumeIntegralInRange(0, 5) == 0)
    t.rows_added_before_read = p.ConsumeIntegralInRange(0, 3);
  if (p.ConsumeIntegralInRange(0, 3) == 0) t.num_entries_override = p.ConsumeIntegral<DWORD>();
}

bool terminated(const char *name, size_t width) {
  return std::memchr(name, '\0', width) != nullptr;
}

void check_records() {
  require(g_disk_count >= 0 && g_disk_count <= WINPERF_MAX_DISKS, "disk count within 0 to 64");
  require(g_net_count >= 0 && g_net_count <= WINPERF_MAX_NETS, "network count within 0 to 64");
  for (int32_t i = 0; i < g_disk_count; ++i) {
    require(terminated(g_disks[i].name, sizeof g_disks[i].name), "disk name terminated");
  }
  for (int32_t i = 0; i < g_net_count; ++i) {
    require(terminated(g_nets[i].name, sizeof g_nets[i].name), "network name terminated");
  }
  const auto percent = [](double v) { return v >= 0.0 && v <= 100.0; };
  require(percent(g_cpu_info.total_usage_percent), "total usage within 0 to 100");
  require(g_cpu_info.core_count <= WINPERF_MAX_CORES, "core count at most 128");
  for (uint32_t i = 0; i < g_cpu_info.core_count; ++i) {
    require(percent(g_cpu_info.cores[i].usage_percent), "core usage within 0 to 100");
  }
  require(percent(g_mem_info.memory_load_percent), "memory load within 0 to 100");
}

void check_snapshot(const char *json) {
  if (std::strcmp(json, "{}") == 0) return;
  yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
  require(doc != nullptr, "the snapshot parses");
  yyjson_val *root = yyjson_doc_get_root(doc);
  static const char *const members[] = {"timestamp", "cpu", "memory", "disks", "network", "system"};
  require(yyjson_obj_size(root) == 6, "the snapshot has six members");
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  for (const char *name : members) {
    require(yyjson_equals_str(yyjson_obj_iter_next(&it), name), "members in order");
  }
  yyjson_doc_free(doc);
}

void call_getters(FuzzedDataProvider &p) {
  static winperf_cpu_info_t cpu;
  static winperf_disk_info_t disks[WINPERF_MAX_DISKS + 1];
  static winperf_net_info_t nets[WINPERF_MAX_NETS + 1];
  winperf_mem_info_t mem;
  winperf_sys_info_t sys;
  const int max = p.ConsumeIntegralInRange(-2, WINPERF_MAX_DISKS + 1);
  int n = -7;
  winperf_get_cpu(p.ConsumeBool() ? &cpu : nullptr);
  winperf_get_memory(&mem);
  winperf_get_system(&sys);
  if (winperf_get_disks(disks, max, &n) == 0) {
    require(n >= 0 && n <= max && n <= g_disk_count, "disk getter count");
  } else {
    require(n == -7, "a failed getter writes no count");
  }
  n = -7;
  if (winperf_get_network(nets, max, &n) == 0) {
    require(n >= 0 && n <= max && n <= g_net_count, "network getter count");
  } else {
    require(n == -7, "a failed getter writes no count");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  winperf_cleanup();
  winapi_fake::reset();
  winapi_fake::set_call_log(false);
  FuzzedDataProvider p(data, size);
  winapi_fake::Machine &m = winapi_fake::machine();
  script_platform(p, m);
  script_counters(p, m);

  for (int steps = 0; steps < 64 && p.remaining_bytes() > 0; ++steps) {
    switch (p.ConsumeIntegralInRange(0, 9)) {
      case 0: script_times(p, m); break;
      case 1: script_counters(p, m); break;
      case 2: script_memory(p, m); break;
      case 3: script_drives(p, m); break;
      case 4: script_interfaces(p, m); break;
      case 5: winperf_collect(); break;
      case 6: call_getters(p); break;
      case 7: check_snapshot(winperf_get_snapshot_json()); break;
      case 8: winperf_cleanup(); break;
      default: winperf_init(); break;
    }
    check_records();
  }
  winperf_cleanup();
  return 0;
}
