// Lifecycle, getters and the error text, against the scripted platform seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "scripted_platform.h"
#include "winperf_internal.h"

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    winperf_cleanup();
    reset_script();
  }
  void TearDown() override {
    winperf_cleanup();
    reset_script();
  }
  static std::string last_error() { return winperf_last_error(); }
};

struct CountCase {
  const char *name;
  void (*calls)();
  int expected_collections;
  friend std::ostream &operator<<(std::ostream &os, const CountCase &c) { return os << c.name; }
};

class CollectionCount : public Lifecycle, public ::testing::WithParamInterface<CountCase> {};

TEST_P(CollectionCount, MakesTheStatedNumberOfCollections) {
  GetParam().calls();
  EXPECT_EQ(script().collect_calls, GetParam().expected_collections);
  EXPECT_EQ(script().init_calls, 1);
  EXPECT_EQ(g_initialized, 1);
}

winperf_cpu_info_t g_cpu_out;
winperf_mem_info_t g_mem_out;
winperf_sys_info_t g_sys_out;
winperf_disk_info_t g_disk_out[4];
winperf_net_info_t g_net_out[4];
int g_count_out;

const CountCase kCountCases[] = {
    {"FirstCollect", [] { EXPECT_EQ(winperf_collect(), 0); }, 2},
    {"InitThenCollect",
     [] {
       winperf_init();
       winperf_collect();
     },
     2},
    {"LaterCollects",
     [] {
       winperf_collect();
       winperf_collect();
       winperf_collect();
     },
     4},
    {"InitTwice",
     [] {
       EXPECT_EQ(winperf_init(), 0);
       EXPECT_EQ(winperf_init(), 0);
     },
     1},
    {"FirstGetCpu", [] { EXPECT_EQ(winperf_get_cpu(&g_cpu_out), 0); }, 2},
    {"FirstGetMemory", [] { EXPECT_EQ(winperf_get_memory(&g_mem_out), 0); }, 2},
    {"FirstGetSystem", [] { EXPECT_EQ(winperf_get_system(&g_sys_out), 0); }, 2},
    {"FirstGetDisks", [] { EXPECT_EQ(winperf_get_disks(g_disk_out, 4, &g_count_out), 0); }, 2},
    {"FirstGetNetwork", [] { EXPECT_EQ(winperf_get_network(g_net_out, 4, &g_count_out), 0); }, 2},
    {"FirstSnapshot", [] { EXPECT_STRNE(winperf_get_snapshot_json(), "{}"); }, 2},
    {"GettersAfterInitDoNotCollect",
     [] {
       winperf_init();
       winperf_get_cpu(&g_cpu_out);
       winperf_get_memory(&g_mem_out);
       winperf_get_system(&g_sys_out);
       winperf_get_disks(g_disk_out, 4, &g_count_out);
       winperf_get_network(g_net_out, 4, &g_count_out);
       winperf_get_snapshot_json();
     },
     1},
};

INSTANTIATE_TEST_SUITE_P(Calls, CollectionCount, ::testing::ValuesIn(kCountCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Lifecycle, CollectReturnsThePlatformResult) {
  winperf_init();
  script().collect_result = 7;
  EXPECT_EQ(winperf_collect(), 7);
}

TEST_F(Lifecycle, FailingPlatformInitLeavesTheLibraryUninitialisedAndIsRetried) {
  script().init_result = 5;
  winperf_cpu_info_t cpu;
  std::memset(&cpu, 0xAB, sizeof cpu);
  const winperf_cpu_info_t before = cpu;

  EXPECT_EQ(winperf_init(), -1);
  EXPECT_EQ(winperf_collect(), -1);
  EXPECT_EQ(winperf_get_cpu(&cpu), -1);
  EXPECT_STREQ(winperf_get_snapshot_json(), "{}");
  EXPECT_EQ(g_initialized, 0);
  EXPECT_EQ(script().init_calls, 4);  // every call tried again
  EXPECT_EQ(script().collect_calls, 0);
  EXPECT_EQ(std::memcmp(&cpu, &before, sizeof cpu), 0);

  script().init_result = 0;
  EXPECT_EQ(winperf_collect(), 0);
  EXPECT_EQ(g_initialized, 1);
}

TEST_F(Lifecycle, FailedInitLeavesWhatThePlatformWroteAsTheError) {
  winperf_set_error("stale");
  script().init_result = 1;
  script().init_error = "platform says no";
  EXPECT_EQ(winperf_init(), -1);
  EXPECT_EQ(last_error(), "platform says no");
  script().init_error = nullptr;
  EXPECT_STREQ(winperf_get_snapshot_json(), "{}");
  EXPECT_EQ(last_error(), "");  // emptied at the start; the snapshot adds nothing on this path
}

// Each bad call: its message, and the promise that nothing was written or initialised.
struct BadCall {
  const char *name;
  int (*call)();
  const char *message;
  friend std::ostream &operator<<(std::ostream &os, const BadCall &c) { return os << c.name; }
};

winperf_disk_info_t g_disks_in[2];
winperf_net_info_t g_nets_in[2];
int g_returned = -99;

const BadCall kBadCalls[] = {
    {"CpuNull", [] { return winperf_get_cpu(nullptr); }, "winperf_get_cpu: NULL pointer provided"},
    {"MemoryNull", [] { return winperf_get_memory(nullptr); },
     "winperf_get_memory: NULL pointer provided"},
    {"SystemNull", [] { return winperf_get_system(nullptr); },
     "winperf_get_system: NULL pointer provided"},
    {"DisksMaxZero", [] { return winperf_get_disks(g_disks_in, 0, &g_returned); },
     "winperf_get_disks: Invalid arguments"},
    {"DisksMaxNegative", [] { return winperf_get_disks(g_disks_in, -3, &g_returned); },
     "winperf_get_disks: Invalid arguments"},
    {"DisksCountNull", [] { return winperf_get_disks(g_disks_in, 2, nullptr); },
     "winperf_get_disks: Invalid arguments"},
    {"DisksArrayNull", [] { return winperf_get_disks(nullptr, 2, &g_returned); },
     "winperf_get_disks: Invalid arguments"},
    {"NetworkMaxZero", [] { return winperf_get_network(g_nets_in, 0, &g_returned); },
     "winperf_get_network: Invalid arguments"},
    {"NetworkCountNull", [] { return winperf_get_network(g_nets_in, 2, nullptr); },
     "winperf_get_network: Invalid arguments"},
    {"NetworkArrayNull", [] { return winperf_get_network(nullptr, 2, &g_returned); },
     "winperf_get_network: Invalid arguments"},
};

class BadArguments : public Lifecycle, public ::testing::WithParamInterface<BadCall> {};

TEST_P(BadArguments, FailWithTheirMessageWriteNothingAndDoNotInitialise) {
  std::memset(g_disks_in, 0x5A, sizeof g_disks_in);
  std::memset(g_nets_in, 0x5A, sizeof g_nets_in);
  g_returned = -99;

  EXPECT_EQ(GetParam().call(), -1);
  EXPECT_EQ(last_error(), GetParam().message);
  EXPECT_EQ(g_returned, -99);
  for (const auto &d : g_disks_in) EXPECT_EQ(static_cast<unsigned char>(d.name[0]), 0x5A);
  for (const auto &n : g_nets_in) EXPECT_EQ(static_cast<unsigned char>(n.name[0]), 0x5A);
  EXPECT_EQ(script().init_calls, 0);
  EXPECT_EQ(g_initialized, 0);
}

TEST_P(BadArguments, MessageIsStickyAcrossSuccessfulCalls) {
  winperf_init();
  GetParam().call();
  winperf_mem_info_t mem;
  int n = 0;
  ASSERT_EQ(winperf_collect(), 0);
  ASSERT_EQ(winperf_get_memory(&mem), 0);
  ASSERT_EQ(winperf_get_disks(g_disks_in, 2, &n), 0);
  ASSERT_STRNE(winperf_get_snapshot_json(), "{}");
  EXPECT_EQ(last_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Getters, BadArguments, ::testing::ValuesIn(kBadCalls),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Lifecycle, OnlyTheStartOfAnInitialisationEmptiesTheErrorText) {
  winperf_get_cpu(nullptr);
  EXPECT_EQ(winperf_init(), 0);
  EXPECT_EQ(last_error(), "");

  winperf_get_cpu(nullptr);
  winperf_init();  // already initialised: nothing happens
  EXPECT_EQ(last_error(), "winperf_get_cpu: NULL pointer provided");

  winperf_cleanup();  // keeps the text
  EXPECT_EQ(last_error(), "winperf_get_cpu: NULL pointer provided");
  winperf_mem_info_t mem;
  EXPECT_EQ(winperf_get_memory(&mem), 0);  // re-initialises
  EXPECT_EQ(last_error(), "");
}

TEST_F(Lifecycle, LastErrorIsAFixedAddressAndNeverInitialises) {
  const char *a = winperf_last_error();
  winperf_set_error("x");
  EXPECT_EQ(winperf_last_error(), a);
  EXPECT_EQ(script().init_calls, 0);
}

TEST_F(Lifecycle, SetErrorFormatsAndCutsAt1023Bytes) {
  winperf_set_error("%s: %d", "value", 42);
  EXPECT_EQ(last_error(), "value: 42");

  const std::string long_text(5000, 'x');
  winperf_set_error("%s", long_text.c_str());
  EXPECT_EQ(last_error(), std::string(1023, 'x'));
}

TEST_F(Lifecycle, GettersCopyWholeRecordsIncludingPadding) {
  script().on_collect = [](int n) {
    g_cpu_info.total_usage_percent = 12.5 * n;
    g_cpu_info.cores[3].frequency_mhz = 3000;
    std::memset(reinterpret_cast<char *>(&g_cpu_info) + 4, 0x11, 4);  // padding
    g_mem_info.total_physical_bytes = 1ull << 40;
    g_sys_info.uptime_seconds = 99;
    g_sys_info.handle_count = 7;
  };
  winperf_cpu_info_t cpu;
  winperf_mem_info_t mem;
  winperf_sys_info_t sys;
  std::memset(&cpu, 0xEE, sizeof cpu);
  ASSERT_EQ(winperf_get_cpu(&cpu), 0);
  ASSERT_EQ(winperf_get_memory(&mem), 0);
  ASSERT_EQ(winperf_get_system(&sys), 0);
  EXPECT_EQ(std::memcmp(&cpu, &g_cpu_info, sizeof cpu), 0);
  EXPECT_EQ(std::memcmp(&mem, &g_mem_info, sizeof mem), 0);
  EXPECT_EQ(std::memcmp(&sys, &g_sys_info, sizeof sys), 0);
  EXPECT_EQ(cpu.total_usage_percent, 25.0);  // the second collection's sample
  EXPECT_EQ(cpu.core_count, 4u);

  winperf_cpu_info_t again;
  ASSERT_EQ(winperf_get_cpu(&again), 0);
  EXPECT_EQ(std::memcmp(&cpu, &again, sizeof cpu), 0);
}

template <typename Record>
void fill_table(Record *table, int count) {
  for (int i = 0; i < count; ++i) {
    std::memset(&table[i], 0, sizeof(Record));
    std::snprintf(table[i].name, sizeof table[i].name, "item%d", i);
  }
}

struct TruncationCase {
  int table_count;
  int max_count;
  int expected;
  friend std::ostream &operator<<(std::ostream &os, const TruncationCase &c) {
    return os << "table " << c.table_count << ", max " << c.max_count;
  }
};

class TableTruncation : public Lifecycle, public ::testing::WithParamInterface<TruncationCase> {};

TEST_P(TableTruncation, CopiesTheFirstRecordsAndLeavesTheRestOfTheCallerArray) {
  const auto [table_count, max_count, expected] = GetParam();
  script().on_collect = [table_count = table_count](int) {
    const int filled = std::clamp(table_count, 0, WINPERF_MAX_DISKS);
    fill_table(g_disks, filled);
    fill_table(g_nets, filled);
    g_disk_count = table_count;
    g_net_count = table_count;
  };
  std::vector<winperf_disk_info_t> disks(WINPERF_MAX_DISKS + 8);
  std::vector<winperf_net_info_t> nets(WINPERF_MAX_NETS + 8);
  std::memset(disks.data(), 0x77, disks.size() * sizeof disks[0]);
  std::memset(nets.data(), 0x77, nets.size() * sizeof nets[0]);
  int disk_n = -1, net_n = -1;

  ASSERT_EQ(winperf_get_disks(disks.data(), max_count, &disk_n), 0);
  ASSERT_EQ(winperf_get_network(nets.data(), max_count, &net_n), 0);
  EXPECT_EQ(disk_n, expected);
  EXPECT_EQ(net_n, expected);
  for (int i = 0; i < static_cast<int>(disks.size()); ++i) {
    if (i < expected) {
      EXPECT_EQ(std::string(disks[i].name), "item" + std::to_string(i));
      EXPECT_EQ(std::memcmp(&nets[i], &g_nets[i], sizeof nets[i]), 0);
    } else {
      EXPECT_EQ(static_cast<unsigned char>(disks[i].name[0]), 0x77) << "slot " << i;
      EXPECT_EQ(static_cast<unsigned char>(nets[i].name[0]), 0x77) << "slot " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, TableTruncation,
                         ::testing::Values(TruncationCase{3, 1, 1}, TruncationCase{3, 64, 3},
                                           TruncationCase{3, 3, 3}, TruncationCase{0, 5, 0},
                                           TruncationCase{-4, 5, 0}, TruncationCase{64, 72, 64},
                                           // a count beyond the table is never trusted
                                           TruncationCase{1000, 72, 64}),
                         [](const auto &info) {
                           const auto &c = info.param;
                           return "Table" + std::to_string(c.table_count < 0 ? 0 : c.table_count) +
                                  (c.table_count < 0 ? "Negative" : "") + "Max" +
                                  std::to_string(c.max_count);
                         });

TEST_F(Lifecycle, CleanupZeroesEverythingAndTheNextCallStartsAgain) {
  script().on_collect = [](int) {
    g_cpu_info.total_usage_percent = 50;
    g_cpu_info.cores[127].usage_percent = 1;
    g_mem_info.cache_bytes = 1;
    g_disks[63].total_bytes = 1;
    g_disk_count = 64;
    g_nets[63].is_up = 1;
    g_net_count = 64;
    g_sys_info.system_calls_sec = 1;
  };
  winperf_init();
  ASSERT_STRNE(winperf_get_snapshot_json(), "{}");
  winperf_cleanup();

  EXPECT_TRUE(shared_records_are_zero());
  EXPECT_EQ(g_initialized, 0);
  EXPECT_EQ(script().cleanup_calls, 1);

  winperf_cleanup();  // twice: harmless, platform cleanup is still called
  EXPECT_EQ(script().cleanup_calls, 2);
  EXPECT_TRUE(shared_records_are_zero());

  winperf_mem_info_t mem;
  EXPECT_EQ(winperf_get_memory(&mem), 0);
  EXPECT_EQ(script().init_calls, 2);
  EXPECT_EQ(script().collect_calls, 1 + 2);
  EXPECT_EQ(mem.cache_bytes, 1u);
}

}  // namespace
