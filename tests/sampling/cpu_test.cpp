// Counter query set-up, elapsed time, clock speed and processor usage.
#include <cmath>
#include <limits>

#include "sampling_fixture.h"

namespace {

using winapi_fake::calls;
using winapi_fake::count_calls;

struct ProcessorCase {
  DWORD processors;
  uint32_t core_count;
  friend std::ostream &operator<<(std::ostream &os, const ProcessorCase &c) {
    return os << c.processors << " processors";
  }
};

class InitProcessors : public Sampling, public ::testing::WithParamInterface<ProcessorCase> {};

TEST_P(InitProcessors, CapsTheCoreCountAndAddsOneCounterPerSampledProcessor) {
  m().processors = GetParam().processors;
  init_at(1000);
  EXPECT_EQ(g_cpu_info.core_count, GetParam().core_count);

  std::vector<std::wstring> expected = {kTotalPath};
  for (uint32_t i = 0; i < GetParam().core_count; ++i) expected.push_back(core_path(i));
  expected.push_back(kCtxtPath);
  expected.push_back(kSysCallsPath);
  EXPECT_EQ(winapi_fake::counter_paths_added(), expected);
  // Each add passes the English path and no user data.
  std::vector<std::string> adds;
  for (const auto &c : calls())
    if (c.rfind("PdhAddEnglishCounterW", 0) == 0) adds.push_back(c);
  ASSERT_EQ(adds.size(), expected.size());
  for (size_t i = 0; i < adds.size(); ++i) {
    EXPECT_EQ(adds[i],
              "PdhAddEnglishCounterW " + std::string(expected[i].begin(), expected[i].end()));
  }
  EXPECT_EQ(count_calls("PdhCollectQueryData"), 1);  // the priming raw sample
  EXPECT_EQ(count_calls("PdhOpenQueryW"), 1);
  EXPECT_EQ(calls().front(), "PdhOpenQueryW");  // no data source, no user data
}

INSTANTIATE_TEST_SUITE_P(Counts, InitProcessors,
                         ::testing::Values(ProcessorCase{4, 4}, ProcessorCase{200, 128},
                                           ProcessorCase{128, 128}, ProcessorCase{0, 0}),
                         [](const auto &info) {
                           return "Processors" + std::to_string(info.param.processors);
                         });

TEST_F(Sampling, RefusedProcessorPathsTakeTheSecondChoiceOrStayEmpty) {
  m().processors = 4;
  m().refused_paths = {core_path(1), core_path(2), core_fallback_path(2)};
  init_at(1000);
  EXPECT_EQ(winapi_fake::counter_paths_added(),
            (std::vector<std::wstring>{kTotalPath, core_path(0), core_fallback_path(1),
                                       core_path(3), kCtxtPath, kSysCallsPath}));

  set_counter(kTotalPath, 37.5);
  set_counter(core_path(0), 10.0);
  set_counter(core_fallback_path(1), 20.0);
  set_counter(core_path(3), 103.2);
  collect_at(2000);
  EXPECT_EQ(g_cpu_info.total_usage_percent, 37.5);
  EXPECT_EQ(g_cpu_info.cores[0].usage_percent, 10.0);
  EXPECT_EQ(g_cpu_info.cores[1].usage_percent, 20.0);
  EXPECT_EQ(g_cpu_info.cores[2].usage_percent, 37.5);  // no counter: the total
  EXPECT_EQ(g_cpu_info.cores[3].usage_percent, 100.0);
  EXPECT_EQ(g_cpu_info.cores[4].usage_percent, 0.0);  // beyond core_count: untouched
  EXPECT_EQ(g_cpu_info.cores[4].frequency_mhz, 0u);
  EXPECT_EQ(count_calls("PdhGetFormattedCounterValue <refused handle>"), 0);
}

struct OpenFailure {
  const char *name;
  PDH_STATUS status;
  bool leaves_null;
};

class QueryDoesNotOpen : public Sampling, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(QueryDoesNotOpen, DegradesToSystemTimesAndAddsNoCounter) {
  m().open_status = GetParam().status;
  m().open_leaves_null = GetParam().leaves_null;
  m().processors = 6;
  set_times(100, 200, 100);
  init_at(5000);
  EXPECT_EQ(g_cpu_info.core_count, 6u);
  EXPECT_EQ(count_calls("PdhAddEnglishCounterW"), 0);
  EXPECT_EQ(count_calls("PdhCollectQueryData"), 0);
  EXPECT_EQ(count_calls("GetSystemTimes"), 1);  // baselines still taken
  EXPECT_EQ(count_calls("GetTickCount64"), 1);

  set_times(150, 260, 130);  // di 50, dk 60, du 30: busy 40 of 90
  g_sys_info.context_switches_sec = 0;
  collect_at(6000);
  EXPECT_EQ(count_calls("PdhCollectQueryData"), 0);
  EXPECT_EQ(count_calls("PdhGetFormattedCounterValue"), 0);
  EXPECT_NEAR(g_cpu_info.total_usage_percent, 44.444444444444, 1e-9);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(g_cpu_info.cores[i].usage_percent, g_cpu_info.total_usage_percent);
  }
  EXPECT_EQ(g_sys_info.context_switches_sec, 0u);
  EXPECT_EQ(g_sys_info.system_calls_sec, 0u);

  winperf_platform_cleanup();
  EXPECT_EQ(count_calls("PdhCloseQuery"), 0);  // nothing was open
}

INSTANTIATE_TEST_SUITE_P(Ways, QueryDoesNotOpen,
                         ::testing::Values(OpenFailure{"Status", PDH_INVALID_HANDLE, false},
                                           OpenFailure{"NullHandle", ERROR_SUCCESS, true}),
                         [](const auto &info) { return std::string(info.param.name); });

struct PdhTotalCase {
  const char *name;
  double value;
  double stored;
};

class PdhTotal : public Sampling, public ::testing::WithParamInterface<PdhTotalCase> {};

TEST_P(PdhTotal, IsClampedAndTheTimeBaselinesStillMoveOn) {
  set_times(1000, 2000, 1000);
  init_at(1000);
  set_counter(kTotalPath, GetParam().value);
  set_times(1050, 2060, 1030);
  collect_at(2000);
  EXPECT_EQ(g_cpu_info.total_usage_percent, GetParam().stored);
  EXPECT_EQ(g_cpu_info.cores[0].usage_percent, GetParam().stored);  // no per-core value

  // The next fallback computes against the times of the collection that used the counter.
  m().counters.erase(kTotalPath);
  set_times(1100, 2100, 1060);  // di 50, dk 40, du 30: busy is user time only, 30 of 80
  collect_at(3000);
  EXPECT_EQ(g_cpu_info.total_usage_percent, 37.5);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PdhTotal,
    ::testing::Values(PdhTotalCase{"Above100", 100.7, 100.0}, PdhTotalCase{"Negative", -0.2, 0.0},
                      PdhTotalCase{"InRange", 37.5, 37.5},
                      PdhTotalCase{"NaN", std::numeric_limits<double>::quiet_NaN(), 0.0},
                      PdhTotalCase{"Infinite", std::numeric_limits<double>::infinity(), 100.0}),
    [](const auto &info) { return std::string(info.param.name); });

struct TimesCase {
  const char *name;
  uint64_t di, dk, du;
  double expected;  // NaN: keeps the previous total
};

class SystemTimesFallback : public Sampling, public ::testing::WithParamInterface<TimesCase> {};

TEST_P(SystemTimesFallback, ComputesTheTotalFromTimeDifferences) {
  const uint64_t idle0 = 1'000'000, kernel0 = 3'000'000, user0 = 2'000'000;
  set_times(idle0, kernel0, user0);
  init_at(1000);
  g_cpu_info.total_usage_percent = 12.0;  // what the previous collection left
  const auto [name, di, dk, du, expected] = GetParam();
  set_times(idle0 + di, kernel0 + dk, user0 + du);
  collect_at(2000);
  EXPECT_NEAR(g_cpu_info.total_usage_percent, std::isnan(expected) ? 12.0 : expected, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Differences, SystemTimesFallback,
    ::testing::Values(TimesCase{"KernelAboveIdle", 50, 60, 30, 44.444444444444},
                      TimesCase{"KernelBelowIdle", 50, 40, 30, 37.5},
                      TimesCase{"AllIdle", 100, 100, 0, 0.0},
                      TimesCase{"AllBusy", 0, 50, 50, 100.0},
                      TimesCase{"NoTimePassed", 0, 0, 0, std::nan("")},
                      // idle went back by 10: the wrapped difference makes usage above 100
                      TimesCase{"IdleWentBackwards", static_cast<uint64_t>(-10), 50, 30, 0.0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, FailingSystemTimesKeepTheTotalAndTheBaselines) {
  set_times(1000, 2000, 1000);
  init_at(1000);
  g_cpu_info.total_usage_percent = 12.0;
  m().system_times = winapi_fake::SystemTimes{false};
  collect_at(2000);
  EXPECT_EQ(g_cpu_info.total_usage_percent, 12.0);
  EXPECT_EQ(g_cpu_info.cores[3].usage_percent, 12.0);

  set_times(1050, 2060, 1030);  // against the init baselines: 40 of 90
  collect_at(3000);
  EXPECT_NEAR(g_cpu_info.total_usage_percent, 44.444444444444, 1e-9);
}

struct CoreValueCase {
  const char *name;
  PDH_STATUS status;
  double value;
  double stored;
};

class CoreValues : public Sampling, public ::testing::WithParamInterface<CoreValueCase> {};

TEST_P(CoreValues, AreClampedOrFallBackToTheTotal) {
  init_at(1000);
  set_counter(kTotalPath, 120.0);  // clamped before it stands in for a core
  m().counters[core_path(1)] = {GetParam().status, GetParam().value, 0};
  collect_at(2000);
  EXPECT_EQ(g_cpu_info.cores[1].usage_percent, GetParam().stored);
  EXPECT_EQ(g_cpu_info.cores[0].usage_percent, 100.0);
}

INSTANTIATE_TEST_SUITE_P(Values, CoreValues,
                         ::testing::Values(CoreValueCase{"Own", ERROR_SUCCESS, 42.5, 42.5},
                                           CoreValueCase{"Above100", ERROR_SUCCESS, 103.2, 100.0},
                                           CoreValueCase{"Negative", ERROR_SUCCESS, -3.0, 0.0},
                                           CoreValueCase{"NaN", ERROR_SUCCESS, std::nan(""), 0.0},
                                           CoreValueCase{"Failing", PDH_INVALID_DATA, 42.5, 100.0}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, ProcessorTimeFieldsAreNeverWritten) {
  init_at(1000);
  set_counter(kTotalPath, 50.0);
  collect_at(2000);
  collect_at(3000);
  for (uint32_t i = 0; i < g_cpu_info.core_count; ++i) {
    const auto &c = g_cpu_info.cores[i];
    EXPECT_EQ(
        c.user_seconds + c.system_seconds + c.idle_seconds + c.interrupt_seconds + c.dpc_seconds,
        0.0);
  }
}

struct ClockCase {
  const char *name;
  bool key_exists;
  std::optional<DWORD> mhz;
  uint32_t reported;
};

class ClockSpeed : public Sampling, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockSpeed, IsReadOnEveryCollectionOrDefaultsTo2500) {
  m().processors = 3;
  m().cpu_key_exists = GetParam().key_exists;
  m().mhz = GetParam().mhz;
  init_at(1000);
  collect_at(2000);
  collect_at(3000);
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(g_cpu_info.cores[i].frequency_mhz, GetParam().reported);
  EXPECT_EQ(count_calls("RegOpenKeyExA HKLM HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0 0 "
                        "0x20019"),
            2);
  EXPECT_EQ(count_calls("RegQueryValueExA ~MHz 4"), GetParam().key_exists ? 2 : 0);
  EXPECT_EQ(winapi_fake::open_registry_keys(), 0);
}

INSTANTIATE_TEST_SUITE_P(Registry, ClockSpeed,
                         ::testing::Values(ClockCase{"Present", true, 3400, 3400},
                                           ClockCase{"Zero", true, 0, 2500},
                                           ClockCase{"NoValue", true, std::nullopt, 2500},
                                           ClockCase{"NoKey", false, 3400, 2500}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
