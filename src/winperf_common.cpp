// Public layer: lifecycle, getters, error text and the JSON snapshot. Platform-neutral: it
// reaches the machine only through the three platform operations.
#include <yyjson.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "winperf_internal.h"

static_assert(sizeof(std::time_t) == 8, "the snapshot timestamp needs a 64-bit clock");

winperf_cpu_info_t g_cpu_info{};
winperf_mem_info_t g_mem_info{};
winperf_disk_info_t g_disks[WINPERF_MAX_DISKS]{};
int32_t g_disk_count = 0;
winperf_net_info_t g_nets[WINPERF_MAX_NETS]{};
int32_t g_net_count = 0;
winperf_sys_info_t g_sys_info{};
int32_t g_initialized = 0;

namespace {

char s_last_error[1024] = "None";
char *s_json_buffer = nullptr;
const yyjson_alc *s_json_alc = nullptr;  // null: the JSON library's default allocator

constexpr const char k_failed_json[] = "{}";

// Starts an initialisation: the error text is emptied before the platform is asked, so a
// failure inside it is what the caller reads afterwards.
int32_t open_platform() noexcept {
  s_last_error[0] = '\0';
  if (winperf_platform_init() != 0) return -1;
  g_initialized = 1;
  return 0;
}

// Lazy initialisation for the readers: on an initialised library nothing is collected.
int32_t ensure_sample() noexcept { return g_initialized ? 0 : winperf_collect(); }

// The counts are bounded by the tables; a count outside them is never trusted for a copy.
int32_t valid_count(int32_t count, int32_t capacity) noexcept {
  if (count < 0) return 0;
  return count < capacity ? count : capacity;
}

template <typename Record>
int copy_record(Record *dst, const Record &src, const char *null_message) noexcept {
  if (dst == nullptr) {
    winperf_set_error("%s", null_message);
    return -1;
  }
  if (ensure_sample() != 0) return -1;
  std::memcpy(dst, &src, sizeof src);
  return 0;
}

template <typename Record, int32_t Capacity>
int copy_table(Record *dst, int max_count, int *returned_count, const Record (&table)[Capacity],
               const int32_t &count, const char *bad_args_message) noexcept {
  if (max_count <= 0 || returned_count == nullptr || dst == nullptr) {
    winperf_set_error("%s", bad_args_message);
    return -1;
  }
  if (ensure_sample() != 0) return -1;
  const int32_t available = valid_count(count, Capacity);  // read after any lazy collection
  const int32_t n = available < max_count ? available : max_count;
  if (n > 0) std::memcpy(dst, table, static_cast<size_t>(n) * sizeof(Record));
  *returned_count = n;
  return 0;
}

// ---- Snapshot ------------------------------------------------------------------------------

struct DocFree {
  void operator()(yyjson_mut_doc *doc) const noexcept { yyjson_mut_doc_free(doc); }
};
using DocPtr = std::unique_ptr<yyjson_mut_doc, DocFree>;

// Length of the well-formed UTF-8 sequence at p (at most left bytes), or 0 when none starts
// there. Rejects overlong forms, surrogates and code points above U+10FFFF.
size_t utf8_sequence_length(const unsigned char *p, size_t left) noexcept {
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (left < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return len;
}

bool is_valid_utf8(const char *text, size_t len) noexcept {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t i = 0;
  // Names are mostly ASCII: skip it eight bytes at a time.
  for (uint64_t word; i + 8 <= len; i += 8) {
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ull) break;
  }
  while (i < len) {
    const size_t n = utf8_sequence_length(p + i, len - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Writes text into out with every byte that starts no well-formed sequence replaced by U+FFFD.
// out must hold 3 bytes per input byte. Returns the length written.
size_t replace_invalid_utf8(const char *text, size_t len, char *out) noexcept {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t o = 0;
  for (size_t i = 0; i < len;) {
    const size_t n = utf8_sequence_length(p + i, len - i);
    if (n == 0) {
      out[o++] = '\xEF';
      out[o++] = '\xBF';
      out[o++] = '\xBD';
      ++i;
    } else {
      std::memcpy(out + o, p + i, n);
      o += n;
      i += n;
    }
  }
  return o;
}

// A name field of a record. Valid UTF-8 is referenced in place; anything else is written as a
// repaired copy, so one adapter named in the system's 8-bit code page cannot fail the document.
template <size_t Width>
void add_name(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char (&name)[Width]) noexcept {
  const void *nul = std::memchr(name, '\0', Width);
  const size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - name) : Width;
  if (is_valid_utf8(name, len)) {
    yyjson_mut_obj_add_strn(doc, obj, "name", name, len);
    return;
  }
  char repaired[Width * 3];
  const size_t repaired_len = replace_invalid_utf8(name, len, repaired);
  yyjson_mut_obj_add_strncpy(doc, obj, "name", repaired, repaired_len);
}

void add_cpu(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
  yyjson_mut_val *cpu = yyjson_mut_obj_add_obj(doc, root, "cpu");
  yyjson_mut_obj_add_uint(doc, cpu, "core_count", g_cpu_info.core_count);
  yyjson_mut_obj_add_real(doc, cpu, "total_usage_percent", g_cpu_info.total_usage_percent);
  yyjson_mut_val *cores = yyjson_mut_obj_add_arr(doc, cpu, "cores");
  for (uint32_t i = 0; i < g_cpu_info.core_count && i < WINPERF_MAX_CORES; ++i) {
    const winperf_core_info_t &c = g_cpu_info.cores[i];
    yyjson_mut_val *core = yyjson_mut_obj(doc);
    yyjson_mut_obj_add_uint(doc, core, "core", i);
    yyjson_mut_obj_add_real(doc, core, "usage_percent", c.usage_percent);
    yyjson_mut_obj_add_real(doc, core, "user_seconds", c.user_seconds);
    yyjson_mut_obj_add_real(doc, core, "system_seconds", c.system_seconds);
    yyjson_mut_obj_add_real(doc, core, "idle_seconds", c.idle_seconds);
    yyjson_mut_obj_add_real(doc, core, "interrupt_seconds", c.interrupt_seconds);
    yyjson_mut_obj_add_real(doc, core, "dpc_seconds", c.dpc_seconds);
    yyjson_mut_obj_add_uint(doc, core, "frequency_mhz", c.frequency_mhz);
    yyjson_mut_arr_append(cores, core);
  }
}

void add_memory(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
  const winperf_mem_info_t &m = g_mem_info;
  yyjson_mut_val *mem = yyjson_mut_obj_add_obj(doc, root, "memory");
  yyjson_mut_obj_add_uint(doc, mem, "total_physical_bytes", m.total_physical_bytes);
  yyjson_mut_obj_add_uint(doc, mem, "available_physical_bytes", m.available_physical_bytes);
  yyjson_mut_obj_add_uint(doc, mem, "total_commit_bytes", m.total_commit_bytes);
  yyjson_mut_obj_add_uint(doc, mem, "committed_bytes", m.committed_bytes);
  yyjson_mut_obj_add_uint(doc, mem, "pool_paged_bytes", m.pool_paged_bytes);
  yyjson_mut_obj_add_uint(doc, mem, "pool_nonpaged_bytes", m.pool_nonpaged_bytes);
  yyjson_mut_obj_add_uint(doc, mem, "cache_bytes", m.cache_bytes);
  yyjson_mut_obj_add_real(doc, mem, "memory_load_percent", m.memory_load_percent);
}

void add_disks(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
  yyjson_mut_val *disks = yyjson_mut_obj_add_arr(doc, root, "disks");
  for (int32_t i = 0; i < g_disk_count && i < WINPERF_MAX_DISKS; ++i) {
    const winperf_disk_info_t &d = g_disks[i];
    yyjson_mut_val *disk = yyjson_mut_obj(doc);
    add_name(doc, disk, d.name);
    yyjson_mut_obj_add_uint(doc, disk, "total_bytes", d.total_bytes);
    yyjson_mut_obj_add_uint(doc, disk, "free_bytes", d.free_bytes);
    yyjson_mut_obj_add_uint(doc, disk, "read_bytes_sec", d.read_bytes_sec);
    yyjson_mut_obj_add_uint(doc, disk, "write_bytes_sec", d.write_bytes_sec);
    yyjson_mut_obj_add_uint(doc, disk, "read_iops", d.read_iops);
    yyjson_mut_obj_add_uint(doc, disk, "write_iops", d.write_iops);
    yyjson_mut_obj_add_real(doc, disk, "queue_length", d.queue_length);
    yyjson_mut_arr_append(disks, disk);
  }
}

void add_network(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
  yyjson_mut_val *nets = yyjson_mut_obj_add_arr(doc, root, "network");
  for (int32_t i = 0; i < g_net_count && i < WINPERF_MAX_NETS; ++i) {
    const winperf_net_info_t &n = g_nets[i];
    yyjson_mut_val *net = yyjson_mut_obj(doc);
    add_name(doc, net, n.name);
    yyjson_mut_obj_add_uint(doc, net, "bytes_recv_sec", n.bytes_recv_sec);
    yyjson_mut_obj_add_uint(doc, net, "bytes_sent_sec", n.bytes_sent_sec);
    yyjson_mut_obj_add_uint(doc, net, "packets_recv_sec", n.packets_recv_sec);
    yyjson_mut_obj_add_uint(doc, net, "packets_sent_sec", n.packets_sent_sec);
    yyjson_mut_obj_add_uint(doc, net, "errors_in", n.errors_in);
    yyjson_mut_obj_add_uint(doc, net, "errors_out", n.errors_out);
    yyjson_mut_obj_add_sint(doc, net, "is_up", n.is_up);
    yyjson_mut_arr_append(nets, net);
  }
}

void add_system(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
  const winperf_sys_info_t &s = g_sys_info;
  yyjson_mut_val *sys = yyjson_mut_obj_add_obj(doc, root, "system");
  yyjson_mut_obj_add_uint(doc, sys, "uptime_seconds", s.uptime_seconds);
  yyjson_mut_obj_add_uint(doc, sys, "process_count", s.process_count);
  yyjson_mut_obj_add_uint(doc, sys, "thread_count", s.thread_count);
  yyjson_mut_obj_add_uint(doc, sys, "handle_count", s.handle_count);
  yyjson_mut_obj_add_uint(doc, sys, "context_switches_sec", s.context_switches_sec);
  yyjson_mut_obj_add_uint(doc, sys, "system_calls_sec", s.system_calls_sec);
}

// Values the document of the current records holds: every member is a key and a value.
size_t snapshot_value_count() noexcept {
  const size_t cores =
      g_cpu_info.core_count < WINPERF_MAX_CORES ? g_cpu_info.core_count : WINPERF_MAX_CORES;
  const size_t disks = static_cast<size_t>(valid_count(g_disk_count, WINPERF_MAX_DISKS));
  const size_t nets = static_cast<size_t>(valid_count(g_net_count, WINPERF_MAX_NETS));
  constexpr size_t kMember = 2;
  constexpr size_t kRoot = 1 + 6 * kMember;
  constexpr size_t kCpu = 3 * kMember;              // core_count, total, the cores array
  constexpr size_t kCore = 1 + 8 * kMember;         // one core object
  constexpr size_t kTableRecord = 1 + 8 * kMember;  // one disk or interface object
  constexpr size_t kMemory = 8 * kMember;
  constexpr size_t kSystem = 6 * kMember;
  return kRoot + kCpu + cores * kCore + kMemory + (disks + nets) * kTableRecord + kSystem;
}

// Room for every name repaired at its longest; taken only when a name needs repair.
constexpr size_t kRepairedNameBytes = WINPERF_MAX_DISKS * (WINPERF_DISK_NAME_SIZE * 3 + 1) +
                                      WINPERF_MAX_NETS * (WINPERF_NET_NAME_SIZE * 3 + 1);

// One block for the values and one for repaired names, instead of pools grown chunk by chunk.
// Sizing that is refused leaves the pools as they were; building goes on either way.
void presize_pools(yyjson_mut_doc *doc) noexcept {
  (void)yyjson_mut_doc_set_val_pool_size(doc, snapshot_value_count());
  (void)yyjson_mut_doc_set_str_pool_size(doc, kRepairedNameBytes);
}

// Builds the document from the records. A part whose storage cannot be had is left out; the
// rest is still built.
void build_snapshot(yyjson_mut_doc *doc) noexcept {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_uint(doc, root, "timestamp", static_cast<uint64_t>(std::time(nullptr)));
  add_cpu(doc, root);
  add_memory(doc, root);
  add_disks(doc, root);
  add_network(doc, root);
  add_system(doc, root);
}

}  // namespace

void winperf_set_error(const char *format, ...) noexcept {
  va_list args;
  va_start(args, format);
  if (std::vsnprintf(s_last_error, sizeof s_last_error, format, args) < 0) s_last_error[0] = '\0';
  va_end(args);
  s_last_error[sizeof s_last_error - 1] = '\0';
}

void winperf_set_json_allocator(const yyjson_alc *alc) noexcept { s_json_alc = alc; }

extern "C" {

int winperf_init(void) noexcept {
  if (g_initialized) return 0;
  if (open_platform() != 0) return -1;
  (void)winperf_collect();  // priming: the next collection has a previous sample
  return 0;
}

int winperf_collect(void) noexcept {
  if (g_initialized) return winperf_platform_collect();
  if (open_platform() != 0) return -1;
  (void)winperf_collect();  // priming
  return winperf_platform_collect();
}

void winperf_cleanup(void) noexcept {
  winperf_platform_cleanup();
  std::free(s_json_buffer);
  s_json_buffer = nullptr;
  std::memset(&g_cpu_info, 0, sizeof g_cpu_info);
  std::memset(&g_mem_info, 0, sizeof g_mem_info);
  std::memset(g_disks, 0, sizeof g_disks);
  g_disk_count = 0;
  std::memset(g_nets, 0, sizeof g_nets);
  std::memset(&g_sys_info, 0, sizeof g_sys_info);
  g_net_count = 0;
  g_initialized = 0;
}

const char *winperf_last_error(void) noexcept { return s_last_error; }

int winperf_get_cpu(winperf_cpu_info_t *info) noexcept {
  return copy_record(info, g_cpu_info, "winperf_get_cpu: NULL pointer provided");
}

int winperf_get_memory(winperf_mem_info_t *info) noexcept {
  return copy_record(info, g_mem_info, "winperf_get_memory: NULL pointer provided");
}

int winperf_get_system(winperf_sys_info_t *info) noexcept {
  return copy_record(info, g_sys_info, "winperf_get_system: NULL pointer provided");
}

int winperf_get_disks(winperf_disk_info_t *disks, int max_count, int *returned_count) noexcept {
  return copy_table(disks, max_count, returned_count, g_disks, g_disk_count,
                    "winperf_get_disks: Invalid arguments");
}

int winperf_get_network(winperf_net_info_t *nets, int max_count, int *returned_count) noexcept {
  return copy_table(nets, max_count, returned_count, g_nets, g_net_count,
                    "winperf_get_network: Invalid arguments");
}

const char *winperf_get_snapshot_json(void) noexcept {
  if (ensure_sample() != 0) return k_failed_json;
  DocPtr doc(yyjson_mut_doc_new(s_json_alc));
  if (!doc) {
    winperf_set_error("Failed to allocate yyjson document");
    return k_failed_json;
  }
  presize_pools(doc.get());
  build_snapshot(doc.get());
  char *text = yyjson_mut_write_opts(doc.get(), 0, s_json_alc, nullptr, nullptr);
  doc.reset();
  if (text == nullptr) {
    winperf_set_error("Failed to serialize yyjson document to string");
    return k_failed_json;
  }
  std::free(s_json_buffer);
  s_json_buffer = text;
  return s_json_buffer;
}

}  // extern "C"
