// The state at load, before any call: needs a process of its own.
#include <gtest/gtest.h>

#include "scripted_platform.h"
#include "winperf_internal.h"

namespace {

TEST(FreshProcess, StartsUninitialisedWithZeroRecordsAndTheTextNone) {
  EXPECT_STREQ(winperf_last_error(), "None");
  EXPECT_EQ(g_initialized, 0);
  EXPECT_TRUE(shared_records_are_zero());

  winperf_cleanup();  // before any initialisation: nothing visible changes
  EXPECT_STREQ(winperf_last_error(), "None");
  EXPECT_EQ(script().init_calls, 0);

  ASSERT_EQ(winperf_init(), 0);
  EXPECT_STREQ(winperf_last_error(), "");
}

}  // namespace
