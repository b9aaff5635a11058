// Drives the sampling layer and the public API through the Windows API stand-in with arbitrary
// Windows results, interleaving collections, getters, snapshots and cleanups, and checks what
// must hold whatever Windows says.
#include <fuzzer/FuzzedDataProvider.h>
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "invariant.h"
#include "winapi_fake.h"
#include "winperf_internal.h"

namespace {

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
  // Mostly a few seconds on, as a clock goes; sometimes anywhere, backwards included.
  const uint64_t now = m.tick_count.peek();
  m.tick_count = p.ConsumeIntegralInRange(0, 3) == 0 ? p.ConsumeIntegral<uint64_t>()
                                                     : now + p.ConsumeIntegralInRange(0, 5000);
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

bool is_ascii(const char *name) {
  for (; *name; ++name) {
    if (static_cast<unsigned char>(*name) >= 0x80) return false;
  }
  return true;
}

// A table of the snapshot against the records: as many elements, and the same names (an ASCII
// name exactly; any other one is repaired, so only its being there is known).
template <typename Record>
void check_table(yyjson_val *array, const Record *records, int32_t count, const char *what) {
  require(yyjson_is_arr(array) && yyjson_arr_size(array) == static_cast<size_t>(count), what);
  for (int32_t i = 0; i < count; ++i) {
    yyjson_val *name = yyjson_obj_get(yyjson_arr_get(array, static_cast<size_t>(i)), "name");
    require(yyjson_is_str(name), what);
    if (is_ascii(records[i].name)) {
      require(std::strcmp(yyjson_get_str(name), records[i].name) == 0, what);
    } else {
      require(yyjson_get_len(name) > 0, what);
    }
  }
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
  yyjson_val *cores = yyjson_obj_get(yyjson_obj_get(root, "cpu"), "cores");
  require(yyjson_arr_size(cores) == g_cpu_info.core_count, "as many cores as the record says");
  check_table(yyjson_obj_get(root, "disks"), g_disks, g_disk_count, "disks as in the records");
  check_table(yyjson_obj_get(root, "network"), g_nets, g_net_count, "interfaces as in the records");
  yyjson_doc_free(doc);
}

// The sampling layer's reasoning about time, followed from what the stand-in told it: the tick
// at init is the base, each collection reads the tick for its elapsed time and again for the
// uptime, and the interface rates average over the time since the last good table read.
struct Counters {
  std::string name;
  uint64_t in_octets, out_octets, in_packets, out_packets;
};
struct TimeModel {
  uint64_t previous_tick = 0;
  double seconds_since_read = 0;
  std::vector<Counters> previous;  // the last good read's interfaces, as the records name them
};
TimeModel s_model;
bool s_model_valid = false;  // whether s_model.previous is the last good read

double elapsed_since(uint64_t now, uint64_t previous) {
  const double seconds = static_cast<double>(now - previous) / 1000.0;
  return seconds > 0.0 ? seconds : 0.001;
}

uint64_t rate_bound(uint64_t counter, double seconds) {
  const double rate = static_cast<double>(counter) / seconds;
  return rate >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(rate);
}

uint64_t delta(uint64_t now, uint64_t before) { return now >= before ? now - before : 0; }

// The interfaces of a good read: the table's rows that are not loopback (unless alone), the
// first 64, with the names the records gave them.
std::vector<Counters> accepted(const winapi_fake::Machine &m) {
  std::vector<Counters> out;
  const size_t entries = m.if_rows.size();
  for (const MIB_IFROW &row : m.if_rows) {
    if (out.size() == static_cast<size_t>(g_net_count)) break;
    if (row.dwType == IF_TYPE_SOFTWARE_LOOPBACK && entries != 1) continue;
    out.push_back({g_nets[out.size()].name, row.dwInOctets, row.dwOutOctets,
                   uint64_t{row.dwInUcastPkts} + row.dwInNUcastPkts,
                   uint64_t{row.dwOutUcastPkts} + row.dwOutNUcastPkts});
  }
  return out;
}

// Each rate is what its counters allow: the delta against the same interface in the last good
// read (the n-th of its name), over the time since that read, rounded down; 0 without one.
void check_rates(const std::vector<Counters> &now, double seconds) {
  std::vector<bool> used(s_model.previous.size());
  for (size_t k = 0; k < now.size(); ++k) {
    const Counters *prev = nullptr;
    for (size_t j = 0; j < s_model.previous.size() && seconds > 0.001; ++j) {
      if (!used[j] && s_model.previous[j].name == now[k].name) {
        used[j] = true;
        prev = &s_model.previous[j];
        break;
      }
    }
    const auto expected = [&](uint64_t Counters::*field) {
      return prev ? rate_bound(delta(now[k].*field, prev->*field), seconds) : 0;
    };
    const winperf_net_info_t &n = g_nets[k];
    require(n.bytes_recv_sec == expected(&Counters::in_octets), "receive rate from the counters");
    require(n.bytes_sent_sec == expected(&Counters::out_octets), "send rate from the counters");
    require(n.packets_recv_sec == expected(&Counters::in_packets), "packet rate from counters");
    require(n.packets_sent_sec == expected(&Counters::out_packets), "packet rate from counters");
  }
}

// Runs one call into the library and checks what its collections did to the interface table.
template <typename Call>
void observe(winapi_fake::Machine &m, Call call) {
  static winperf_net_info_t before[WINPERF_MAX_NETS];
  const int32_t count_before = g_net_count;
  std::memcpy(before, g_nets, sizeof before);
  const bool was_initialized = g_initialized != 0;
  m.ticks_read.clear();
  m.if_table_calls.clear();
  call();
  winapi_fake::calls().clear();

  size_t tick = 0;
  const bool opened = !was_initialized && g_initialized != 0;
  if (opened) {
    require(!m.ticks_read.empty(), "init reads the tick");
    s_model = {m.ticks_read[tick++], 0.0, {}};
    s_model_valid = true;  // no read yet: nothing to compare with
  }
  int collections = 0;
  bool last_read_good = false;
  double last_seconds = 0;
  const auto &calls = m.if_table_calls;
  for (size_t c = 0; c < calls.size(); ++c) {
    if (calls[c].read) continue;  // each collection starts with one size query
    require(tick + 2 <= m.ticks_read.size(), "a collection reads the tick twice");
    const uint64_t now = m.ticks_read[tick];
    tick += 2;
    s_model.seconds_since_read += elapsed_since(now, s_model.previous_tick);
    s_model.previous_tick = now;
    ++collections;
    last_read_good = c + 1 < calls.size() && calls[c + 1].read && calls[c + 1].result == NO_ERROR;
    if (last_read_good) {
      last_seconds = s_model.seconds_since_read;
      s_model.seconds_since_read = 0;
    }
  }
  require(tick == m.ticks_read.size(), "every tick read is accounted for");
  if (collections == 0) return;
  // Only the last collection's rates are left to see, and only a table read whole and as it is
  // (no forced row count or size) can be followed row by row; otherwise the model loses track.
  const bool plain_table = !m.if_table.num_entries_override && !m.if_table.size_override;
  if (last_read_good) {
    if (collections == 1 && plain_table && s_model_valid) {
      check_rates(accepted(m), last_seconds);
    }
    s_model_valid = collections == 1 && plain_table;
    if (s_model_valid) s_model.previous = accepted(m);
  } else if (collections > 1) {
    s_model_valid = false;  // a good read among them may have gone unseen
  }
  if (!last_read_good && collections == 1 && !opened) {
    require(g_net_count == count_before, "a failed read keeps the interface count");
    require(std::memcmp(g_nets, before, sizeof(winperf_net_info_t) * WINPERF_MAX_NETS) == 0,
            "a failed read keeps the interface records");
  }
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
  winapi_fake::set_call_log(true);  // the stand-in's records of ticks and table reads
  s_model = {};
  s_model_valid = false;
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
      case 5: observe(m, [] { winperf_collect(); }); break;
      case 6: observe(m, [&] { call_getters(p); }); break;
      case 7: {
        const char *json = nullptr;
        observe(m, [&] { json = winperf_get_snapshot_json(); });
        check_snapshot(json);
        break;
      }
      case 8: observe(m, [] { winperf_cleanup(); }); break;
      default: observe(m, [] { winperf_init(); }); break;
    }
    check_records();
  }
  winperf_cleanup();
  return 0;
}
