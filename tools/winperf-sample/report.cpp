#include "report.h"

#include <charconv>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace report {
namespace {

std::string number(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string number(uint64_t v) { return std::to_string(v); }

std::string format(const char *fmt, auto... args) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

double clamp_percent(double p) { return p < 0 ? 0 : (p > 100 ? 100 : p); }

// Names as series labels: a name that repeats gets " #2", " #3", ... so that every series
// stays unique.
template <typename Record>
std::vector<std::string> unique_names(const Record *records, int count) {
  std::vector<std::string> names;
  std::map<std::string, int> seen;
  for (int i = 0; i < count; ++i) {
    std::string name = records[i].name;
    const int n = ++seen[name];
    if (n > 1) name.append(" #").append(std::to_string(n));
    names.push_back(std::move(name));
  }
  return names;
}

class Exposition {
 public:
  void family(const char *name, const char *type, const char *help) {
    name_ = name;
    append({"# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n"});
  }
  void sample(const std::string &value) { append({name_, " ", value, "\n"}); }
  void sample(const char *label, const std::string &label_text, const std::string &value) {
    append({name_, "{", label, "=\"", label_value(label_text), "\"} ", value, "\n"});
  }
  std::string take() { return std::move(out_); }

 private:
  void append(std::initializer_list<std::string_view> parts) {
    for (const std::string_view part : parts) out_.append(part);
  }
  std::string name_;
  std::string out_;
};

}  // namespace

std::string label_value(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

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

std::string prometheus(const Sample &s) {
  Exposition e;
  const auto &cpu = s.cpu;
  e.family("winperf_cpu_logical_processors", "gauge", "Logical processors sampled, at most 128.");
  e.sample(number(uint64_t{cpu.core_count}));
  e.family("winperf_cpu_usage_ratio", "gauge",
           "Busy share of all processors over the last collection interval.");
  e.sample(number(cpu.total_usage_percent / 100.0));
  e.family("winperf_cpu_core_usage_ratio", "gauge",
           "Busy share of one logical processor over the last collection interval.");
  for (uint32_t i = 0; i < cpu.core_count && i < WINPERF_MAX_CORES; ++i) {
    e.sample("core", std::to_string(i), number(cpu.cores[i].usage_percent / 100.0));
  }
  e.family("winperf_cpu_core_frequency_hertz", "gauge",
           "Processor clock speed as the system reports it.");
  for (uint32_t i = 0; i < cpu.core_count && i < WINPERF_MAX_CORES; ++i) {
    e.sample("core", std::to_string(i), number(uint64_t{cpu.cores[i].frequency_mhz} * 1000000));
  }

  const auto &m = s.memory;
  const struct {
    const char *name, *help;
    uint64_t value;
  } memory[] = {
      {"winperf_memory_physical_bytes", "Total physical memory.", m.total_physical_bytes},
      {"winperf_memory_physical_available_bytes", "Physical memory available for use.",
       m.available_physical_bytes},
      {"winperf_memory_commit_limit_bytes", "Commit limit.", m.total_commit_bytes},
      {"winperf_memory_committed_bytes", "Committed memory.", m.committed_bytes},
      {"winperf_memory_pool_paged_bytes", "Kernel paged pool.", m.pool_paged_bytes},
      {"winperf_memory_pool_nonpaged_bytes", "Kernel non-paged pool.", m.pool_nonpaged_bytes},
      {"winperf_memory_system_cache_bytes", "System file cache.", m.cache_bytes},
  };
  for (const auto &f : memory) {
    e.family(f.name, "gauge", f.help);
    e.sample(number(f.value));
  }
  e.family("winperf_memory_load_ratio", "gauge", "Share of physical memory in use.");
  e.sample(number(m.memory_load_percent / 100.0));

  const auto volumes = unique_names(s.disks, s.disk_count);
  e.family("winperf_logical_disk_size_bytes", "gauge", "Capacity of the volume.");
  for (int i = 0; i < s.disk_count; ++i)
    e.sample("volume", volumes[i], number(s.disks[i].total_bytes));
  e.family("winperf_logical_disk_free_bytes", "gauge", "Free space on the volume.");
  for (int i = 0; i < s.disk_count; ++i)
    e.sample("volume", volumes[i], number(s.disks[i].free_bytes));

  const auto interfaces = unique_names(s.nets, s.net_count);
  const struct {
    const char *name, *type, *help;
    uint64_t winperf_net_info_t::*field;
  } network[] = {
      {"winperf_network_receive_bytes_per_second", "gauge",
       "Bytes received per second over the last collection interval.",
       &winperf_net_info_t::bytes_recv_sec},
      {"winperf_network_transmit_bytes_per_second", "gauge",
       "Bytes sent per second over the last collection interval.",
       &winperf_net_info_t::bytes_sent_sec},
      {"winperf_network_receive_packets_per_second", "gauge",
       "Packets received per second over the last collection interval.",
       &winperf_net_info_t::packets_recv_sec},
      {"winperf_network_transmit_packets_per_second", "gauge",
       "Packets sent per second over the last collection interval.",
       &winperf_net_info_t::packets_sent_sec},
      {"winperf_network_receive_errors_total", "counter", "Inbound packets with errors.",
       &winperf_net_info_t::errors_in},
      {"winperf_network_transmit_errors_total", "counter", "Outbound packets with errors.",
       &winperf_net_info_t::errors_out},
  };
  for (const auto &f : network) {
    e.family(f.name, f.type, f.help);
    for (int i = 0; i < s.net_count; ++i)
      e.sample("interface", interfaces[i], number(s.nets[i].*f.field));
  }
  e.family("winperf_network_up", "gauge", "1 when the interface is operational, else 0.");
  for (int i = 0; i < s.net_count; ++i) {
    e.sample("interface", interfaces[i], s.nets[i].is_up ? "1" : "0");
  }

  const auto &y = s.system;
  const struct {
    const char *name, *help;
    uint64_t value;
  } system[] = {
      {"winperf_system_uptime_seconds", "Time since the system started.", y.uptime_seconds},
      {"winperf_system_processes", "Processes in the system.", y.process_count},
      {"winperf_system_threads", "Threads in the system.", y.thread_count},
      {"winperf_system_handles", "Open handles in the system.", y.handle_count},
      {"winperf_system_context_switches_per_second", "Context switches per second.",
       y.context_switches_sec},
      {"winperf_system_system_calls_per_second", "System calls per second.", y.system_calls_sec},
  };
  for (const auto &f : system) {
    e.family(f.name, "gauge", f.help);
    e.sample(number(f.value));
  }
  return e.take();
}

}  // namespace report
