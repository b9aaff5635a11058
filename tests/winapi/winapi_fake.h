// The scriptable machine behind the Windows API stand-in. A test sets what each Windows call
// returns, runs the sampling layer and reads back what was called, in what order, how often.
#pragma once

#include <iphlpapi.h>
#include <pdh.h>
#include <psapi.h>
#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace winapi_fake {

// A sequence of results: each call takes the next one, the last one repeats.
template <typename T>
class Script {
 public:
  Script() = default;
  Script(T value) : values_{value} {}  // NOLINT: a single value reads as "always"
  Script(std::initializer_list<T> values) : values_(values) {}
  T next() {
    T v = values_.front();
    if (values_.size() > 1) values_.pop_front();
    return v;
  }
  const T &peek() const { return values_.front(); }

 private:
  std::deque<T> values_{T{}};
};

struct SystemTimes {
  bool ok = true;
  uint64_t idle = 0, kernel = 0, user = 0;  // 100 ns units; kernel includes idle
};

struct CounterValue {
  PDH_STATUS status = ERROR_SUCCESS;
  double double_value = 0;
  int64_t large_value = 0;
};

struct DiskSizes {
  bool ok = true;
  uint64_t available_to_caller = 0, total = 0, total_free = 0;
};

struct IfTableScript {
  DWORD size_query_result = ERROR_INSUFFICIENT_BUFFER;
  std::optional<ULONG> size_override;  // the size the size query reports, if not the real one
  DWORD read_result = NO_ERROR;        // forced result of the read, if not NO_ERROR
  int rows_added_before_read = 0;      // the table grows between the size query and the read
  std::optional<DWORD> num_entries_override;
};

struct Machine {
  DWORD processors = 4;

  PDH_STATUS open_status = ERROR_SUCCESS;
  bool open_leaves_null = false;
  std::set<std::wstring> refused_paths;           // PdhAddEnglishCounterW refuses these
  std::map<std::wstring, CounterValue> counters;  // formatted values by path; absent: invalid

  Script<SystemTimes> system_times;
  Script<uint64_t> tick_count{1000};

  bool memory_status_ok = true;
  MEMORYSTATUSEX memory_status{};
  bool performance_info_ok = true;
  PERFORMANCE_INFORMATION performance_info{};

  bool cpu_key_exists = true;
  std::optional<DWORD> mhz;  // the "~MHz" value; absent: no such value

  // The drive list as GetLogicalDriveStringsW writes it (roots, each NUL-terminated, then an
  // empty string). result_override replaces the character count it returns.
  std::wstring drive_strings;
  std::optional<DWORD> drive_strings_result;
  std::map<std::wstring, UINT> drive_types;      // by root path; absent: DRIVE_NO_ROOT_DIR
  std::map<std::wstring, DiskSizes> disk_sizes;  // by root path; absent: the query fails

  std::vector<MIB_IFROW> if_rows;
  IfTableScript if_table;

  DWORD thread_error_mode = 0;                   // SetThreadErrorMode's current mode
  std::vector<DWORD> error_modes_of_disk_calls;  // each drive call's mode, while logging

  // What the sampling layer was told, in order, while the call log is on.
  std::vector<uint64_t> ticks_read;  // each GetTickCount64 result
  struct IfTableCall {
    bool read;  // false: the size query
    DWORD result;
  };
  std::vector<IfTableCall> if_table_calls;
};

// The machine the stand-in currently answers for, and the log of calls made against it.
Machine &machine();
void reset();  // a fresh machine, no open handles, an empty log

std::vector<std::string> &calls();
void set_call_log(bool enabled);  // the log and the added paths; on after reset()
int count_calls(const std::string &prefix);
int open_queries();                               // queries opened and not yet closed
int open_registry_keys();                         // keys opened and not yet closed
std::vector<std::wstring> counter_paths_added();  // successful adds, in order

// Builders for test data.
void set_drives(std::initializer_list<std::pair<wchar_t, UINT>> drives);
MIB_IFROW if_row(const std::string &description, DWORD type = IF_TYPE_ETHERNET_CSMACD,
                 DWORD oper_status = IF_OPER_STATUS_OPERATIONAL);
FILETIME filetime(uint64_t value);

}  // namespace winapi_fake
