// Many collect + snapshot cycles against the real DLL: the process's private bytes stay flat.
#include <windows.h>
// after windows.h
#include <psapi.h>

#include <cstring>

#include "check.h"
#include "winperf_loader.h"

namespace {

// The process's commit charge: its private bytes. (Wine leaves PrivateUsage at 0 but keeps
// PagefileUsage, which Windows documents as the same figure.)
SIZE_T private_bytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage;
}

bool cycle(const winperf_loader::Api &api) {
  return api.collect() == 0 && std::strncmp(api.get_snapshot_json(), "{\"timestamp\":", 13) == 0;
}

}  // namespace

int main() {
  winperf_loader::restrict_dll_search();
  const HMODULE module = winperf_loader::load_module();
  CHECK(module != nullptr);
  if (!module) return check_result("soak_test");
  winperf_loader::Api api;
  CHECK(winperf_loader::resolve_all(module, api) == nullptr);
  CHECK(api.init() == 0);

  constexpr int kWarmUp = 500, kCycles = 5000;
  int failed = 0;
  for (int i = 0; i < kWarmUp; ++i) failed += !cycle(api);
  const SIZE_T before = private_bytes();
  for (int i = 0; i < kCycles; ++i) failed += !cycle(api);
  const SIZE_T after = private_bytes();
  CHECK(failed == 0);
  CHECK(before > 0);
  const long long growth = static_cast<long long>(after) - static_cast<long long>(before);
  std::printf("private bytes: %llu before, %llu after %d cycles (%+lld)\n",
              static_cast<unsigned long long>(before), static_cast<unsigned long long>(after),
              kCycles, growth);
  CHECK(growth < 256 * 1024);  // flat: no per-cycle growth

  api.cleanup();
  FreeLibrary(module);
  return check_result("soak_test");
}
