// The state at load, before any call: needs a process of its own.
#include <gtest/gtest.h>

#include "scripted_platform.h"
#include "winperf_internal.h"

namespace {

bool all_zero(const void *p, size_t n) {
  const auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

TEST(FreshProcess, StartsUninitialisedWithZeroRecordsAndTheTextNone) {
  EXPECT_STREQ(winperf_last_error(), "None");
  EXPECT_EQ(g_initialized, 0);
  EXPECT_TRUE(all_zero(&g_cpu_info, sizeof g_cpu_info));
  EXPECT_TRUE(all_zero(&g_mem_info, sizeof g_mem_info));
  EXPECT_TRUE(all_zero(g_disks, sizeof g_disks));
  EXPECT_TRUE(all_zero(g_nets, sizeof g_nets));
  EXPECT_TRUE(all_zero(&g_sys_info, sizeof g_sys_info));
  EXPECT_EQ(g_disk_count, 0);
  EXPECT_EQ(g_net_count, 0);

  winperf_cleanup();  // before any initialisation: nothing visible changes
  EXPECT_STREQ(winperf_last_error(), "None");
  EXPECT_EQ(script().init_calls, 0);

  ASSERT_EQ(winperf_init(), 0);
  EXPECT_STREQ(winperf_last_error(), "");
}

}  // namespace
