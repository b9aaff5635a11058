// The Windows calls of the stand-in, answering from the scripted machine of winapi_fake.h.
#include "winapi_fake.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <list>

namespace winapi_fake {
namespace {

struct FakeQuery;

struct FakeCounter {
  FakeQuery *query;
  std::wstring path;
  int collects_at_add;
};

struct FakeQuery {
  bool open = true;
  int collects = 0;
  std::deque<FakeCounter> counters;  // deque: handles stay valid as counters are added
};

struct FakeKey {};

int s_refused_counter;

struct State {
  Machine machine;
  std::vector<std::string> calls;
  std::list<FakeQuery> queries;
  std::vector<std::wstring> added_paths;
  int open_keys = 0;
  bool log_calls = true;
  FakeKey key;
};

State &state() {
  static State s;
  return s;
}

std::string narrow(const wchar_t *text) {
  std::string out;
  for (; text && *text; ++text) out += static_cast<char>(*text & 0x7F);
  return out;
}

void log(std::string entry) {
  if (state().log_calls) state().calls.push_back(std::move(entry));
}

std::string hex(DWORD v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

constexpr const char kCpuKey[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
constexpr LSTATUS kErrorMoreData = 234;

ULONG if_table_size(size_t rows) {
  return static_cast<ULONG>(offsetof(MIB_IFTABLE, table) +
                            std::max<size_t>(rows, 1) * sizeof(MIB_IFROW));
}

}  // namespace

Machine &machine() { return state().machine; }

void reset() {
  State &s = state();
  s.machine = Machine{};
  s.calls.clear();
  s.queries.clear();
  s.added_paths.clear();
  s.open_keys = 0;
  s.log_calls = true;
}

void set_call_log(bool enabled) { state().log_calls = enabled; }

std::vector<std::string> &calls() { return state().calls; }

int count_calls(const std::string &prefix) {
  return static_cast<int>(std::count_if(calls().begin(), calls().end(), [&](const auto &c) {
    return c.compare(0, prefix.size(), prefix) == 0;
  }));
}

int open_queries() {
  return static_cast<int>(std::count_if(state().queries.begin(), state().queries.end(),
                                        [](const FakeQuery &q) { return q.open; }));
}

int open_registry_keys() { return state().open_keys; }

std::vector<std::wstring> counter_paths_added() { return state().added_paths; }

void set_drives(std::initializer_list<std::pair<wchar_t, UINT>> drives) {
  Machine &m = machine();
  m.drive_strings.clear();
  for (const auto &[letter, type] : drives) {
    const std::wstring root = std::wstring(1, letter) + L":\\";
    m.drive_strings += root;
    m.drive_strings += L'\0';
    m.drive_types[root] = type;
  }
  m.drive_strings += L'\0';
}

MIB_IFROW if_row(const std::string &description, DWORD type, DWORD oper_status) {
  MIB_IFROW row{};
  row.dwType = type;
  row.dwOperStatus = oper_status;
  const size_t n = std::min(description.size(), sizeof row.bDescr);
  std::memcpy(row.bDescr, description.data(), n);
  row.dwDescrLen = static_cast<DWORD>(n);
  return row;
}

FILETIME filetime(uint64_t value) {
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

}  // namespace winapi_fake

using winapi_fake::state;

extern "C" {

PDH_STATUS WINAPI PdhOpenQueryW(LPCWSTR data_source, DWORD_PTR user_data, PDH_HQUERY *query) {
  auto &s = state();
  winapi_fake::log("PdhOpenQueryW" + std::string(data_source ? " source" : "") +
                   (user_data ? " userdata" : ""));
  if (s.machine.open_status != ERROR_SUCCESS) return s.machine.open_status;
  if (s.machine.open_leaves_null) {
    *query = nullptr;
    return ERROR_SUCCESS;
  }
  // Closed queries are dropped here, so that long runs do not grow; a handle used after its
  // close is then a use after free, which the sanitizers report.
  s.queries.remove_if([](const winapi_fake::FakeQuery &q) { return !q.open; });
  s.queries.emplace_back();
  *query = &s.queries.back();
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhAddEnglishCounterW(PDH_HQUERY query, LPCWSTR path, DWORD_PTR user_data,
                                        PDH_HCOUNTER *counter) {
  auto &s = state();
  winapi_fake::log("PdhAddEnglishCounterW " + winapi_fake::narrow(path) +
                   (user_data ? " userdata" : ""));
  auto *q = static_cast<winapi_fake::FakeQuery *>(query);
  if (q == nullptr || !q->open) return PDH_INVALID_HANDLE;
  if (s.machine.refused_paths.count(path)) {
    *counter = &winapi_fake::s_refused_counter;  // what a refused add leaves is not a counter
    return PDH_CSTATUS_NO_OBJECT;
  }
  q->counters.push_back({q, path, q->collects});
  if (s.log_calls) s.added_paths.push_back(path);
  *counter = &q->counters.back();
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY query) {
  winapi_fake::log("PdhCollectQueryData");
  auto *q = static_cast<winapi_fake::FakeQuery *>(query);
  if (q == nullptr || !q->open) return PDH_INVALID_HANDLE;
  ++q->collects;
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                              PPDH_FMT_COUNTERVALUE value) {
  if (counter == &winapi_fake::s_refused_counter) {
    winapi_fake::log("PdhGetFormattedCounterValue <refused handle>");
    return PDH_INVALID_HANDLE;
  }
  auto *c = static_cast<winapi_fake::FakeCounter *>(counter);
  winapi_fake::log("PdhGetFormattedCounterValue " +
                   (c ? winapi_fake::narrow(c->path.c_str()) : "") + " " +
                   winapi_fake::hex(format) + (type ? " type" : ""));
  if (c == nullptr || !c->query->open) return PDH_INVALID_HANDLE;
  // A rate or percentage needs two raw samples taken after the counter was added.
  if (c->query->collects - c->collects_at_add < 2) return PDH_INVALID_DATA;
  const auto &counters = state().machine.counters;
  const auto it = counters.find(c->path);
  if (it == counters.end()) return PDH_INVALID_DATA;
  if (it->second.status != ERROR_SUCCESS) return it->second.status;
  value->CStatus = 0;
  if (format == PDH_FMT_DOUBLE) {
    value->doubleValue = it->second.double_value;
  } else if (format == PDH_FMT_LARGE) {
    value->largeValue = it->second.large_value;
  } else {
    return PDH_INVALID_DATA;
  }
  return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhCloseQuery(PDH_HQUERY query) {
  winapi_fake::log("PdhCloseQuery");
  auto *q = static_cast<winapi_fake::FakeQuery *>(query);
  if (q == nullptr || !q->open) return PDH_INVALID_HANDLE;
  q->open = false;
  return ERROR_SUCCESS;
}

void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  winapi_fake::log("GetSystemInfo");
  std::memset(info, 0, sizeof *info);
  info->dwPageSize = 4096;
  info->dwNumberOfProcessors = state().machine.processors;
}

BOOL WINAPI GetSystemTimes(PFILETIME idle, PFILETIME kernel, PFILETIME user) {
  winapi_fake::log("GetSystemTimes");
  const winapi_fake::SystemTimes t = state().machine.system_times.next();
  if (!t.ok) return FALSE;
  *idle = winapi_fake::filetime(t.idle);
  *kernel = winapi_fake::filetime(t.kernel);
  *user = winapi_fake::filetime(t.user);
  return TRUE;
}

ULONGLONG WINAPI GetTickCount64(void) {
  winapi_fake::log("GetTickCount64");
  auto &m = state().machine;
  const uint64_t tick = m.tick_count.next();
  if (state().log_calls) m.ticks_read.push_back(tick);
  return tick;
}

BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX status) {
  winapi_fake::log("GlobalMemoryStatusEx " + std::to_string(status->dwLength));
  const auto &m = state().machine;
  if (status->dwLength != sizeof(MEMORYSTATUSEX) || !m.memory_status_ok) return FALSE;
  *status = m.memory_status;
  status->dwLength = sizeof(MEMORYSTATUSEX);
  return TRUE;
}

BOOL WINAPI K32GetPerformanceInfo(PPERFORMANCE_INFORMATION info, DWORD cb) {
  winapi_fake::log("K32GetPerformanceInfo " + std::to_string(cb));
  const auto &m = state().machine;
  if (cb < sizeof(PERFORMANCE_INFORMATION) || !m.performance_info_ok) return FALSE;
  *info = m.performance_info;
  info->cb = sizeof(PERFORMANCE_INFORMATION);
  return TRUE;
}

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY out) {
  winapi_fake::log(std::string("RegOpenKeyExA ") + (key == HKEY_LOCAL_MACHINE ? "HKLM " : "? ") +
                   sub_key + " " + std::to_string(options) + " " + winapi_fake::hex(access));
  auto &s = state();
  if (key != HKEY_LOCAL_MACHINE || std::strcmp(sub_key, winapi_fake::kCpuKey) != 0 ||
      !s.machine.cpu_key_exists) {
    return ERROR_FILE_NOT_FOUND;
  }
  ++s.open_keys;
  *out = reinterpret_cast<HKEY>(&s.key);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
  winapi_fake::log(std::string("RegQueryValueExA ") + name + " " +
                   (size ? std::to_string(*size) : "-"));
  const auto &m = state().machine;
  if (key != reinterpret_cast<HKEY>(&state().key) || reserved != nullptr)
    return ERROR_FILE_NOT_FOUND;
  if (std::strcmp(name, "~MHz") != 0 || !m.mhz) return ERROR_FILE_NOT_FOUND;
  if (type) *type = 4;  // REG_DWORD
  if (data == nullptr || size == nullptr || *size < sizeof(DWORD)) {
    if (size) *size = sizeof(DWORD);
    return data ? winapi_fake::kErrorMoreData : ERROR_SUCCESS;
  }
  std::memcpy(data, &*m.mhz, sizeof(DWORD));
  *size = sizeof(DWORD);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  winapi_fake::log("RegCloseKey");
  if (key != reinterpret_cast<HKEY>(&state().key)) return ERROR_FILE_NOT_FOUND;
  --state().open_keys;
  return ERROR_SUCCESS;
}

BOOL WINAPI SetThreadErrorMode(DWORD mode, LPDWORD old_mode) {
  winapi_fake::log("SetThreadErrorMode " + winapi_fake::hex(mode));
  auto &m = state().machine;
  if (old_mode) *old_mode = m.thread_error_mode;
  m.thread_error_mode = mode;
  return TRUE;
}

DWORD WINAPI GetLogicalDriveStringsW(DWORD length, LPWSTR buffer) {
  winapi_fake::log("GetLogicalDriveStringsW " + std::to_string(length));
  auto &m = state().machine;
  if (state().log_calls) m.error_modes_of_disk_calls.push_back(m.thread_error_mode);
  const std::wstring &list = m.drive_strings;
  if (m.drive_strings_result) {
    std::copy_n(list.begin(), std::min<size_t>(list.size(), length), buffer);
    return *m.drive_strings_result;
  }
  if (list.empty()) return 0;
  if (list.size() > length) return static_cast<DWORD>(list.size());  // does not fit
  std::copy(list.begin(), list.end(), buffer);
  return static_cast<DWORD>(list.size() - 1);
}

UINT WINAPI GetDriveTypeW(LPCWSTR root) {
  winapi_fake::log("GetDriveTypeW " + winapi_fake::narrow(root));
  auto &m = state().machine;
  if (state().log_calls) m.error_modes_of_disk_calls.push_back(m.thread_error_mode);
  const auto &types = m.drive_types;
  const auto it = types.find(root);
  return it == types.end() ? DRIVE_NO_ROOT_DIR : it->second;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR root, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                PULARGE_INTEGER total_free) {
  winapi_fake::log("GetDiskFreeSpaceExW " + winapi_fake::narrow(root));
  auto &m = state().machine;
  if (state().log_calls) m.error_modes_of_disk_calls.push_back(m.thread_error_mode);
  const auto &sizes = m.disk_sizes;
  const auto it = sizes.find(root);
  if (it == sizes.end() || !it->second.ok) return FALSE;
  if (available) available->QuadPart = it->second.available_to_caller;
  if (total) total->QuadPart = it->second.total;
  if (total_free) total_free->QuadPart = it->second.total_free;
  return TRUE;
}

namespace {

DWORD if_table(PMIB_IFTABLE table, PULONG size) {
  auto &m = state().machine;
  if (table == nullptr) {
    if (m.if_table.size_query_result != ERROR_INSUFFICIENT_BUFFER) {
      return m.if_table.size_query_result;
    }
    *size = m.if_table.size_override.value_or(winapi_fake::if_table_size(m.if_rows.size()));
    return ERROR_INSUFFICIENT_BUFFER;
  }
  for (; m.if_table.rows_added_before_read > 0; --m.if_table.rows_added_before_read) {
    m.if_rows.push_back(winapi_fake::if_row("hot-plugged adapter"));
  }
  if (m.if_table.read_result != NO_ERROR) return m.if_table.read_result;
  const ULONG needed = winapi_fake::if_table_size(m.if_rows.size());
  const size_t fits = *size < offsetof(MIB_IFTABLE, table)
                          ? 0
                          : (*size - offsetof(MIB_IFTABLE, table)) / sizeof(MIB_IFROW);
  if (!m.if_table.num_entries_override && *size < needed) {
    *size = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  if (*size < offsetof(MIB_IFTABLE, table)) return ERROR_INSUFFICIENT_BUFFER;
  table->dwNumEntries =
      m.if_table.num_entries_override.value_or(static_cast<DWORD>(m.if_rows.size()));
  const size_t rows = std::min(fits, m.if_rows.size());
  if (rows > 0) std::memcpy(table->table, m.if_rows.data(), rows * sizeof(MIB_IFROW));
  return NO_ERROR;
}

}  // namespace

DWORD WINAPI GetIfTable(PMIB_IFTABLE table, PULONG size, BOOL order) {
  winapi_fake::log(std::string("GetIfTable ") + (table ? "read " : "size ") +
                   std::to_string(*size) + (order ? " ordered" : ""));
  const DWORD result = if_table(table, size);
  if (state().log_calls) state().machine.if_table_calls.push_back({table != nullptr, result});
  return result;
}

}  // extern "C"
