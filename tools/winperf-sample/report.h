// Renders one sample for people (a table) and for Prometheus (the text exposition format).
#pragma once

#include <string>
#include <string_view>

#include "winperf.h"

namespace report {

struct Sample {
  winperf_cpu_info_t cpu{};
  winperf_mem_info_t memory{};
  winperf_disk_info_t disks[WINPERF_MAX_DISKS]{};
  int disk_count = 0;
  winperf_net_info_t nets[WINPERF_MAX_NETS]{};
  int net_count = 0;
  winperf_sys_info_t system{};
};

std::string table(const Sample &s);
std::string prometheus(const Sample &s);

// Building blocks, exposed for tests.
std::string label_value(std::string_view text);  // escaped for a Prometheus label
std::string bar(double percent, int width);      // "[####......]"
std::string bytes(uint64_t n);                   // "1.5 GiB"
std::string duration(uint64_t seconds);          // "3d 04:05:06"

}  // namespace report
