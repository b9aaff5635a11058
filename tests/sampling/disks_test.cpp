// The logical-disk table: filter, order, sizes, the 64-entry cap and the "C:" fallback.
#include <string>
#include <vector>

#include "sampling_fixture.h"

namespace {

using winapi_fake::count_calls;

std::vector<std::string> disk_names() {
  std::vector<std::string> names;
  for (int32_t i = 0; i < g_disk_count; ++i) names.emplace_back(g_disks[i].name);
  return names;
}

void sizes(const std::wstring &root, uint64_t total, uint64_t total_free, bool ok = true) {
  winapi_fake::machine().disk_sizes[root] = {ok, total_free / 2, total, total_free};
}

TEST_F(Sampling, OnlyLocalFixedAndRemovableDrivesAreListedInListOrder) {
  winapi_fake::set_drives({{L'D', DRIVE_FIXED},
                           {L'E', DRIVE_CDROM},
                           {L'F', DRIVE_REMOVABLE},
                           {L'G', DRIVE_RAMDISK},
                           {L'Z', DRIVE_REMOTE}});
  for (auto root : {L"D:\\", L"E:\\", L"F:\\", L"G:\\", L"Z:\\"}) sizes(root, 1000, 400);
  sizes(L"D:\\", 512, 256);
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(disk_names(), (std::vector<std::string>{"D:", "F:"}));
  EXPECT_EQ(g_disks[0].total_bytes, 512u);
  EXPECT_EQ(g_disks[0].free_bytes, 256u);  // total free, not the caller's 128
  EXPECT_EQ(count_calls("GetLogicalDriveStringsW 512"), 1);
  EXPECT_EQ(count_calls("GetDiskFreeSpaceExW"), 2);  // other types are not measured
  for (int32_t i = 0; i < g_disk_count; ++i) {
    const auto &d = g_disks[i];
    EXPECT_EQ(d.read_bytes_sec + d.write_bytes_sec + d.read_iops + d.write_iops, 0u);
    EXPECT_EQ(d.queue_length, 0.0);
  }
}

TEST_F(Sampling, ADriveWhoseSizesCannotBeReadIsLeftOutAndTheSlotsCloseUp) {
  winapi_fake::set_drives({{L'C', DRIVE_FIXED}, {L'F', DRIVE_REMOVABLE}, {L'H', DRIVE_FIXED}});
  sizes(L"C:\\", 100, 50);
  sizes(L"F:\\", 0, 0, false);  // no medium
  sizes(L"H:\\", 300, 30);
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(disk_names(), (std::vector<std::string>{"C:", "H:"}));
  EXPECT_EQ(g_disks[1].total_bytes, 300u);
}

struct FallbackCase {
  const char *name;
  std::optional<DWORD> list_result;  // forced result of the drive list call
  bool list_has_local_drive;
  bool c_readable;
  std::vector<std::string> expected;
};

class DiskFallback : public Sampling, public ::testing::WithParamInterface<FallbackCase> {};

TEST_P(DiskFallback, TriesDriveCWhenNoDriveQualifies) {
  const auto &c = GetParam();
  if (c.list_has_local_drive) {
    winapi_fake::set_drives({{L'D', DRIVE_FIXED}});
  } else {
    winapi_fake::set_drives({{L'E', DRIVE_CDROM}});
  }
  m().drive_strings_result = c.list_result;
  sizes(L"D:\\", 10, 5);
  sizes(L"E:\\", 10, 5);
  sizes(L"C:\\", 900, 300, c.c_readable);
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(disk_names(), c.expected);
  if (!c.expected.empty() && c.expected[0] == "C:") {
    EXPECT_EQ(g_disks[0].total_bytes, 900u);
    EXPECT_EQ(g_disks[0].free_bytes, 300u);
  }
  EXPECT_EQ(count_calls("GetDriveTypeW C:"), 0);  // the fallback's type is not asked
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DiskFallback,
    ::testing::Values(FallbackCase{"NoLocalDrive", std::nullopt, false, true, {"C:"}},
                      FallbackCase{"NoLocalDriveNoC", std::nullopt, false, false, {}},
                      FallbackCase{"ListFailed", 0, true, true, {"C:"}},
                      FallbackCase{"ListTooLong", 512, true, true, {"C:"}},
                      FallbackCase{"ListFarTooLong", 4000, true, true, {"C:"}},
                      FallbackCase{"LongestAccepted", 511, true, true, {"D:"}},
                      FallbackCase{"LocalDrive", std::nullopt, true, true, {"D:"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Sampling, AnEmptyDriveListFallsBack) {
  m().drive_strings = std::wstring(2, L'\0');
  m().drive_strings_result = 1;
  sizes(L"C:\\", 900, 300);
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(disk_names(), (std::vector<std::string>{"C:"}));
  EXPECT_EQ(count_calls("GetDriveTypeW"), 0);
}

TEST_F(Sampling, The64thDiskEndsTheWalkBeforeTheNextRootIsAsked) {
  // 70 roots: the list fits in 511 characters only as short as "X:\" with its NUL (4 each).
  std::wstring list;
  for (int i = 0; i < 70; ++i) {
    const std::wstring root = std::wstring(1, static_cast<wchar_t>(0x100 + i)) + L":\\";
    list += root;
    list += L'\0';
    m().drive_types[root] = DRIVE_FIXED;
    sizes(root, static_cast<uint64_t>(i), 0);
  }
  list += L'\0';
  m().drive_strings = list;
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(g_disk_count, 64);
  EXPECT_EQ(g_disks[63].total_bytes, 63u);
  EXPECT_EQ(count_calls("GetDriveTypeW"), 64);
  EXPECT_EQ(count_calls("GetDiskFreeSpaceExW"), 64);
  // The name is the low byte of the root's first character.
  EXPECT_EQ(g_disks[0].name[0], '\0');
  EXPECT_EQ(static_cast<unsigned char>(g_disks[5].name[0]), 5u);
}

TEST_F(Sampling, EachCollectionRebuildsTheTable) {
  winapi_fake::set_drives({{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}});
  sizes(L"C:\\", 100, 50);
  sizes(L"D:\\", 200, 50);
  init_at(1000);
  collect_at(2000);
  ASSERT_EQ(g_disk_count, 2);
  winapi_fake::set_drives({{L'D', DRIVE_FIXED}});
  collect_at(3000);
  EXPECT_EQ(disk_names(), (std::vector<std::string>{"D:"}));
}

TEST_F(Sampling, ARootWithoutItsTerminatorIsNotPassedOn) {
  m().drive_strings = std::wstring(512, L'Q');
  m().drive_strings_result = 100;  // claims a list that is not there
  sizes(L"C:\\", 900, 300);
  init_at(1000);
  collect_at(2000);
  EXPECT_EQ(count_calls("GetDriveTypeW"), 0);
  EXPECT_EQ(disk_names(), (std::vector<std::string>{"C:"}));
}

// Every drive call, the fallback's included, runs with critical-error dialogs off, and the
// thread's own mode comes back afterwards.
TEST_F(Sampling, DrivesAreAskedWithCriticalErrorDialogsOff) {
  const DWORD thread_mode = SEM_NOOPENFILEERRORBOX | SEM_NOGPFAULTERRORBOX;
  for (const bool fallback : {false, true}) {
    winapi_fake::reset();
    m().thread_error_mode = thread_mode;
    if (!fallback) winapi_fake::set_drives({{L'D', DRIVE_REMOVABLE}, {L'E', DRIVE_FIXED}});
    sizes(L"C:\\", 100, 50);
    sizes(L"E:\\", 100, 50);  // D: has no medium: its size query fails
    init_at(1000);
    collect_at(2000);
    const auto &modes = m().error_modes_of_disk_calls;
    EXPECT_EQ(modes.size(), fallback ? 2u : 5u);  // list, types, sizes
    for (const DWORD mode : modes) EXPECT_EQ(mode, DWORD{SEM_FAILCRITICALERRORS}) << fallback;
    EXPECT_EQ(m().thread_error_mode, thread_mode) << fallback;
    winperf_platform_cleanup();
  }
}

}  // namespace
