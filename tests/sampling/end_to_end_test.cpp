// The public API over the sampling layer and a scripted machine: four processors, three local
// disks, two interfaces and a loopback, sampled twice two seconds apart.
#include <regex>
#include <string>

#include "sampling_fixture.h"

namespace {

constexpr uint64_t GiB = 1ull << 30;

class EndToEnd : public Sampling {
 protected:
  void SetUp() override {
    Sampling::SetUp();
    m().processors = 4;
    m().mhz = 3400;
    set_counter(kTotalPath, 25.0);
    const double usage[] = {10.0, 20.5, 30.0, 40.25};
    for (unsigned i = 0; i < 4; ++i) set_counter(core_path(i), usage[i]);
    m().counters[kCtxtPath] = {ERROR_SUCCESS, 0, 5000};
    m().counters[kSysCallsPath] = {ERROR_SUCCESS, 0, 20000};

    MEMORYSTATUSEX &ms = m().memory_status;
    ms.dwMemoryLoad = 50;
    ms.ullTotalPhys = 16 * GiB;
    ms.ullAvailPhys = 8 * GiB;
    ms.ullTotalPageFile = 24 * GiB;
    ms.ullAvailPageFile = 12 * GiB;
    PERFORMANCE_INFORMATION &pi = m().performance_info;
    pi.PageSize = 4096;
    pi.KernelPaged = 51200;
    pi.KernelNonpaged = 25600;
    pi.SystemCache = 262144;
    pi.HandleCount = 45000;
    pi.ProcessCount = 150;
    pi.ThreadCount = 2000;

    winapi_fake::set_drives(
        {{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}, {L'E', DRIVE_CDROM}, {L'F', DRIVE_REMOVABLE}});
    m().disk_sizes[L"C:\\"] = {true, 1, 100 * GiB, 40 * GiB};
    m().disk_sizes[L"D:\\"] = {true, 1, 500 * GiB, 250 * GiB};
    m().disk_sizes[L"E:\\"] = {true, 1, 700'000'000, 0};
    m().disk_sizes[L"F:\\"] = {true, 1, 32'000'000'000, 16'000'000'000};

    set_interfaces(1000, 500, 10, 8);
    // init reads the tick once, each collection twice (elapsed, then uptime)
    m().tick_count = winapi_fake::Script<uint64_t>{10'000, 10'000, 10'000, 12'000};
  }

  static void set_interfaces(DWORD in_octets, DWORD out_octets, DWORD in_ucast, DWORD out_ucast) {
    MIB_IFROW eth = winapi_fake::if_row("Intel(R) Ethernet Connection");
    eth.dwInOctets = in_octets;
    eth.dwOutOctets = out_octets;
    eth.dwInUcastPkts = in_ucast;
    eth.dwInNUcastPkts = 2;
    eth.dwOutUcastPkts = out_ucast;
    eth.dwInErrors = 1;
    eth.dwOutErrors = 2;
    MIB_IFROW wifi =
        winapi_fake::if_row("Wi-Fi \"Home\"", IF_TYPE_IEEE80211, IF_OPER_STATUS_DISCONNECTED);
    MIB_IFROW loopback =
        winapi_fake::if_row("Software Loopback Interface 1", IF_TYPE_SOFTWARE_LOOPBACK);
    loopback.dwInOctets = in_octets * 3;
    m().if_rows = {loopback, eth, wifi};
  }
};

std::string core_json(int i, const char *usage) {
  return "{\"core\":" + std::to_string(i) + ",\"usage_percent\":" + usage +
         ",\"user_seconds\":0.0,\"system_seconds\":0.0,\"idle_seconds\":0.0,"
         "\"interrupt_seconds\":0.0,\"dpc_seconds\":0.0,\"frequency_mhz\":3400}";
}

TEST_F(EndToEnd, GettersAndSnapshotShowTheSecondSample) {
  ASSERT_EQ(winperf_init(), 0);
  set_interfaces(5000, 2500, 110, 48);
  ASSERT_EQ(winperf_collect(), 0);

  winperf_cpu_info_t cpu;
  ASSERT_EQ(winperf_get_cpu(&cpu), 0);
  EXPECT_EQ(cpu.core_count, 4u);
  EXPECT_EQ(cpu.total_usage_percent, 25.0);
  EXPECT_EQ(cpu.cores[1].usage_percent, 20.5);
  EXPECT_EQ(cpu.cores[3].frequency_mhz, 3400u);
  EXPECT_EQ(cpu.cores[4].frequency_mhz, 0u);

  winperf_mem_info_t mem;
  ASSERT_EQ(winperf_get_memory(&mem), 0);
  EXPECT_EQ(mem.committed_bytes, 12 * GiB);
  EXPECT_EQ(mem.pool_paged_bytes, 209'715'200u);

  winperf_disk_info_t disks[8];
  int disk_count = 0;
  ASSERT_EQ(winperf_get_disks(disks, 8, &disk_count), 0);
  ASSERT_EQ(disk_count, 3);
  EXPECT_STREQ(disks[2].name, "F:");
  EXPECT_EQ(disks[2].free_bytes, 16'000'000'000u);

  winperf_net_info_t nets[8];
  int net_count = 0;
  ASSERT_EQ(winperf_get_network(nets, 8, &net_count), 0);
  ASSERT_EQ(net_count, 2);
  EXPECT_STREQ(nets[0].name, "Intel(R) Ethernet Connection");
  EXPECT_EQ(nets[0].bytes_recv_sec, 2000u);
  EXPECT_EQ(nets[0].packets_recv_sec, 50u);
  EXPECT_EQ(nets[1].is_up, 0);

  winperf_sys_info_t sys;
  ASSERT_EQ(winperf_get_system(&sys), 0);
  EXPECT_EQ(sys.uptime_seconds, 12u);
  EXPECT_EQ(sys.context_switches_sec, 5000u);

  const std::string json = std::regex_replace(
      winperf_get_snapshot_json(), std::regex(R"(^\{"timestamp":[0-9]+,)"), R"({"timestamp":T,)");
  const std::string expected =
      R"({"timestamp":T,"cpu":{"core_count":4,"total_usage_percent":25.0,"cores":[)" +
      core_json(0, "10.0") + "," + core_json(1, "20.5") + "," + core_json(2, "30.0") + "," +
      core_json(3, "40.25") +
      R"(]},"memory":{"total_physical_bytes":17179869184,"available_physical_bytes":8589934592,)"
      R"("total_commit_bytes":25769803776,"committed_bytes":12884901888,)"
      R"("pool_paged_bytes":209715200,"pool_nonpaged_bytes":104857600,)"
      R"("cache_bytes":1073741824,"memory_load_percent":50.0},)"
      R"("disks":[{"name":"C:","total_bytes":107374182400,"free_bytes":42949672960,)"
      R"("read_bytes_sec":0,"write_bytes_sec":0,"read_iops":0,"write_iops":0,"queue_length":0.0},)"
      R"({"name":"D:","total_bytes":536870912000,"free_bytes":268435456000,)"
      R"("read_bytes_sec":0,"write_bytes_sec":0,"read_iops":0,"write_iops":0,"queue_length":0.0},)"
      R"({"name":"F:","total_bytes":32000000000,"free_bytes":16000000000,)"
      R"("read_bytes_sec":0,"write_bytes_sec":0,"read_iops":0,"write_iops":0,"queue_length":0.0}],)"
      R"("network":[{"name":"Intel(R) Ethernet Connection","bytes_recv_sec":2000,)"
      R"("bytes_sent_sec":1000,"packets_recv_sec":50,"packets_sent_sec":20,"errors_in":1,)"
      R"("errors_out":2,"is_up":1},)"
      R"({"name":"Wi-Fi \"Home\"","bytes_recv_sec":0,"bytes_sent_sec":0,"packets_recv_sec":0,)"
      R"("packets_sent_sec":0,"errors_in":0,"errors_out":0,"is_up":0}],)"
      R"("system":{"uptime_seconds":12,"process_count":150,"thread_count":2000,)"
      R"("handle_count":45000,"context_switches_sec":5000,"system_calls_sec":20000}})";
  EXPECT_EQ(json, expected);

  winperf_cleanup();
  EXPECT_EQ(winapi_fake::open_queries(), 0);
  EXPECT_EQ(winapi_fake::open_registry_keys(), 0);
}

TEST_F(EndToEnd, TheFirstLazyCollectionHasNoNetworkRates) {
  // Both collections of the lazy path fall in the same millisecond.
  m().tick_count = 10'000;
  winperf_net_info_t nets[4];
  int n = 0;
  ASSERT_EQ(winperf_get_network(nets, 4, &n), 0);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(nets[0].bytes_recv_sec, 0u);
  EXPECT_EQ(winapi_fake::count_calls("GetIfTable read"), 2);
}

}  // namespace
