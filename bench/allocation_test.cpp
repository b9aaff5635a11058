// Heap use per call: a collection allocates only the interface-table block, a getter nothing,
// and a snapshot three blocks every time.
#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "winapi_null.h"
#include "winperf_internal.h"

namespace {

template <typename Call>
uint64_t allocations_of(Call call) {
  const uint64_t before = alloc_counter::allocations();
  call();
  return alloc_counter::allocations() - before;
}

class Allocations : public ::testing::TestWithParam<uint32_t> {
 protected:
  void SetUp() override {
    winperf_cleanup();
    winapi_null::set_processors(GetParam());
    winapi_null::set_interfaces(64);
    ASSERT_EQ(winperf_init(), 0);
  }
  void TearDown() override { winperf_cleanup(); }
};

TEST_P(Allocations, CollectionAllocatesOnlyTheInterfaceTable) {
  EXPECT_EQ(allocations_of([] { winperf_collect(); }), 1u);
  EXPECT_EQ(allocations_of([] { winperf_collect(); }), 1u);
}

TEST_P(Allocations, GettersAllocateNothing) {
  static winperf_cpu_info_t cpu;
  static winperf_disk_info_t disks[64];
  static winperf_net_info_t nets[64];
  winperf_mem_info_t mem;
  winperf_sys_info_t sys;
  int n = 0;
  EXPECT_EQ(allocations_of([&] {
              winperf_get_cpu(&cpu);
              winperf_get_memory(&mem);
              winperf_get_system(&sys);
              winperf_get_disks(disks, 64, &n);
              winperf_get_network(nets, 64, &n);
              winperf_last_error();
            }),
            0u);
}

// The document, one block for all its values, and the text.
TEST_P(Allocations, ASnapshotMakesThreeAllocations) {
  const uint64_t first = allocations_of([] { winperf_get_snapshot_json(); });
  const uint64_t second = allocations_of([] { winperf_get_snapshot_json(); });
  EXPECT_EQ(first, 3u);
  EXPECT_EQ(first, second);
}

INSTANTIATE_TEST_SUITE_P(Processors, Allocations, ::testing::Values(4u, 128u));

}  // namespace
