// The real DLL, loaded by module name, against the live system and direct Windows calls.
#include <windows.h>
// after windows.h
#include <iphlpapi.h>
#include <yyjson.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "winperf_loader.h"

namespace {

winperf_loader::Api api;

std::string text(const char *s) { return s ? s : "(null)"; }

void check_layout() {
  CHECK(sizeof(winperf_core_info_t) == 56);
  CHECK(sizeof(winperf_cpu_info_t) == 7184);
  CHECK(sizeof(winperf_mem_info_t) == 64);
  CHECK(sizeof(winperf_disk_info_t[3]) == 3 * 112);
  CHECK(sizeof(winperf_net_info_t[3]) == 3 * 184);
  CHECK(sizeof(winperf_sys_info_t) == 40);
}

void check_argument_errors() {
  winperf_disk_info_t disks[2];
  winperf_net_info_t nets[2];
  int count = -5;
  const struct {
    int result;
    const char *message;
  } cases[] = {
      {api.get_cpu(nullptr), "winperf_get_cpu: NULL pointer provided"},
      {api.get_memory(nullptr), "winperf_get_memory: NULL pointer provided"},
      {api.get_system(nullptr), "winperf_get_system: NULL pointer provided"},
      {api.get_disks(disks, 0, &count), "winperf_get_disks: Invalid arguments"},
      {api.get_disks(nullptr, 2, &count), "winperf_get_disks: Invalid arguments"},
      {api.get_network(nets, 2, nullptr), "winperf_get_network: Invalid arguments"},
      {api.get_network(nets, -1, &count), "winperf_get_network: Invalid arguments"},
  };
  // Each call above ran in order; the last message stands.
  for (const auto &c : cases) CHECK(c.result == -1);
  CHECK(text(api.last_error()) == "winperf_get_network: Invalid arguments");
  CHECK(count == -5);
  CHECK(api.get_cpu(nullptr) == -1);
  CHECK(text(api.last_error()) == "winperf_get_cpu: NULL pointer provided");
}

DWORD registry_mhz() {
  HKEY key;
  DWORD mhz = 0, size = sizeof mhz;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                    KEY_READ, &key) == ERROR_SUCCESS) {
    RegQueryValueExA(key, "~MHz", nullptr, nullptr, reinterpret_cast<LPBYTE>(&mhz), &size);
    RegCloseKey(key);
  }
  return mhz ? mhz : 2500;
}

void check_cpu(const winperf_cpu_info_t &cpu) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  CHECK(cpu.core_count == std::min<DWORD>(si.dwNumberOfProcessors, 128));
  CHECK(cpu.total_usage_percent >= 0.0 && cpu.total_usage_percent <= 100.0);
  const DWORD mhz = registry_mhz();
  for (uint32_t i = 0; i < WINPERF_MAX_CORES; ++i) {
    const auto &c = cpu.cores[i];
    CHECK(c.user_seconds == 0 && c.system_seconds == 0 && c.idle_seconds == 0 &&
          c.interrupt_seconds == 0 && c.dpc_seconds == 0);
    if (i < cpu.core_count) {
      CHECK(c.frequency_mhz == mhz);
      CHECK(c.usage_percent >= 0.0 && c.usage_percent <= 100.0);
    } else {
      CHECK(c.frequency_mhz == 0 && c.usage_percent == 0.0);
    }
  }
}

void check_memory(const winperf_mem_info_t &mem) {
  MEMORYSTATUSEX ms{};
  ms.dwLength = sizeof ms;
  CHECK(GlobalMemoryStatusEx(&ms));
  CHECK(mem.total_physical_bytes == ms.ullTotalPhys);
  CHECK(mem.total_commit_bytes == ms.ullTotalPageFile);
  CHECK(mem.available_physical_bytes <= mem.total_physical_bytes);
  CHECK(mem.committed_bytes <= mem.total_commit_bytes);
  CHECK(mem.memory_load_percent >= 0 && mem.memory_load_percent <= 100);
  CHECK(mem.memory_load_percent == static_cast<double>(static_cast<int>(mem.memory_load_percent)));
}

// The drives the library should list: local fixed or removable ones that report sizes.
std::vector<std::string> expected_disks() {
  std::vector<std::string> names;
  wchar_t list[512];
  const DWORD len = GetLogicalDriveStringsW(512, list);
  for (const wchar_t *root = list; len > 0 && len < 512 && *root; root += wcslen(root) + 1) {
    const UINT type = GetDriveTypeW(root);
    ULARGE_INTEGER a, t, f;
    if ((type == DRIVE_FIXED || type == DRIVE_REMOVABLE) && GetDiskFreeSpaceExW(root, &a, &t, &f)) {
      names.push_back(std::string(1, static_cast<char>(root[0])) + ":");
    }
  }
  if (names.empty()) names.push_back("C:");
  if (names.size() > 64) names.resize(64);
  return names;
}

void check_disks(const winperf_disk_info_t *disks, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.emplace_back(disks[i].name);
    const auto &d = disks[i];
    CHECK(d.read_bytes_sec == 0 && d.write_bytes_sec == 0 && d.read_iops == 0 &&
          d.write_iops == 0 && d.queue_length == 0.0);
    CHECK(d.free_bytes <= d.total_bytes);
    const std::wstring root = std::wstring(1, static_cast<wchar_t>(d.name[0])) + L":\\";
    ULARGE_INTEGER a, t, f;
    CHECK(GetDiskFreeSpaceExW(root.c_str(), &a, &t, &f) && t.QuadPart == d.total_bytes);
  }
  CHECK(names == expected_disks());
}

// Interface names as the interface table gives them, loopback left out beside other rows.
std::vector<std::string> expected_interfaces() {
  ULONG size = 0;
  std::vector<std::string> names;
  if (GetIfTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) return names;
  std::vector<char> block(size);
  auto *table = reinterpret_cast<MIB_IFTABLE *>(block.data());
  if (GetIfTable(table, &size, FALSE) != NO_ERROR) return names;
  for (DWORD i = 0; i < table->dwNumEntries && names.size() < 64; ++i) {
    const MIB_IFROW &row = table->table[i];
    if (row.dwType == IF_TYPE_SOFTWARE_LOOPBACK && table->dwNumEntries != 1) continue;
    const DWORD n = std::min<DWORD>(row.dwDescrLen, 256);
    std::string name(reinterpret_cast<const char *>(row.bDescr), n);
    name = name.substr(0, std::min(name.find('\0'), size_t{127}));
    names.push_back(name);
  }
  return names;
}

void check_network(const winperf_net_info_t *nets, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.emplace_back(nets[i].name);
    CHECK(nets[i].is_up == 0 || nets[i].is_up == 1);
    CHECK(std::memchr(nets[i].name, '\0', sizeof nets[i].name) != nullptr);
  }
  CHECK(names == expected_interfaces());
  std::printf("interfaces: %d\n", count);
}

void check_system(const winperf_sys_info_t &sys) {
  const uint64_t now = GetTickCount64() / 1000;
  CHECK(sys.uptime_seconds <= now && sys.uptime_seconds + 5 >= now);
  CHECK(sys.process_count > 0);
  CHECK(sys.thread_count >= sys.process_count);
}

// The snapshot parses, has its six members in order, and says what the getters say.
// Each element's "name" and one figure against the records the getters gave.
template <typename Record, typename Figure>
void check_elements(yyjson_val *array, const Record *records, int count, const char *key,
                    Figure figure) {
  CHECK(yyjson_arr_size(array) == static_cast<size_t>(count));
  for (int i = 0; i < count && i < static_cast<int>(yyjson_arr_size(array)); ++i) {
    yyjson_val *element = yyjson_arr_get(array, static_cast<size_t>(i));
    CHECK(text(yyjson_get_str(yyjson_obj_get(element, "name"))) == records[i].name);
    CHECK(yyjson_get_uint(yyjson_obj_get(element, key)) == figure(records[i]));
  }
}

void check_snapshot(const char *json, const winperf_cpu_info_t &cpu, const winperf_mem_info_t &mem,
                    const winperf_disk_info_t *disks, int disk_count,
                    const winperf_net_info_t *nets, int net_count, const winperf_sys_info_t &sys) {
  yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
  CHECK(doc != nullptr);
  if (!doc) return;
  yyjson_val *root = yyjson_doc_get_root(doc);
  const char *order[] = {"timestamp", "cpu", "memory", "disks", "network", "system"};
  CHECK(yyjson_obj_size(root) == 6);
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  for (const char *key : order) {
    yyjson_val *k = yyjson_obj_iter_next(&it);
    CHECK(k && yyjson_equals_str(k, key));
  }
  yyjson_val *jcpu = yyjson_obj_get(root, "cpu");
  CHECK(yyjson_get_uint(yyjson_obj_get(jcpu, "core_count")) == cpu.core_count);
  CHECK(yyjson_get_real(yyjson_obj_get(jcpu, "total_usage_percent")) == cpu.total_usage_percent);
  CHECK(yyjson_arr_size(yyjson_obj_get(jcpu, "cores")) == cpu.core_count);
  CHECK(yyjson_get_uint(yyjson_obj_get(yyjson_obj_get(root, "memory"), "total_physical_bytes")) ==
        mem.total_physical_bytes);
  check_elements(yyjson_obj_get(root, "disks"), disks, disk_count, "total_bytes",
                 [](const winperf_disk_info_t &d) { return d.total_bytes; });
  check_elements(yyjson_obj_get(root, "network"), nets, net_count, "errors_in",
                 [](const winperf_net_info_t &n) { return n.errors_in; });
  yyjson_val *jsys = yyjson_obj_get(root, "system");
  CHECK(yyjson_get_uint(yyjson_obj_get(jsys, "process_count")) == sys.process_count);
  CHECK(yyjson_get_uint(yyjson_obj_get(jsys, "uptime_seconds")) == sys.uptime_seconds);
  const uint64_t ts = yyjson_get_uint(yyjson_obj_get(root, "timestamp"));
  CHECK(ts > 1600000000u);
  yyjson_doc_free(doc);
}

std::string without_timestamp(const std::string &json) { return json.substr(json.find(',')); }

}  // namespace

int main() {
  winperf_loader::restrict_dll_search();
  const HMODULE module = winperf_loader::load_module();
  CHECK(module != nullptr);
  if (!module) return check_result("api_test");
  CHECK(winperf_loader::resolve_all(module, api) == nullptr);

  check_layout();
  CHECK(text(api.last_error()) == "None");
  check_argument_errors();

  CHECK(api.init() == 0);
  CHECK(text(api.last_error()).empty());
  Sleep(200);
  CHECK(api.collect() == 0);

  static winperf_cpu_info_t cpu;
  static winperf_mem_info_t mem;
  static winperf_disk_info_t disks[WINPERF_MAX_DISKS];
  static winperf_net_info_t nets[WINPERF_MAX_NETS];
  winperf_sys_info_t sys;
  int disk_count = 0, net_count = 0;
  CHECK(api.get_cpu(&cpu) == 0);
  CHECK(api.get_memory(&mem) == 0);
  CHECK(api.get_disks(disks, WINPERF_MAX_DISKS, &disk_count) == 0);
  CHECK(api.get_network(nets, WINPERF_MAX_NETS, &net_count) == 0);
  CHECK(api.get_system(&sys) == 0);
  check_cpu(cpu);
  check_memory(mem);
  check_disks(disks, disk_count);
  check_network(nets, net_count);
  check_system(sys);

  const std::string first = api.get_snapshot_json();
  check_snapshot(first.c_str(), cpu, mem, disks, disk_count, nets, net_count, sys);
  const std::string second = api.get_snapshot_json();
  CHECK(without_timestamp(first) == without_timestamp(second));

  // Cleanup, then a getter initialises again from scratch.
  api.cleanup();
  winperf_cpu_info_t again;
  CHECK(api.get_cpu(&again) == 0);
  CHECK(again.core_count == cpu.core_count);
  CHECK(text(api.last_error()).empty());
  CHECK(std::string(api.get_snapshot_json()).rfind("{\"timestamp\":", 0) == 0);
  api.cleanup();
  api.cleanup();

  FreeLibrary(module);
  return check_result("api_test");
}
