// Memory status, performance information, uptime and the two rate counters.
#include "sampling_fixture.h"

namespace {

using winapi_fake::count_calls;

constexpr uint64_t GiB = 1ull << 30;

MEMORYSTATUSEX memory_status(uint64_t total_page_file, uint64_t avail_page_file, DWORD load) {
  MEMORYSTATUSEX s{};
  s.dwMemoryLoad = load;
  s.ullTotalPhys = 32 * GiB;
  s.ullAvailPhys = 20 * GiB;
  s.ullTotalPageFile = total_page_file;
  s.ullAvailPageFile = avail_page_file;
  s.ullTotalVirtual = 128 * GiB;  // not reported
  s.ullAvailVirtual = 64 * GiB;
  return s;
}

struct CommitCase {
  const char *name;
  uint64_t total, available, committed;
};

class Commit : public Sampling, public ::testing::WithParamInterface<CommitCase> {};

TEST_P(Commit, IsTheLimitMinusWhatIsAvailableNeverBelowZero) {
  m().memory_status = memory_status(GetParam().total, GetParam().available, 37);
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(g_mem_info.total_physical_bytes, 32 * GiB);
  EXPECT_EQ(g_mem_info.available_physical_bytes, 20 * GiB);
  EXPECT_EQ(g_mem_info.total_commit_bytes, GetParam().total);
  EXPECT_EQ(g_mem_info.committed_bytes, GetParam().committed);
  EXPECT_EQ(g_mem_info.memory_load_percent, 37.0);
  EXPECT_EQ(count_calls("GlobalMemoryStatusEx 64"), 1);
}

INSTANTIATE_TEST_SUITE_P(Figures, Commit,
                         ::testing::Values(CommitCase{"Normal", 16 * GiB, 10 * GiB, 6 * GiB},
                                           CommitCase{"AllAvailable", 16 * GiB, 16 * GiB, 0},
                                           CommitCase{"AvailableAboveTotal", 16 * GiB, 17 * GiB,
                                                      0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, PerformanceInformationGivesPoolsCacheAndCounts) {
  PERFORMANCE_INFORMATION &p = m().performance_info;
  p.PageSize = 4096;
  p.KernelPaged = 100;
  p.KernelNonpaged = 25;
  p.SystemCache = 1ull << 52;  // the product wraps in 64 bits
  p.CommitTotal = 999;         // commit comes from the memory status instead
  p.ProcessCount = 120;
  p.ThreadCount = 1500;
  p.HandleCount = 4294967295u;
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(g_mem_info.pool_paged_bytes, 400u * 1024);
  EXPECT_EQ(g_mem_info.pool_nonpaged_bytes, 100u * 1024);
  EXPECT_EQ(g_mem_info.cache_bytes, (1ull << 52) * 4096);  // wrapped: 0
  EXPECT_EQ(g_mem_info.committed_bytes, 0u);
  EXPECT_EQ(g_sys_info.process_count, 120u);
  EXPECT_EQ(g_sys_info.thread_count, 1500u);
  EXPECT_EQ(g_sys_info.handle_count, 4294967295u);
  EXPECT_EQ(count_calls("K32GetPerformanceInfo 104"), 1);
}

TEST_F(Sampling, AFailingSourceKeepsItsPreviousFiguresWhileUptimeMovesOn) {
  m().memory_status = memory_status(16 * GiB, 10 * GiB, 40);
  m().performance_info.PageSize = 4096;
  m().performance_info.KernelPaged = 10;
  m().performance_info.ProcessCount = 77;
  init_at(1000);
  collect_at(5000);
  const winperf_mem_info_t mem_before = g_mem_info;
  const winperf_sys_info_t sys_before = g_sys_info;

  m().memory_status_ok = false;
  m().performance_info_ok = false;
  m().memory_status = memory_status(1, 1, 99);
  m().performance_info.ProcessCount = 1;
  collect_at(9000);
  EXPECT_EQ(std::memcmp(&g_mem_info, &mem_before, sizeof g_mem_info), 0);
  EXPECT_EQ(g_sys_info.process_count, sys_before.process_count);
  EXPECT_EQ(g_sys_info.uptime_seconds, 9u);
}

struct UptimeCase {
  uint64_t tick;
  uint64_t seconds;
  friend std::ostream &operator<<(std::ostream &os, const UptimeCase &c) {
    return os << c.tick << " ms";
  }
};

class Uptime : public Sampling, public ::testing::WithParamInterface<UptimeCase> {};

TEST_P(Uptime, IsWholeSecondsOfTheTickCountReadAfterTheInterfaces) {
  init_at(0);
  // The elapsed-time read sees 500 ms; the uptime read comes after the disks and network.
  m().tick_count = winapi_fake::Script<uint64_t>{500, GetParam().tick};
  ASSERT_EQ(winperf_platform_collect(), 0);
  EXPECT_EQ(g_sys_info.uptime_seconds, GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(Ticks, Uptime,
                         ::testing::Values(UptimeCase{999, 0}, UptimeCase{1000, 1},
                                           UptimeCase{86'400'999, 86'400},
                                           UptimeCase{UINT64_MAX, UINT64_MAX / 1000}),
                         [](const auto &info) { return "Tick" + std::to_string(info.param.tick); });

TEST_F(Sampling, RateCountersAreReadAsLargeIntegers) {
  init_at(1000);
  m().counters[kCtxtPath] = {ERROR_SUCCESS, 1.5, 123456789012345};
  m().counters[kSysCallsPath] = {ERROR_SUCCESS, 2.5, -1};  // copied bit for bit
  collect_at(2000);
  EXPECT_EQ(g_sys_info.context_switches_sec, 123456789012345u);
  EXPECT_EQ(g_sys_info.system_calls_sec, UINT64_MAX);
  EXPECT_EQ(count_calls("PdhGetFormattedCounterValue \\System\\Context Switches/sec 0x400"), 1);
  EXPECT_EQ(count_calls("PdhGetFormattedCounterValue \\System\\System Calls/sec 0x400"), 1);
}

TEST_F(Sampling, RateCounterFailuresKeepThePreviousValue) {
  m().refused_paths = {kSysCallsPath};  // its handle stays null
  init_at(1000);
  m().counters[kCtxtPath] = {ERROR_SUCCESS, 0, 500};
  m().counters[kSysCallsPath] = {ERROR_SUCCESS, 0, 900};
  collect_at(2000);
  EXPECT_EQ(g_sys_info.context_switches_sec, 500u);
  EXPECT_EQ(g_sys_info.system_calls_sec, 0u);  // no counter: never written
  EXPECT_EQ(count_calls("PdhGetFormattedCounterValue \\System\\System Calls/sec"), 0);
  EXPECT_EQ(count_calls("PdhGetFormattedCounterValue <refused handle>"), 0);

  m().counters[kCtxtPath] = {PDH_INVALID_DATA, 0, 7};
  collect_at(3000);
  EXPECT_EQ(g_sys_info.context_switches_sec, 500u);
}

}  // namespace
