#include "scripted_platform.h"

#include "winperf_internal.h"

namespace {
ScriptedPlatform s_script;
}

ScriptedPlatform &script() { return s_script; }

void reset_script() { s_script = ScriptedPlatform{}; }

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
