#include "report.h"

#include <cstdio>
#include <string>

namespace report {
namespace {

std::string format(const char *fmt, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

double clamp_percent(double p) { return p < 0 ? 0 : (p > 100 ? 100 : p); }

}  // namespace

std::string bar(double percent, int width) {
  const int filled = static_cast<int>(clamp_percent(percent) / 100.0 * width + 0.5);
  std::string out = "[";
  out.append(static_cast<size_t>(filled), '#');
  out.append(static_cast<size_t>(width - filled), '.');
  out += ']';
  return out;
}

std::string bytes(uint64_t n) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024.0 && u < 6) {
    v /= 1024.0;
    ++u;
  }
  return u == 0 ? format("%llu B", static_cast<unsigned long long>(n))
                : format("%.1f %s", v, units[u]);
}

std::string duration(uint64_t seconds) {
  const unsigned long long s = seconds;
  return format("%llud %02llu:%02llu:%02llu", s / 86400, s / 3600 % 24, s / 60 % 60, s % 60);
}

std::string table(const Sample &s) {
  std::string out;
  const auto &cpu = s.cpu;
  out += format("CPU      %6.1f%%  %s  %u logical processors\n", cpu.total_usage_percent,
                bar(cpu.total_usage_percent, 20).c_str(), cpu.core_count);
  for (uint32_t i = 0; i < cpu.core_count && i < WINPERF_MAX_CORES; ++i) {
    const auto &c = cpu.cores[i];
    out += format("  core %-3u %5.1f%%  %s  %u MHz\n", i, c.usage_percent,
                  bar(c.usage_percent, 20).c_str(), c.frequency_mhz);
  }

  const auto &m = s.memory;
  const uint64_t used = m.total_physical_bytes - m.available_physical_bytes;
  out += format("Memory   %6.1f%%  %s  %s used of %s\n", m.memory_load_percent,
                bar(m.memory_load_percent, 20).c_str(), bytes(used).c_str(),
                bytes(m.total_physical_bytes).c_str());
  out += format("  commit %s of %s, paged pool %s, non-paged pool %s, cache %s\n",
                bytes(m.committed_bytes).c_str(), bytes(m.total_commit_bytes).c_str(),
                bytes(m.pool_paged_bytes).c_str(), bytes(m.pool_nonpaged_bytes).c_str(),
                bytes(m.cache_bytes).c_str());

  out += format("Disks    %d\n", s.disk_count);
  for (int i = 0; i < s.disk_count; ++i) {
    const auto &d = s.disks[i];
    const uint64_t used_bytes = d.total_bytes >= d.free_bytes ? d.total_bytes - d.free_bytes : 0;
    const double share =
        d.total_bytes ? 100.0 * static_cast<double>(used_bytes) / static_cast<double>(d.total_bytes)
                      : 0.0;
    out += format("  %-6s %6.1f%%  %s  %s used of %s\n", d.name, share, bar(share, 20).c_str(),
                  bytes(used_bytes).c_str(), bytes(d.total_bytes).c_str());
  }

  out += format("Network  %d interfaces\n", s.net_count);
  for (int i = 0; i < s.net_count; ++i) {
    const auto &n = s.nets[i];
    out +=
        format("  %-40.40s %-4s rx %s/s  tx %s/s  rx %llu pkt/s  tx %llu pkt/s  errors %llu/%llu\n",
               n.name, n.is_up ? "up" : "down", bytes(n.bytes_recv_sec).c_str(),
               bytes(n.bytes_sent_sec).c_str(), static_cast<unsigned long long>(n.packets_recv_sec),
               static_cast<unsigned long long>(n.packets_sent_sec),
               static_cast<unsigned long long>(n.errors_in),
               static_cast<unsigned long long>(n.errors_out));
  }

  const auto &y = s.system;
  out +=
      format("System   up %s, %u processes, %u threads, %u handles\n",
             duration(y.uptime_seconds).c_str(), y.process_count, y.thread_count, y.handle_count);
  out += format("  %llu context switches/s, %llu system calls/s\n",
                static_cast<unsigned long long>(y.context_switches_sec),
                static_cast<unsigned long long>(y.system_calls_sec));
  return out;
}

}  // namespace report
