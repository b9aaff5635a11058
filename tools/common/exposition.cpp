#include "exposition.h"

#include <algorithm>
#include <charconv>
#include <unordered_set>
#include <vector>

namespace exposition {
namespace {

// Label values of one table: UTF-8, escaped, and unique within the table.
template <typename Record>
std::vector<std::string> label_values(const Record *records, int count,
                                      const winperf_names::Decoder &decode) {
  std::vector<std::string> values;
  values.reserve(static_cast<size_t>(count));
  std::unordered_set<std::string> taken;
  taken.reserve(static_cast<size_t>(count) * 2);
  for (int i = 0; i < count; ++i) {
    const std::string name =
        winperf_names::to_utf8(winperf_names::field_text(records[i].name), decode);
    std::string unique = name;
    for (int n = 2; taken.contains(unique); ++n) unique = name + " #" + std::to_string(n);
    taken.insert(unique);
    values.push_back(label_value(unique));
  }
  return values;
}

}  // namespace

void append_label_value(std::string_view text, std::string &out) {
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
}

std::string label_value(std::string_view text) {
  std::string out;
  append_label_value(text, out);
  return out;
}

Writer::Writer() { out_.reserve(64 * 1024); }

void Writer::family(std::string_view name, std::string_view type, std::string_view help) {
  name_.assign(name);
  out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Writer::value(uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr).append("\n");
}

void Writer::value(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr).append("\n");
}

void Writer::labels(std::string_view label, std::string_view label_value) {
  out_.append(name_).append("{").append(label).append("=\"");
  out_.append(label_value).append("\"} ");
}

void Writer::sample(uint64_t v) {
  out_.append(name_).append(" ");
  value(v);
}

void Writer::sample(double v) {
  out_.append(name_).append(" ");
  value(v);
}

void Writer::sample(std::string_view label, std::string_view label_value, uint64_t v) {
  labels(label, label_value);
  value(v);
}

void Writer::sample(std::string_view label, std::string_view label_value, double v) {
  labels(label, label_value);
  value(v);
}

void write_sample(Writer &w, const winperf_sample::Sample &s,
                  const winperf_names::Decoder &decode) {
  const auto &cpu = s.cpu;
  const uint32_t cores = cpu.core_count < WINPERF_MAX_CORES ? cpu.core_count : WINPERF_MAX_CORES;
  std::vector<std::string> core_labels;
  core_labels.reserve(cores);
  for (uint32_t i = 0; i < cores; ++i) core_labels.push_back(std::to_string(i));

  w.family("winperf_cpu_logical_processors", "gauge", "Logical processors sampled, at most 128.");
  w.sample(uint64_t{cpu.core_count});
  w.family("winperf_cpu_usage_ratio", "gauge",
           "Busy share of all processors over the last collection interval.");
  w.sample(cpu.total_usage_percent / 100.0);
  w.family("winperf_cpu_core_usage_ratio", "gauge",
           "Busy share of one logical processor over the last collection interval.");
  for (uint32_t i = 0; i < cores; ++i) {
    w.sample("core", core_labels[i], cpu.cores[i].usage_percent / 100.0);
  }
  w.family("winperf_cpu_core_frequency_hertz", "gauge",
           "Processor clock speed as the system reports it.");
  for (uint32_t i = 0; i < cores; ++i) {
    w.sample("core", core_labels[i], uint64_t{cpu.cores[i].frequency_mhz} * 1000000);
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
    w.family(f.name, "gauge", f.help);
    w.sample(f.value);
  }
  w.family("winperf_memory_load_ratio", "gauge", "Share of physical memory in use.");
  w.sample(m.memory_load_percent / 100.0);

  const int disk_count = s.disk_count < 0 ? 0 : std::min(s.disk_count, WINPERF_MAX_DISKS);
  const auto volumes = label_values(s.disks, disk_count, decode);
  w.family("winperf_logical_disk_size_bytes", "gauge", "Capacity of the volume.");
  for (int i = 0; i < disk_count; ++i) w.sample("volume", volumes[i], s.disks[i].total_bytes);
  w.family("winperf_logical_disk_free_bytes", "gauge", "Free space on the volume.");
  for (int i = 0; i < disk_count; ++i) w.sample("volume", volumes[i], s.disks[i].free_bytes);

  const int net_count = s.net_count < 0 ? 0 : std::min(s.net_count, WINPERF_MAX_NETS);
  const auto interfaces = label_values(s.nets, net_count, decode);
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
    w.family(f.name, f.type, f.help);
    for (int i = 0; i < net_count; ++i) w.sample("interface", interfaces[i], s.nets[i].*f.field);
  }
  w.family("winperf_network_up", "gauge", "1 when the interface is operational, else 0.");
  for (int i = 0; i < net_count; ++i) {
    w.sample("interface", interfaces[i], uint64_t{s.nets[i].is_up ? 1u : 0u});
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
    w.family(f.name, "gauge", f.help);
    w.sample(f.value);
  }
}

}  // namespace exposition
