// The interface table: filter, names, per-second rates and the previous sample.
#include <optional>
#include <string>
#include <vector>

#include "sampling_fixture.h"

namespace {

using winapi_fake::if_row;

MIB_IFROW counters_row(const std::string &name, DWORD in_octets, DWORD out_octets = 0,
                       DWORD in_ucast = 0, DWORD out_ucast = 0) {
  MIB_IFROW row = if_row(name);
  row.dwInOctets = in_octets;
  row.dwOutOctets = out_octets;
  row.dwInUcastPkts = in_ucast;
  row.dwOutUcastPkts = out_ucast;
  return row;
}

std::vector<std::string> net_names() {
  std::vector<std::string> names;
  for (int32_t i = 0; i < g_net_count; ++i) names.emplace_back(g_nets[i].name);
  return names;
}

struct LoopbackCase {
  const char *name;
  std::vector<DWORD> types;
  std::vector<std::string> expected;
};

class Loopback : public Sampling, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(Loopback, IsLeftOutUnlessItIsTheOnlyRow) {
  for (size_t i = 0; i < GetParam().types.size(); ++i) {
    m().if_rows.push_back(if_row("if" + std::to_string(i), GetParam().types[i]));
  }
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(net_names(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, Loopback,
    ::testing::Values(
        LoopbackCase{"OnlyRow", {IF_TYPE_SOFTWARE_LOOPBACK}, {"if0"}},
        LoopbackCase{"BesideAnother", {IF_TYPE_SOFTWARE_LOOPBACK, 6}, {"if1"}},
        LoopbackCase{"TwoLoopbacks", {IF_TYPE_SOFTWARE_LOOPBACK, IF_TYPE_SOFTWARE_LOOPBACK}, {}},
        LoopbackCase{"NoRows", {}, {}},
        LoopbackCase{"Mixed", {6, IF_TYPE_SOFTWARE_LOOPBACK, 71}, {"if0", "if2"}}),
    [](const auto &info) { return std::string(info.param.name); });

struct NameCase {
  const char *name;
  std::string descr;
  DWORD descr_len;
  std::string expected;
};

class InterfaceName : public Sampling, public ::testing::WithParamInterface<NameCase> {};

TEST_P(InterfaceName, IsTheDescriptionCutToItsLengthAnd127Bytes) {
  MIB_IFROW row{};
  std::memcpy(row.bDescr, GetParam().descr.data(), std::min<size_t>(GetParam().descr.size(), 256));
  row.dwDescrLen = GetParam().descr_len;
  m().if_rows = {row};
  init_at(1000);
  collect_at(2000);
  ASSERT_EQ(g_net_count, 1);
  EXPECT_EQ(std::string(g_nets[0].name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, InterfaceName,
    ::testing::Values(NameCase{"Exact", "Intel(R) Ethernet", 17, "Intel(R) Ethernet"},
                      NameCase{"LengthCountsTheNul", std::string("Wi-Fi\0", 6), 6, "Wi-Fi"},
                      NameCase{"LengthShorter", "Realtek PCIe", 7, "Realtek"},
                      NameCase{"LongerThan127", std::string(200, 'n'), 200, std::string(127, 'n')},
                      // The length never makes the name read past the 256-byte field.
                      NameCase{"LengthBeyondTheField", std::string(256, 'x'), 100000,
                               std::string(127, 'x')},
                      NameCase{"ZeroLength", "hidden", 0, ""}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, ErrorsAndStateAreCopiedWhateverTheElapsedTime) {
  MIB_IFROW up = counters_row("up", 0);
  up.dwInErrors = 4294967295u;
  up.dwOutErrors = 3;
  MIB_IFROW down = if_row("down", IF_TYPE_ETHERNET_CSMACD, IF_OPER_STATUS_DISCONNECTED);
  MIB_IFROW connected = if_row("connected", IF_TYPE_ETHERNET_CSMACD, IF_OPER_STATUS_CONNECTED);
  m().if_rows = {up, down, connected};
  init_at(1000);
  collect_at(1000);  // elapsed 0.001: no rates, but the rest is written
  EXPECT_EQ(g_nets[0].errors_in, 4294967295u);
  EXPECT_EQ(g_nets[0].errors_out, 3u);
  EXPECT_EQ(g_nets[0].is_up, 1);
  EXPECT_EQ(g_nets[1].is_up, 0);
  EXPECT_EQ(g_nets[2].is_up, 0);  // only "operational" (5) is up, not "connected" (4)
}

struct RateCase {
  const char *name;
  uint64_t elapsed_ms;
  DWORD previous, current;
  uint64_t rate;
};

class Rates : public Sampling, public ::testing::WithParamInterface<RateCase> {};

TEST_P(Rates, AreCounterDeltasPerElapsedSecondCutToWholeNumbers) {
  const auto &c = GetParam();
  m().if_rows = {counters_row("eth", c.previous, c.previous, c.previous, c.previous)};
  init_at(10'000);
  collect_at(10'000);  // first sample: no previous entry yet
  m().if_rows = {counters_row("eth", c.current, c.current, c.current, c.current)};
  collect_at(10'000 + c.elapsed_ms);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, c.rate);
  EXPECT_EQ(g_nets[0].bytes_sent_sec, c.rate);
  EXPECT_EQ(g_nets[0].packets_recv_sec, c.rate);
  EXPECT_EQ(g_nets[0].packets_sent_sec, c.rate);
}

INSTANTIATE_TEST_SUITE_P(Deltas, Rates,
                         ::testing::Values(RateCase{"FourSeconds", 4000, 100, 700, 150},
                                           RateCase{"SevenSeconds", 7000, 100, 700, 85},
                                           RateCase{"OneAndAHalfSeconds", 1500, 0, 1500, 1000},
                                           RateCase{"TwoMilliseconds", 2, 0, 1, 500},
                                           RateCase{"OneMillisecondGivesNoRate", 1, 0, 1000, 0},
                                           RateCase{"NoTimeGivesNoRate", 0, 0, 1000, 0},
                                           RateCase{"CounterWrapped", 1000, 4000000000u, 5, 0},
                                           RateCase{"FullRange", 2, 0, 4294967295u,
                                                    2147483647500u}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, PacketSumsDoNotWrapAt32Bits) {
  MIB_IFROW row = counters_row("eth", 0);
  m().if_rows = {row};
  init_at(1000);
  collect_at(1000);
  row.dwInUcastPkts = 4294967295u;
  row.dwInNUcastPkts = 1;
  row.dwOutUcastPkts = 4294967295u;
  row.dwOutNUcastPkts = 4294967295u;
  m().if_rows = {row};
  collect_at(2000);
  EXPECT_EQ(g_nets[0].packets_recv_sec, 4294967296u);
  EXPECT_EQ(g_nets[0].packets_sent_sec, 8589934590u);
}

TEST_F(Sampling, ACounterGoingBackwardsGivesZeroForThatCounterOnly) {
  m().if_rows = {counters_row("eth", 1000, 1000, 1000, 1000)};
  init_at(1000);
  collect_at(1000);
  m().if_rows = {counters_row("eth", 3000, 500, 1200, 1100)};
  collect_at(2000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 2000u);
  EXPECT_EQ(g_nets[0].bytes_sent_sec, 0u);
  EXPECT_EQ(g_nets[0].packets_recv_sec, 200u);
  EXPECT_EQ(g_nets[0].packets_sent_sec, 100u);
}

TEST_F(Sampling, ANewNameHasNoRateInItsFirstSampleAndNothingLeftOver) {
  m().if_rows = {counters_row("a", 0), counters_row("b", 0)};
  init_at(1000);
  collect_at(1000);
  m().if_rows = {counters_row("a", 5000), counters_row("b", 9000)};
  collect_at(2000);
  ASSERT_EQ(g_nets[1].bytes_recv_sec, 9000u);

  // "b" is replaced by "c" in slot 1: its rates are 0, not the 9000 that "b" left there.
  m().if_rows = {counters_row("a", 6000), counters_row("c", 100)};
  collect_at(3000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 1000u);
  EXPECT_EQ(std::string(g_nets[1].name), "c");
  EXPECT_EQ(g_nets[1].bytes_recv_sec, 0u);

  m().if_rows = {counters_row("a", 6000), counters_row("c", 2100)};
  collect_at(4000);
  EXPECT_EQ(g_nets[1].bytes_recv_sec, 2000u);
}

TEST_F(Sampling, NamesAreMatchedWhereverTheRowMoved) {
  m().if_rows = {counters_row("a", 100), counters_row("b", 200)};
  init_at(1000);
  collect_at(1000);
  m().if_rows = {counters_row("b", 1200), counters_row("a", 600)};
  collect_at(2000);
  EXPECT_EQ(net_names(), (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 1000u);
  EXPECT_EQ(g_nets[1].bytes_recv_sec, 500u);
}

TEST_F(Sampling, RowsSharingANameAreMatchedByOccurrence) {
  m().if_rows = {counters_row("Hyper-V Adapter", 1000), counters_row("Hyper-V Adapter", 50000)};
  init_at(1000);
  collect_at(1000);
  m().if_rows = {counters_row("Hyper-V Adapter", 1500), counters_row("Hyper-V Adapter", 52000)};
  collect_at(2000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 500u);
  EXPECT_EQ(g_nets[1].bytes_recv_sec, 2000u);

  // A third row of the name has no previous entry of its own yet.
  m().if_rows = {counters_row("Hyper-V Adapter", 1600), counters_row("Hyper-V Adapter", 52100),
                 counters_row("Hyper-V Adapter", 7)};
  collect_at(3000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 100u);
  EXPECT_EQ(g_nets[1].bytes_recv_sec, 100u);
  EXPECT_EQ(g_nets[2].bytes_recv_sec, 0u);
}

struct FailedReadCase {
  const char *name;
  DWORD size_query_result;
  std::optional<ULONG> size_override;
  DWORD read_result;
  int rows_added;
};

class FailedRead : public Sampling, public ::testing::WithParamInterface<FailedReadCase> {};

TEST_P(FailedRead, KeepsTheLastSuccessfulSample) {
  m().if_rows = {counters_row("a", 100), counters_row("b", 200)};
  init_at(1000);
  collect_at(1000);
  m().if_rows = {counters_row("a", 1100), counters_row("b", 2200)};
  collect_at(2000);
  winperf_net_info_t before[WINPERF_MAX_NETS];
  std::memcpy(before, g_nets, sizeof before);

  const auto &c = GetParam();
  m().if_table = {c.size_query_result, c.size_override, c.read_result, c.rows_added, {}};
  m().if_rows = {counters_row("a", 999999)};
  collect_at(3000);
  EXPECT_EQ(g_net_count, 2);
  EXPECT_EQ(std::memcmp(g_nets, before, sizeof before), 0);
  EXPECT_EQ(winapi_fake::count_calls("GetIfTable size 0"), 3);

  // The next good read compares with the last good sample over the time since it: 2 s.
  m().if_table = {};
  m().if_rows = {counters_row("a", 3100), counters_row("b", 2200)};
  collect_at(4000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 1000u);
  EXPECT_EQ(g_nets[1].bytes_recv_sec, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, FailedRead,
    ::testing::Values(FailedReadCase{"SizeQueryFails", 50, std::nullopt, NO_ERROR, 0},
                      FailedReadCase{"SizeQuerySucceedsOddly", NO_ERROR, std::nullopt, NO_ERROR, 0},
                      FailedReadCase{"ZeroSize", ERROR_INSUFFICIENT_BUFFER, 0, NO_ERROR, 0},
                      FailedReadCase{"ReadFails", ERROR_INSUFFICIENT_BUFFER, std::nullopt, 87, 0},
                      FailedReadCase{"TableGrew", ERROR_INSUFFICIENT_BUFFER, std::nullopt, NO_ERROR,
                                     1}),
    [](const auto &info) { return std::string(info.param.name); });

// Collections, each at a tick and either reading the table (with counter "a" at a value) or
// failing to; the rate the last one gives.
struct GapCase {
  const char *name;
  std::vector<std::pair<uint64_t, std::optional<DWORD>>> collections;
  bool cleanup_after_first;
  uint64_t expected_rate;
};

class RatesAcrossFailedReads : public Sampling, public ::testing::WithParamInterface<GapCase> {};

TEST_P(RatesAcrossFailedReads, AverageOverTheTimeSinceTheLastGoodRead) {
  init_at(1000);
  bool first = true;
  for (const auto &[tick, in_octets] : GetParam().collections) {
    m().if_table = {};
    if (in_octets) {
      m().if_rows = {counters_row("a", *in_octets)};
    } else {
      m().if_table.read_result = 87;
    }
    collect_at(tick);
    if (first && GetParam().cleanup_after_first) {
      winperf_platform_cleanup();
      init_at(tick);
    }
    first = false;
  }
  ASSERT_EQ(g_net_count, 1);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, GetParam().expected_rate);
}

constexpr std::nullopt_t kFails = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Gaps, RatesAcrossFailedReads,
    ::testing::Values(
        GapCase{"NoFailure", {{1000, 0}, {2000, 6000}}, false, 6000},
        GapCase{"OneFailure", {{1000, 0}, {2000, kFails}, {3000, 6000}}, false, 3000},
        GapCase{"SeveralFailures",
                {{1000, 0}, {2000, kFails}, {3000, kFails}, {5000, kFails}, {7000, 6000}},
                false,
                1000},
        // The first good read after init has nothing to compare with; the gap before it is gone.
        GapCase{"FailureRightAfterInit", {{3000, kFails}, {4000, 0}, {5000, 6000}}, false, 6000},
        GapCase{"CleanupBetween", {{2000, kFails}, {3000, 0}, {3500, 3000}}, true, 6000},
        // Two collections 1 ms apart each give no rate alone; together they are 2 ms.
        GapCase{"QuickCollectionsAddUp", {{1000, 0}, {1001, kFails}, {1002, 6}}, false, 3000}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, TheGrownTableIsReadByTheNextCollection) {
  m().if_rows = {counters_row("a", 0)};
  m().if_table.rows_added_before_read = 1;
  init_at(1000);
  collect_at(1000);
  EXPECT_EQ(g_net_count, 0);
  EXPECT_EQ(winapi_fake::count_calls("GetIfTable read"), 1);  // no second attempt
  collect_at(2000);
  EXPECT_EQ(net_names(), (std::vector<std::string>{"a", "hot-plugged adapter"}));
}

TEST_F(Sampling, AtMost64AcceptedRowsAreTaken) {
  for (int i = 0; i < 70; ++i) {
    m().if_rows.push_back(counters_row("if" + std::to_string(i), 0));
    if (i == 10) m().if_rows.push_back(if_row("lo", IF_TYPE_SOFTWARE_LOOPBACK));
  }
  init_at(1000);
  collect_at(1000);
  ASSERT_EQ(g_net_count, 64);
  EXPECT_EQ(std::string(g_nets[63].name), "if63");
  EXPECT_EQ(std::string(g_nets[11].name), "if11");
}

TEST_F(Sampling, AnEmptyTableEmptiesThePreviousSample) {
  m().if_rows = {counters_row("a", 100)};
  init_at(1000);
  collect_at(1000);
  m().if_rows = {};
  collect_at(2000);
  EXPECT_EQ(g_net_count, 0);
  m().if_rows = {counters_row("a", 5000)};
  collect_at(3000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 0u);  // nothing to compare with
}

TEST_F(Sampling, ARowCountBeyondTheBlockIsNotTrusted) {
  m().if_rows = {counters_row("a", 0), counters_row("b", 0)};
  m().if_table.num_entries_override = 1000;
  init_at(1000);
  collect_at(1000);
  EXPECT_EQ(net_names(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(Sampling, CleanupForgetsThePreviousSampleAndReinitOpensANewQuery) {
  m().if_rows = {counters_row("a", 100)};
  init_at(1000);
  collect_at(1000);
  winperf_platform_cleanup();
  EXPECT_EQ(winapi_fake::open_queries(), 0);
  init_at(2000);
  EXPECT_EQ(winapi_fake::open_queries(), 1);
  EXPECT_EQ(winapi_fake::count_calls("PdhOpenQueryW"), 2);
  m().if_rows = {counters_row("a", 5100)};
  collect_at(3000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 0u);  // no previous sample after cleanup
  m().if_rows = {counters_row("a", 6100)};
  collect_at(4000);
  EXPECT_EQ(g_nets[0].bytes_recv_sec, 1000u);
}

}  // namespace
