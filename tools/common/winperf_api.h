// The library's ten exports as a host holds them: one pointer each, filled by the loader on
// Windows, or by a test with the library linked in.
#pragma once

#include "winperf.h"

namespace winperf_loader {

struct Api {
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

// The exports of a library linked into the program (tests, benchmarks) rather than loaded.
inline Api linked_api() {
  return {winperf_init,       winperf_collect,          winperf_cleanup,   winperf_last_error,
          winperf_get_cpu,    winperf_get_memory,       winperf_get_disks, winperf_get_network,
          winperf_get_system, winperf_get_snapshot_json};
}

}  // namespace winperf_loader
