// Prints the Prometheus rendering of a large, awkward sample for promtool to check: full
// tables, repeated names, escapes, and names in 8-bit code pages.
#include <cstdio>
#include <cstring>

#include "code_pages.h"
#include "exposition.h"

int main() {
  static winperf_sample::Sample s;
  s.cpu.core_count = WINPERF_MAX_CORES;
  for (int i = 0; i < WINPERF_MAX_CORES; ++i) s.cpu.cores[i].usage_percent = i * 0.7;
  s.disk_count = WINPERF_MAX_DISKS;
  for (int i = 0; i < WINPERF_MAX_DISKS; ++i)
    std::snprintf(s.disks[i].name, 64, "%c:", 'A' + i % 26);
  s.net_count = WINPERF_MAX_NETS;
  for (int i = 0; i < WINPERF_MAX_NETS; ++i) {
    static const char *const names[] = {"Same \"name\"\\\n", "Ethernet", "R\xE9seau \x81",
                                        "\xC0\xE4\xE0\xEF\xF2\xE5\xF0"};
    std::snprintf(s.nets[i].name, 128, "%s", names[i % 4]);
  }
  s.system.uptime_seconds = UINT64_MAX;
  exposition::Writer w;
  exposition::write_sample(w, s, code_page("CP1252"));
  std::fputs(w.take().c_str(), stdout);
  return 0;
}
