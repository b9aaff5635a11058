// Prints the Prometheus rendering of a large, awkward sample for promtool to check.
#include <cstdio>
#include <cstring>

#include "report.h"

int main() {
  static report::Sample s;
  s.cpu.core_count = WINPERF_MAX_CORES;
  for (int i = 0; i < WINPERF_MAX_CORES; ++i) s.cpu.cores[i].usage_percent = i * 0.7;
  s.disk_count = WINPERF_MAX_DISKS;
  for (int i = 0; i < WINPERF_MAX_DISKS; ++i)
    std::snprintf(s.disks[i].name, 64, "%c:", 'A' + i % 26);
  s.net_count = WINPERF_MAX_NETS;
  for (int i = 0; i < WINPERF_MAX_NETS; ++i) {
    std::snprintf(s.nets[i].name, 128, "%s", i % 2 ? "Same \"name\"\\\n" : "Ethernet");
  }
  s.system.uptime_seconds = UINT64_MAX;
  std::fputs(report::prometheus(s).c_str(), stdout);
  return 0;
}
