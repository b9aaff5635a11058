// Loads the library the way a host does: by module name, then each export by its name.
#pragma once

#include <windows.h>

#include "winperf.h"

namespace winperf_loader {

constexpr wchar_t kModuleName[] = L"quarvel-prometheus-winperf.dll";

struct Api {
  HMODULE module = nullptr;
  decltype(&winperf_init) init = nullptr;
  decltype(&winperf_collect) collect = nullptr;
  decltype(&winperf_cleanup) cleanup = nullptr;
  decltype(&winperf_last_error) last_error = nullptr;
  decltype(&winperf_get_cpu) get_cpu = nullptr;
  decltype(&winperf_get_memory) get_memory = nullptr;
  decltype(&winperf_get_disks) get_disks = nullptr;
  decltype(&winperf_get_network) get_network = nullptr;
  decltype(&winperf_get_system) get_system = nullptr;
  decltype(&winperf_get_snapshot_json) get_snapshot_json = nullptr;
};

template <typename Fn>
bool resolve(HMODULE module, const char *name, Fn &fn, const char *&missing) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
  if (fn == nullptr && missing == nullptr) missing = name;
  return fn != nullptr;
}

// Fills api from the loaded module. Returns the name of the first export that is missing, or
// nullptr when all ten are there.
inline const char *resolve_all(HMODULE module, Api &api) {
  const char *missing = nullptr;
  api.module = module;
  resolve(module, "winperf_init", api.init, missing);
  resolve(module, "winperf_collect", api.collect, missing);
  resolve(module, "winperf_cleanup", api.cleanup, missing);
  resolve(module, "winperf_last_error", api.last_error, missing);
  resolve(module, "winperf_get_cpu", api.get_cpu, missing);
  resolve(module, "winperf_get_memory", api.get_memory, missing);
  resolve(module, "winperf_get_disks", api.get_disks, missing);
  resolve(module, "winperf_get_network", api.get_network, missing);
  resolve(module, "winperf_get_system", api.get_system, missing);
  resolve(module, "winperf_get_snapshot_json", api.get_snapshot_json, missing);
  return missing;
}

}  // namespace winperf_loader
