// The JSON snapshot against the scripted platform seam: exact text, limits, failures.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <ostream>
#include <regex>
#include <string>

#include "scripted_platform.h"
#include "winperf_internal.h"

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// The text with the timestamp's digits replaced by T.
std::string without_timestamp(const std::string &json) {
  return std::regex_replace(json, std::regex(R"(^\{"timestamp":[0-9]+,)"), R"({"timestamp":T,)");
}

uint64_t timestamp_of(const std::string &json) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex(R"(^\{"timestamp":([0-9]+),)"))) return 0;
  return std::stoull(m[1]);
}

void set_name(char *field, size_t width, const char *text) {
  std::memset(field, 0, width);
  std::strncpy(field, text, width - 1);
}

class Snapshot : public ::testing::Test {
 protected:
  void SetUp() override {
    winperf_cleanup();
    reset_script();
    winperf_set_json_allocator(nullptr);
  }
  void TearDown() override {
    winperf_set_json_allocator(nullptr);
    winperf_cleanup();
    reset_script();
  }
  // Initialises with the given writer of the records.
  static void sample(std::function<void(int)> writer, uint32_t core_count = 0) {
    script().core_count = core_count;
    script().on_collect = std::move(writer);
    ASSERT_EQ(winperf_init(), 0);
  }
};

void small_sample(int) {
  g_cpu_info.total_usage_percent = 37.5;
  g_cpu_info.cores[0].usage_percent = 9.5;
  g_cpu_info.cores[0].frequency_mhz = 2500;
  g_cpu_info.cores[1].usage_percent = 100.0;
  g_cpu_info.cores[1].user_seconds = 1.25;
  g_cpu_info.cores[1].dpc_seconds = 1e-7;
  g_cpu_info.cores[1].frequency_mhz = 4294967295u;
  g_cpu_info.cores[2].usage_percent = 55.0;  // beyond core_count: not written
  g_mem_info = {kU64Max, 1, 2, 3, 4, 5, 6, 50.0};
  set_name(g_disks[0].name, sizeof g_disks[0].name, "C:");
  g_disks[0].total_bytes = 512;
  g_disks[0].free_bytes = 256;
  g_disks[0].read_iops = 4294967295u;
  g_disks[0].queue_length = 0.25;
  g_disk_count = 1;
  set_name(g_nets[0].name, sizeof g_nets[0].name, "Intel \"Pro\" \\ 1/2\t\n\x01\x1f");
  g_nets[0].bytes_recv_sec = 150;
  g_nets[0].errors_out = kU64Max;
  g_nets[0].is_up = -1;
  set_name(g_nets[1].name, sizeof g_nets[1].name, "Réseau \xe2\x82\xac \xf0\x9f\x98\x80");
  g_nets[1].is_up = 1;
  g_net_count = 2;
  g_sys_info = {86400, 120, 1500, 4294967295u, 0, kU64Max};
}

const char kSmallSampleJson[] =
    R"({"timestamp":T,"cpu":{"core_count":2,"total_usage_percent":37.5,"cores":[)"
    R"({"core":0,"usage_percent":9.5,"user_seconds":0.0,"system_seconds":0.0,"idle_seconds":0.0,)"
    R"("interrupt_seconds":0.0,"dpc_seconds":0.0,"frequency_mhz":2500},)"
    R"({"core":1,"usage_percent":100.0,"user_seconds":1.25,"system_seconds":0.0,)"
    R"("idle_seconds":0.0,"interrupt_seconds":0.0,"dpc_seconds":1e-7,)"
    R"("frequency_mhz":4294967295}]},)"
    R"("memory":{"total_physical_bytes":18446744073709551615,"available_physical_bytes":1,)"
    R"("total_commit_bytes":2,"committed_bytes":3,"pool_paged_bytes":4,"pool_nonpaged_bytes":5,)"
    R"("cache_bytes":6,"memory_load_percent":50.0},)"
    R"("disks":[{"name":"C:","total_bytes":512,"free_bytes":256,"read_bytes_sec":0,)"
    R"("write_bytes_sec":0,"read_iops":4294967295,"write_iops":0,"queue_length":0.25}],)"
    R"("network":[{"name":"Intel \"Pro\" \\ 1/2\t\n\u0001\u001F","bytes_recv_sec":150,)"
    R"("bytes_sent_sec":0,"packets_recv_sec":0,"packets_sent_sec":0,"errors_in":0,)"
    R"("errors_out":18446744073709551615,"is_up":-1},)"
    R"({"name":"Réseau € 😀","bytes_recv_sec":0,"bytes_sent_sec":0,"packets_recv_sec":0,)"
    R"("packets_sent_sec":0,"errors_in":0,"errors_out":0,"is_up":1}],)"
    R"("system":{"uptime_seconds":86400,"process_count":120,"thread_count":1500,)"
    R"("handle_count":4294967295,"context_switches_sec":0,"system_calls_sec":18446744073709551615}})";

TEST_F(Snapshot, KnownSampleGivesTheExactText) {
  sample(small_sample, 2);
  const auto before = static_cast<uint64_t>(std::time(nullptr));
  const std::string json = winperf_get_snapshot_json();
  const auto after = static_cast<uint64_t>(std::time(nullptr));
  EXPECT_EQ(without_timestamp(json), kSmallSampleJson);
  EXPECT_GE(timestamp_of(json), before);
  EXPECT_LE(timestamp_of(json), after);
}

TEST_F(Snapshot, EmptySampleHasEveryMember) {
  sample([](int) {}, 0);
  EXPECT_EQ(without_timestamp(winperf_get_snapshot_json()),
            R"({"timestamp":T,"cpu":{"core_count":0,"total_usage_percent":0.0,"cores":[]},)"
            R"("memory":{"total_physical_bytes":0,"available_physical_bytes":0,)"
            R"("total_commit_bytes":0,"committed_bytes":0,"pool_paged_bytes":0,)"
            R"("pool_nonpaged_bytes":0,"cache_bytes":0,"memory_load_percent":0.0},)"
            R"("disks":[],"network":[],"system":{"uptime_seconds":0,"process_count":0,)"
            R"("thread_count":0,"handle_count":0,"context_switches_sec":0,"system_calls_sec":0}})");
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct CoreCase {
  uint32_t core_count;
  size_t elements;
  friend std::ostream &operator<<(std::ostream &os, const CoreCase &c) {
    return os << c.core_count << " cores";
  }
};

class CoreCap : public Snapshot, public ::testing::WithParamInterface<CoreCase> {};

TEST_P(CoreCap, WritesOneElementPerCoreUpTo128) {
  sample([](int) {}, GetParam().core_count);
  const std::string json = winperf_get_snapshot_json();
  EXPECT_EQ(count_of(json, "{\"core\":"), GetParam().elements);
  EXPECT_NE(json.find("\"core_count\":" + std::to_string(GetParam().core_count) + ","),
            std::string::npos);
  if (GetParam().elements > 0) {
    EXPECT_NE(json.find("{\"core\":" + std::to_string(GetParam().elements - 1) + ","),
              std::string::npos);
  }
  EXPECT_EQ(json.find("{\"core\":128,"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Counts, CoreCap,
                         ::testing::Values(CoreCase{0, 0}, CoreCase{1, 1}, CoreCase{127, 127},
                                           CoreCase{128, 128}, CoreCase{129, 128},
                                           CoreCase{0xFFFFFFFFu, 128}),
                         [](const auto &info) {
                           return "Cores" + std::to_string(info.param.core_count);
                         });

TEST_F(Snapshot, NegativeOrOversizedCountsAreBoundedByTheTables) {
  sample([](int) {
    g_disk_count = -1;
    g_net_count = -2147483647 - 1;
  });
  std::string json = winperf_get_snapshot_json();
  EXPECT_NE(json.find(R"("disks":[],"network":[],)"), std::string::npos) << json;

  g_disk_count = 500;  // never read past the 64 records
  g_net_count = 65;
  json = winperf_get_snapshot_json();
  EXPECT_EQ(count_of(json, R"("total_bytes":)"), 64u);
  EXPECT_EQ(count_of(json, R"("bytes_recv_sec":)"), 64u);
}

// A real that JSON cannot carry fails the whole snapshot and keeps the previous text.
struct BadReal {
  const char *name;
  double *field;
  friend std::ostream &operator<<(std::ostream &os, const BadReal &c) { return os << c.name; }
};

class NonFinite : public Snapshot, public ::testing::WithParamInterface<BadReal> {};

TEST_P(NonFinite, GivesTheFallbackAndKeepsThePreviousText) {
  sample(small_sample, 2);
  const char *previous = winperf_get_snapshot_json();
  const std::string previous_copy = previous;
  ASSERT_STRNE(previous, "{}");

  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    const double saved = *GetParam().field;
    *GetParam().field = bad;
    winperf_set_error("none yet");
    EXPECT_STREQ(winperf_get_snapshot_json(), "{}");
    EXPECT_STREQ(winperf_last_error(), "Failed to serialize yyjson document to string");
    EXPECT_EQ(std::string(previous), previous_copy);  // still valid, still the same
    *GetParam().field = saved;
  }
  EXPECT_STRNE(winperf_get_snapshot_json(), "{}");
}

INSTANTIATE_TEST_SUITE_P(Fields, NonFinite,
                         ::testing::Values(BadReal{"Total", &g_cpu_info.total_usage_percent},
                                           BadReal{"CoreUsage", &g_cpu_info.cores[1].usage_percent},
                                           BadReal{"CoreIdle", &g_cpu_info.cores[0].idle_seconds},
                                           BadReal{"MemoryLoad", &g_mem_info.memory_load_percent},
                                           BadReal{"DiskQueue", &g_disks[0].queue_length}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Snapshot, ANonFiniteRealBeyondTheCountsIsNotWritten) {
  sample(small_sample, 2);
  g_cpu_info.cores[2].usage_percent = std::nan("");
  g_disks[1].queue_length = std::nan("");
  EXPECT_STRNE(winperf_get_snapshot_json(), "{}");
}

struct NameCase {
  const char *name;
  const char *bytes;
  const char *json;
  friend std::ostream &operator<<(std::ostream &os, const NameCase &c) { return os << c.name; }
};

class Names : public Snapshot, public ::testing::WithParamInterface<NameCase> {};

TEST_P(Names, AreWrittenAsValidJsonStrings) {
  const char *bytes = GetParam().bytes;
  sample([bytes](int) {
    set_name(g_nets[0].name, sizeof g_nets[0].name, bytes);
    set_name(g_disks[0].name, sizeof g_disks[0].name, bytes);
    g_net_count = 1;
    g_disk_count = 1;
  });
  const std::string json = winperf_get_snapshot_json();
  const std::string expected = std::string(R"({"name":")") + GetParam().json + "\",";
  EXPECT_EQ(count_of(json, expected), 2u) << json;
  EXPECT_STREQ(winperf_last_error(), "");
  // The records keep the system's bytes.
  EXPECT_STREQ(g_nets[0].name, bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Names,
    ::testing::Values(
        NameCase{"Plain", "Ethernet 2", "Ethernet 2"},
        NameCase{"QuoteBackslashSolidus", R"(a"b\c/d)", R"(a\"b\\c/d)"},
        NameCase{"Controls", "\x7f\x1b\r\b\f", "\x7f\\u001B\\r\\b\\f"},
        NameCase{"ValidMultibyte", "\xc3\xa9\xe2\x82\xac\xf4\x8f\xbf\xbf", "é€\xf4\x8f\xbf\xbf"},
        // Bytes that form no UTF-8 sequence each become U+FFFD.
        NameCase{"Latin1", "Caf\xe9 Net", "Caf\xef\xbf\xbd Net"},
        NameCase{"LoneContinuation", "\x80x\xbf", "\xef\xbf\xbdx\xef\xbf\xbd"},
        NameCase{"Overlong", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
        NameCase{"Surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        NameCase{"BeyondU10FFFF", "\xf4\x90\x80\x80",
                 "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        NameCase{"TruncatedAtEnd", "ok\xe2\x82", "ok\xef\xbf\xbd\xef\xbf\xbd"},
        NameCase{"TruncatedBeforeAscii", "\xe2\x82z", "\xef\xbf\xbd\xef\xbf\xbdz"},
        // Past the first runs of eight ASCII bytes.
        NameCase{"LateInvalid", "Realtek PCIe GbE \xe9", "Realtek PCIe GbE \xef\xbf\xbd"},
        NameCase{"LateValid", "Realtek PCIe GbE \xc3\xa9", "Realtek PCIe GbE \xc3\xa9"},
        NameCase{"InvalidAtEighth",
                 "1234567\xff"
                 "89",
                 "1234567\xef\xbf\xbd"
                 "89"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Snapshot, ALongInvalidNameIsRepairedWhole) {
  sample([](int) {
    std::memset(g_nets[0].name, '\xff', 127);
    g_nets[0].name[127] = '\0';
    g_net_count = 1;
  });
  const std::string json = winperf_get_snapshot_json();
  std::string expected = R"({"name":")";
  for (int i = 0; i < 127; ++i) expected += "\xef\xbf\xbd";
  EXPECT_NE(json.find(expected + "\","), std::string::npos);
}

TEST_F(Snapshot, TwoSnapshotsWithoutACollectionDifferOnlyInTheTimestamp) {
  sample(small_sample, 2);
  const std::string first = winperf_get_snapshot_json();
  const std::string second = winperf_get_snapshot_json();
  EXPECT_EQ(without_timestamp(first), without_timestamp(second));
  EXPECT_EQ(script().collect_calls, 1);
}

TEST_F(Snapshot, ShowsTheLatestCollection) {
  sample([](int n) { g_sys_info.uptime_seconds = static_cast<uint64_t>(n) * 10; });
  EXPECT_NE(std::string(winperf_get_snapshot_json()).find(R"("uptime_seconds":10,)"),
            std::string::npos);
  winperf_collect();
  EXPECT_NE(std::string(winperf_get_snapshot_json()).find(R"("uptime_seconds":20,)"),
            std::string::npos);
}

TEST_F(Snapshot, AfterCleanupInitialisesAndCollectsFirst) {
  sample(small_sample, 2);
  ASSERT_STRNE(winperf_get_snapshot_json(), "{}");
  winperf_cleanup();
  EXPECT_EQ(without_timestamp(winperf_get_snapshot_json()), kSmallSampleJson);
  EXPECT_EQ(script().init_calls, 2);
  EXPECT_EQ(script().collect_calls, 1 + 2);
}

// ---- Allocation failures inside the JSON library --------------------------------------------

struct AllocScript {
  int calls = 0;
  int fail_at = 0;  // the allocation that fails, 1-based; 0 for none
  bool next() { return ++calls == fail_at; }
};

// Allocates from the C heap, as the library's default does: the written text is released with
// free().
yyjson_alc failing_allocator(AllocScript &s) {
  yyjson_alc alc{};
  alc.malloc = [](void *ctx, size_t n) -> void * {
    return static_cast<AllocScript *>(ctx)->next() ? nullptr : std::malloc(n);
  };
  alc.realloc = [](void *ctx, void *p, size_t, size_t n) -> void * {
    return static_cast<AllocScript *>(ctx)->next() ? nullptr : std::realloc(p, n);
  };
  alc.free = [](void *, void *p) { std::free(p); };
  alc.ctx = &s;
  return alc;
}

// How many members or elements `part` lacks against `full`; -1 when it differs otherwise.
int missing_parts(yyjson_val *full, yyjson_val *part) {
  if (yyjson_is_obj(full) && yyjson_is_obj(part)) {
    int missing = 0;
    yyjson_obj_iter pi = yyjson_obj_iter_with(part);
    yyjson_val *pkey = yyjson_obj_iter_next(&pi);
    yyjson_obj_iter fi = yyjson_obj_iter_with(full);
    for (yyjson_val *fkey; (fkey = yyjson_obj_iter_next(&fi));) {
      if (pkey && yyjson_equals_str(pkey, yyjson_get_str(fkey))) {
        const bool timestamp = yyjson_equals_str(fkey, "timestamp");
        const int m =
            timestamp ? 0
                      : missing_parts(yyjson_obj_iter_get_val(fkey), yyjson_obj_iter_get_val(pkey));
        if (m < 0) return -1;
        missing += m;
        pkey = yyjson_obj_iter_next(&pi);
      } else {
        ++missing;
      }
    }
    return pkey ? -1 : missing;
  }
  if (yyjson_is_arr(full) && yyjson_is_arr(part)) {
    int missing = 0;
    size_t p = 0;
    const size_t plen = yyjson_arr_size(part);
    for (size_t f = 0; f < yyjson_arr_size(full); ++f) {
      const int m = p < plen ? missing_parts(yyjson_arr_get(full, f), yyjson_arr_get(part, p)) : -1;
      if (m >= 0) {
        missing += m;
        ++p;
      } else {
        ++missing;
      }
    }
    return p == plen ? missing : -1;
  }
  return yyjson_equals(full, part) ? 0 : -1;
}

void large_sample(int) {
  for (int i = 0; i < WINPERF_MAX_DISKS; ++i) {
    std::snprintf(g_disks[i].name, sizeof g_disks[i].name, "%c:", 'A' + i % 26);
    g_disks[i].total_bytes = static_cast<uint64_t>(i);
  }
  g_disk_count = WINPERF_MAX_DISKS;
  for (int i = 0; i < WINPERF_MAX_NETS; ++i) {
    std::snprintf(g_nets[i].name, sizeof g_nets[i].name, "adapter \xff%d", i);  // repaired copy
    g_nets[i].errors_in = static_cast<uint64_t>(i);
  }
  g_net_count = WINPERF_MAX_NETS;
  for (int i = 0; i < WINPERF_MAX_CORES; ++i) g_cpu_info.cores[i].usage_percent = i;
}

TEST_F(Snapshot, AFailedAllocationLeavesOutOnlyThePartItWasFor) {
  sample(large_sample, WINPERF_MAX_CORES);
  const std::string full = winperf_get_snapshot_json();
  yyjson_doc *full_doc = yyjson_read(full.c_str(), full.size(), 0);
  ASSERT_NE(full_doc, nullptr);

  AllocScript counting;
  yyjson_alc alc = failing_allocator(counting);
  winperf_set_json_allocator(&alc);
  ASSERT_STRNE(winperf_get_snapshot_json(), "{}");
  const int total = counting.calls;
  // The document, the block of all values, the block of repaired names, the text.
  ASSERT_EQ(total, 4);

  int doc_failures = 0, serialize_failures = 0, partial_documents = 0;
  for (int k = 1; k <= total; ++k) {
    AllocScript s;
    s.fail_at = k;
    alc = failing_allocator(s);
    winperf_set_error("unchanged");
    const std::string json = winperf_get_snapshot_json();
    const std::string error = winperf_last_error();
    if (json == "{}") {
      if (error == "Failed to allocate yyjson document") {
        ++doc_failures;
        EXPECT_EQ(k, 1);
      } else {
        EXPECT_EQ(error, "Failed to serialize yyjson document to string") << "allocation " << k;
        ++serialize_failures;
      }
      continue;
    }
    EXPECT_EQ(error, "unchanged") << "allocation " << k;
    yyjson_doc *part = yyjson_read(json.c_str(), json.size(), 0);
    ASSERT_NE(part, nullptr) << json;
    EXPECT_EQ(missing_parts(yyjson_doc_get_root(full_doc), yyjson_doc_get_root(part)), 1)
        << "allocation " << k << ": " << json;
    yyjson_doc_free(part);
    ++partial_documents;
  }
  yyjson_doc_free(full_doc);
  EXPECT_EQ(doc_failures, 1);
  EXPECT_EQ(serialize_failures, 2);  // the values (from the root object on) and the text
  EXPECT_EQ(partial_documents, 1);   // the first repaired name; the next ones try again
}

TEST_F(Snapshot, FailedRootObjectGivesTheSerializeMessage) {
  sample(small_sample, 2);
  const char *previous = winperf_get_snapshot_json();
  const std::string previous_copy = previous;
  AllocScript s;
  s.fail_at = 2;  // the document, then the root object
  yyjson_alc alc = failing_allocator(s);
  winperf_set_json_allocator(&alc);
  EXPECT_STREQ(winperf_get_snapshot_json(), "{}");
  EXPECT_STREQ(winperf_last_error(), "Failed to serialize yyjson document to string");
  EXPECT_EQ(std::string(previous), previous_copy);
}

}  // namespace
