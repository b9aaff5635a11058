// A scripted stand-in for the platform seam: counts its calls, fails on request and lets a
// test write the records that a collection would write.
#pragma once

#include <cstdint>
#include <functional>

struct ScriptedPlatform {
  int init_calls = 0;
  int collect_calls = 0;
  int cleanup_calls = 0;
  int32_t init_result = 0;
  int32_t collect_result = 0;
  const char *init_error = nullptr;  // written through winperf_set_error when init fails
  uint32_t core_count = 4;           // what init writes into g_cpu_info.core_count
  // Runs inside each collection with the collection's number (1 for the first).
  std::function<void(int)> on_collect;
};

// The script the seam follows; reset before each test.
ScriptedPlatform &script();
void reset_script();

// Whether every shared record, both tables in full and both counts are zero.
bool shared_records_are_zero();
