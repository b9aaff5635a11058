#include "scripted_platform.h"

#include <cstddef>

#include "winperf_internal.h"

namespace {
ScriptedPlatform s_script;
}

ScriptedPlatform &script() { return s_script; }

void reset_script() { s_script = ScriptedPlatform{}; }

namespace {
bool all_zero(const void *p, size_t n) {
  const auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}
}  // namespace

bool shared_records_are_zero() {
  return all_zero(&g_cpu_info, sizeof g_cpu_info) && all_zero(&g_mem_info, sizeof g_mem_info) &&
         all_zero(g_disks, sizeof g_disks) && all_zero(g_nets, sizeof g_nets) &&
         all_zero(&g_sys_info, sizeof g_sys_info) && g_disk_count == 0 && g_net_count == 0;
}

int32_t winperf_platform_init() noexcept {
  ++s_script.init_calls;
  if (s_script.init_result != 0) {
    if (s_script.init_error) winperf_set_error("%s", s_script.init_error);
    return s_script.init_result;
  }
  g_cpu_info.core_count = s_script.core_count;
  return 0;
}

int32_t winperf_platform_collect() noexcept {
  ++s_script.collect_calls;
  if (s_script.on_collect) s_script.on_collect(s_script.collect_calls);
  return s_script.collect_result;
}

void winperf_platform_cleanup() noexcept { ++s_script.cleanup_calls; }
