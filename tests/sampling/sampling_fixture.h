// Runs the sampling layer against the scripted Windows API stand-in.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "winapi_fake.h"
#include "winperf_internal.h"

inline const std::wstring kTotalPath = L"\\Processor(_Total)\\% Processor Time";
inline const std::wstring kCtxtPath = L"\\System\\Context Switches/sec";
inline const std::wstring kSysCallsPath = L"\\System\\System Calls/sec";

inline std::wstring core_path(unsigned i) {
  return L"\\Processor(" + std::to_wstring(i) + L")\\% Processor Time";
}
inline std::wstring core_fallback_path(unsigned i) {
  return L"\\Processor Information(0," + std::to_wstring(i) + L")\\% Processor Time";
}

class Sampling : public ::testing::Test {
 protected:
  // Cleanup runs while the previous machine still answers, then the machine is replaced.
  void SetUp() override {
    winperf_cleanup();
    winapi_fake::reset();
  }
  void TearDown() override {
    winperf_cleanup();
    winapi_fake::reset();
  }

  static winapi_fake::Machine &m() { return winapi_fake::machine(); }

  // Platform init and collection with the tick count standing at `tick` milliseconds.
  static void init_at(uint64_t tick) {
    m().tick_count = tick;
    ASSERT_EQ(winperf_platform_init(), 0);
  }
  static void collect_at(uint64_t tick) {
    m().tick_count = tick;
    ASSERT_EQ(winperf_platform_collect(), 0);
  }
  static void set_counter(const std::wstring &path, double value) {
    m().counters[path] = {ERROR_SUCCESS, value, 0};
  }
  static void set_times(uint64_t idle, uint64_t kernel, uint64_t user) {
    m().system_times = winapi_fake::SystemTimes{true, idle, kernel, user};
  }
};

namespace {
// Table cases print as their name in test listings.
template <typename Case>
requires requires(const Case &c) { c.name; }
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }
}  // namespace
