#include "exposition.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <vector>

namespace exposition {
namespace {

// Label values of one table: UTF-8, escaped, unique within the table, kept in one block so
// that a table of 64 names costs a few allocations, not hundreds.
class TableLabels {
 public:
  template <typename Record>
  TableLabels(const Record *records, int count, const winperf_names::Decoder &decode) {
    spans_.reserve(static_cast<size_t>(count));
    blob_.reserve(static_cast<size_t>(count) * 48);
    std::string decoded;
    for (int i = 0; i < count; ++i) {
      const std::string_view raw = winperf_names::field_text(records[i].name);
      const size_t start = blob_.size();
      if (is_ascii(raw)) {
        append_label_value(raw, blob_);
      } else {
        decoded = winperf_names::to_utf8(raw, decode);
        append_label_value(decoded, blob_);
      }
      make_unique(start);
    }
  }
  std::string_view operator[](size_t i) const {
    return std::string_view(blob_).substr(spans_[i].start, spans_[i].length);
  }

 private:
  struct Span {
    size_t start, length;
    uint64_t hash;
  };

  static bool is_ascii(std::string_view text) {
    size_t i = 0;
    for (uint64_t word; i + 8 <= text.size(); i += 8) {
      std::memcpy(&word, text.data() + i, 8);
      if (word & 0x8080808080808080ull) return false;
    }
    for (; i < text.size(); ++i) {
      if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
  }

  // Open addressing over twice as many slots as a table has records: a lookup is a probe or two.
  static constexpr size_t kSlots =
      2 * (WINPERF_MAX_NETS > WINPERF_MAX_DISKS ? WINPERF_MAX_NETS : WINPERF_MAX_DISKS);
  static constexpr int16_t kFree = -1;

  // Whether an earlier value equals value; if not, the free slot for it.
  bool taken(std::string_view value, uint64_t hash, size_t &slot) const {
    for (slot = hash % kSlots; slots_[slot] != kFree; slot = (slot + 1) % kSlots) {
      const Span &s = spans_[static_cast<size_t>(slots_[slot])];
      if (s.hash == hash && std::string_view(blob_).substr(s.start, s.length) == value) return true;
    }
    return false;
  }

  // The value that starts at start, with " #2", " #3", ... added while an earlier one has it.
  void make_unique(size_t start) {
    const size_t base_length = blob_.size() - start;
    for (int n = 2;; ++n) {
      const std::string_view value = std::string_view(blob_).substr(start);
      const uint64_t hash = std::hash<std::string_view>{}(value);
      size_t slot = 0;
      if (!taken(value, hash, slot)) {
        slots_[slot] = static_cast<int16_t>(spans_.size());
        spans_.push_back({start, value.size(), hash});
        return;
      }
      blob_.resize(start + base_length);
      blob_.append(" #").append(std::to_string(n));
    }
  }

  std::string blob_;
  std::vector<Span> spans_;
  std::array<int16_t, kSlots> slots_ = filled_slots();

  static constexpr std::array<int16_t, kSlots> filled_slots() {
    std::array<int16_t, kSlots> a{};
    a.fill(kFree);
    return a;
  }
};

}  // namespace

void append_label_value(std::string_view text, std::string &out) {
  // Names seldom hold anything to escape: copy runs whole.
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' && c != '"' && c != '\n') continue;
    out.append(text.substr(run, i - run));
    out += c == '\n' ? "\\n" : (c == '"' ? "\\\"" : "\\\\");
    run = i + 1;
  }
  out.append(text.substr(run));
}

std::string label_value(std::string_view text) {
  std::string out;
  append_label_value(text, out);
  return out;
}

Writer::Writer() : out_(64 * 1024, '\0') {}

std::string Writer::take() {
  out_.resize(size_);
  size_ = 0;
  return std::move(out_);
}

void Writer::grow(size_t n) { out_.resize(std::max(out_.size() * 2, size_ + n)); }

void Writer::put(std::string_view part) {
  std::memcpy(room(part.size()), part.data(), part.size());
}

void Writer::family(std::string_view name, std::string_view type, std::string_view help) {
  name_.assign(name);
  for (const std::string_view part : std::initializer_list<std::string_view>{
           "# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n"}) {
    put(part);
  }
}

// Numbers are written in place: room for the longest, the rest given back.
void Writer::value(uint64_t v) {
  constexpr size_t kLongest = 21;  // 20 digits and the newline
  char *at = room(kLongest);
  char *end = std::to_chars(at, at + kLongest, v).ptr;
  *end++ = '\n';
  unused(kLongest - static_cast<size_t>(end - at));
}

void Writer::value(double v) {
  constexpr size_t kLongest = 33;  // "-2.2250738585072014e-308" and more, and the newline
  char *at = room(kLongest);
  char *end = std::to_chars(at, at + kLongest - 1, v).ptr;
  *end++ = '\n';
  unused(kLongest - static_cast<size_t>(end - at));
}

// name{label="value"} in one copy per part, into room taken once.
void Writer::labels(std::string_view label, std::string_view label_value) {
  const size_t n = name_.size() + label.size() + label_value.size() + 6;
  char *p = room(n);
  std::memcpy(p, name_.data(), name_.size());
  p += name_.size();
  *p++ = '{';
  std::memcpy(p, label.data(), label.size());
  p += label.size();
  *p++ = '=';
  *p++ = '"';
  std::memcpy(p, label_value.data(), label_value.size());
  p += label_value.size();
  *p++ = '"';
  *p++ = '}';
  p[0] = ' ';
}

void Writer::sample(uint64_t v) {
  put(name_);
  put(" ");
  value(v);
}

void Writer::sample(double v) {
  put(name_);
  put(" ");
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
  char core_labels[WINPERF_MAX_CORES][4];
  for (uint32_t i = 0; i < cores; ++i) {
    *std::to_chars(core_labels[i], core_labels[i] + 3, i).ptr = '\0';
  }

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
  const TableLabels volumes(s.disks, disk_count, decode);
  w.family("winperf_logical_disk_size_bytes", "gauge", "Capacity of the volume.");
  for (int i = 0; i < disk_count; ++i) w.sample("volume", volumes[i], s.disks[i].total_bytes);
  w.family("winperf_logical_disk_free_bytes", "gauge", "Free space on the volume.");
  for (int i = 0; i < disk_count; ++i) w.sample("volume", volumes[i], s.disks[i].free_bytes);

  const int net_count = s.net_count < 0 ? 0 : std::min(s.net_count, WINPERF_MAX_NETS);
  const TableLabels interfaces(s.nets, net_count, decode);
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
