// The order of the Windows calls in init, one collection and cleanup.
#include <string>
#include <vector>

#include "sampling_fixture.h"

namespace {

using winapi_fake::calls;

TEST_F(Sampling, InitOpensAddsPrimesAndTakesBaselinesInOrder) {
  m().processors = 2;
  m().refused_paths = {core_path(1)};
  init_at(1000);
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         "PdhOpenQueryW",
                         "PdhAddEnglishCounterW \\Processor(_Total)\\% Processor Time",
                         "GetSystemInfo",
                         "PdhAddEnglishCounterW \\Processor(0)\\% Processor Time",
                         "PdhAddEnglishCounterW \\Processor(1)\\% Processor Time",
                         "PdhAddEnglishCounterW \\Processor Information(0,1)\\% Processor Time",
                         "PdhAddEnglishCounterW \\System\\Context Switches/sec",
                         "PdhAddEnglishCounterW \\System\\System Calls/sec",
                         "PdhCollectQueryData",
                         "GetSystemTimes",
                         "GetTickCount64",
                     }));
}

TEST_F(Sampling, OneCollectionRunsEveryStepOnceInOrder) {
  m().processors = 2;
  m().mhz = 3000;
  winapi_fake::set_drives({{L'C', DRIVE_FIXED}});
  m().disk_sizes[L"C:\\"] = {true, 1, 2, 3};
  m().if_rows = {winapi_fake::if_row("eth")};
  init_at(1000);
  calls().clear();
  collect_at(2000);
  EXPECT_EQ(calls(),
            (std::vector<std::string>{
                "GetTickCount64",
                "PdhCollectQueryData",
                "RegOpenKeyExA HKLM HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0 0 0x20019",
                "RegQueryValueExA ~MHz 4",
                "RegCloseKey",
                "PdhGetFormattedCounterValue \\Processor(_Total)\\% Processor Time 0x200",
                "GetSystemTimes",
                "PdhGetFormattedCounterValue \\Processor(0)\\% Processor Time 0x200",
                "PdhGetFormattedCounterValue \\Processor(1)\\% Processor Time 0x200",
                "GlobalMemoryStatusEx 64",
                "K32GetPerformanceInfo 104",
                "SetThreadErrorMode 0x1",
                "GetLogicalDriveStringsW 512",
                "GetDriveTypeW C:\\",
                "GetDiskFreeSpaceExW C:\\",
                "SetThreadErrorMode 0x0",
                "GetIfTable size 0",
                "GetIfTable read 864",
                "GetTickCount64",
                "PdhGetFormattedCounterValue \\System\\Context Switches/sec 0x400",
                "PdhGetFormattedCounterValue \\System\\System Calls/sec 0x400",
            }));
}

TEST_F(Sampling, CleanupClosesTheQueryOnceAndIsHarmlessTwice) {
  init_at(1000);
  collect_at(2000);
  winperf_platform_cleanup();
  winperf_platform_cleanup();
  EXPECT_EQ(winapi_fake::count_calls("PdhCloseQuery"), 1);
  EXPECT_EQ(winapi_fake::open_queries(), 0);

  // A new init finds every handle cleared and adds its counters to a new query.
  init_at(3000);
  collect_at(4000);
  EXPECT_EQ(winapi_fake::open_queries(), 1);
  EXPECT_EQ(winapi_fake::count_calls("PdhGetFormattedCounterValue \\System\\System Calls/sec"), 2);
}

TEST_F(Sampling, CleanupBeforeAnyInitClosesNothing) {
  winperf_platform_cleanup();
  EXPECT_TRUE(calls().empty());
}

}  // namespace
