// One sample as a host reads it: every record and both tables, copied out of the library.
#pragma once

#include "winperf_api.h"

namespace winperf_sample {

struct Sample {
  winperf_cpu_info_t cpu{};
  winperf_mem_info_t memory{};
  winperf_disk_info_t disks[WINPERF_MAX_DISKS]{};
  int disk_count = 0;
  winperf_net_info_t nets[WINPERF_MAX_NETS]{};
  int net_count = 0;
  winperf_sys_info_t system{};
};

// Copies the library's last collection into s. Returns false when a getter fails.
inline bool read(const winperf_loader::Api &api, Sample &s) {
  return api.get_cpu(&s.cpu) == 0 && api.get_memory(&s.memory) == 0 &&
         api.get_disks(s.disks, WINPERF_MAX_DISKS, &s.disk_count) == 0 &&
         api.get_network(s.nets, WINPERF_MAX_NETS, &s.net_count) == 0 &&
         api.get_system(&s.system) == 0;
}

}  // namespace winperf_sample
