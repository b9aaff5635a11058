// The library's costs, each against what it could at best be, measured in the same run:
//   - a snapshot of a maximal sample against yyjson writing the same document already built (the
//     floor) and against the same document built and written with nlohmann::json;
//   - the hosts' exposition format of the same sample, records read and rendered, against the
//     snapshot;
//   - one collection against a Windows that answers at once, for 4 and 128 processors;
//   - each getter against copying its bytes;
//   - heap allocations per collection, getter and snapshot.
#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "alloc_counter.h"
#include "exposition.h"
#include "sample.h"
#include "status_page.h"
#include "textfile_bench.h"
#include "winapi_null.h"
#include "winperf_internal.h"

namespace {

// A sample that fills every table: 128 cores, 64 disks, 64 interfaces.
void fill_maximal_sample() {
  winperf_cleanup();
  winapi_null::set_processors(WINPERF_MAX_CORES);
  winapi_null::set_interfaces(WINPERF_MAX_NETS);
  winperf_init();
  for (int i = 0; i < WINPERF_MAX_CORES; ++i) g_cpu_info.cores[i].usage_percent = 0.5 + i * 0.731;
  for (int i = 0; i < WINPERF_MAX_DISKS; ++i) {
    std::snprintf(g_disks[i].name, sizeof g_disks[i].name, "%c:", 'A' + i % 26);
    g_disks[i].total_bytes = (static_cast<uint64_t>(i) + 1) << 34;
    g_disks[i].free_bytes = (static_cast<uint64_t>(i) + 1) << 32;
  }
  g_disk_count = WINPERF_MAX_DISKS;
  for (int i = 0; i < WINPERF_MAX_NETS; ++i) {
    std::snprintf(g_nets[i].name, sizeof g_nets[i].name, "Intel(R) Ethernet Connection #%d", i);
    g_nets[i].bytes_recv_sec = 123456789u * (static_cast<uint64_t>(i) + 1);
    g_nets[i].is_up = i % 2;
  }
  g_net_count = WINPERF_MAX_NETS;
}

void BM_Snapshot(benchmark::State &state) {
  fill_maximal_sample();
  for (auto _ : state) benchmark::DoNotOptimize(winperf_get_snapshot_json());
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * std::strlen(winperf_get_snapshot_json())));
}

void BM_SnapshotFloorYyjsonWriteOnly(benchmark::State &state) {
  fill_maximal_sample();
  const char *text = winperf_get_snapshot_json();
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  yyjson_mut_doc *mut = yyjson_doc_mut_copy(doc, nullptr);
  for (auto _ : state) {
    char *out = yyjson_mut_write(mut, 0, nullptr);
    benchmark::DoNotOptimize(out);
    std::free(out);
  }
  yyjson_mut_doc_free(mut);
  yyjson_doc_free(doc);
}

// Names in the maximal sample are ASCII; a decoder that is never needed.
const winperf_names::Decoder kAsciiOnly = [](std::string_view, std::u16string &) { return false; };

// What a scrape of the exporter does after collecting: read the records and render them.
void BM_Exposition(benchmark::State &state) {
  fill_maximal_sample();
  const winperf_loader::Api api = winperf_loader::linked_api();
  const auto sample = std::make_unique<winperf_sample::Sample>();
  size_t bytes = 0;
  for (auto _ : state) {
    winperf_sample::read(api, *sample);
    exposition::Writer w;
    exposition::write_sample(w, *sample, kAsciiOnly);
    bytes = w.text().size();
    benchmark::DoNotOptimize(w.text().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// The status page of the same sample, which must cost no more than the scrape's rendering.
void BM_StatusPage(benchmark::State &state) {
  fill_maximal_sample();
  const winperf_loader::Api api = winperf_loader::linked_api();
  const auto sample = std::make_unique<winperf_sample::Sample>();
  exporter::StatusFacts facts;
  facts.sample = sample.get();
  facts.host_name = "web-01";
  facts.version = "1.0.0";
  facts.telemetry_path = "/metrics";
  facts.last_ok = true;
  size_t bytes = 0;
  for (auto _ : state) {
    winperf_sample::read(api, *sample);
    const std::string page = exporter::render_status_page(facts, kAsciiOnly);
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

nlohmann::ordered_json nlohmann_snapshot() {
  using nlohmann::ordered_json;
  ordered_json root;
  root["timestamp"] = static_cast<uint64_t>(std::time(nullptr));
  ordered_json &cpu = root["cpu"];
  cpu["core_count"] = g_cpu_info.core_count;
  cpu["total_usage_percent"] = g_cpu_info.total_usage_percent;
  ordered_json cores = ordered_json::array();
  for (uint32_t i = 0; i < g_cpu_info.core_count && i < WINPERF_MAX_CORES; ++i) {
    const auto &c = g_cpu_info.cores[i];
    cores.push_back({{"core", i},
                     {"usage_percent", c.usage_percent},
                     {"user_seconds", c.user_seconds},
                     {"system_seconds", c.system_seconds},
                     {"idle_seconds", c.idle_seconds},
                     {"interrupt_seconds", c.interrupt_seconds},
                     {"dpc_seconds", c.dpc_seconds},
                     {"frequency_mhz", c.frequency_mhz}});
  }
  cpu["cores"] = std::move(cores);
  const auto &m = g_mem_info;
  root["memory"] = {{"total_physical_bytes", m.total_physical_bytes},
                    {"available_physical_bytes", m.available_physical_bytes},
                    {"total_commit_bytes", m.total_commit_bytes},
                    {"committed_bytes", m.committed_bytes},
                    {"pool_paged_bytes", m.pool_paged_bytes},
                    {"pool_nonpaged_bytes", m.pool_nonpaged_bytes},
                    {"cache_bytes", m.cache_bytes},
                    {"memory_load_percent", m.memory_load_percent}};
  ordered_json disks = ordered_json::array();
  for (int32_t i = 0; i < g_disk_count; ++i) {
    const auto &d = g_disks[i];
    disks.push_back({{"name", d.name},
                     {"total_bytes", d.total_bytes},
                     {"free_bytes", d.free_bytes},
                     {"read_bytes_sec", d.read_bytes_sec},
                     {"write_bytes_sec", d.write_bytes_sec},
                     {"read_iops", d.read_iops},
                     {"write_iops", d.write_iops},
                     {"queue_length", d.queue_length}});
  }
  root["disks"] = std::move(disks);
  ordered_json nets = ordered_json::array();
  for (int32_t i = 0; i < g_net_count; ++i) {
    const auto &n = g_nets[i];
    nets.push_back({{"name", n.name},
                    {"bytes_recv_sec", n.bytes_recv_sec},
                    {"bytes_sent_sec", n.bytes_sent_sec},
                    {"packets_recv_sec", n.packets_recv_sec},
                    {"packets_sent_sec", n.packets_sent_sec},
                    {"errors_in", n.errors_in},
                    {"errors_out", n.errors_out},
                    {"is_up", n.is_up}});
  }
  root["network"] = std::move(nets);
  const auto &s = g_sys_info;
  root["system"] = {{"uptime_seconds", s.uptime_seconds},
                    {"process_count", s.process_count},
                    {"thread_count", s.thread_count},
                    {"handle_count", s.handle_count},
                    {"context_switches_sec", s.context_switches_sec},
                    {"system_calls_sec", s.system_calls_sec}};
  return root;
}

void BM_SnapshotNlohmannBuildAndDump(benchmark::State &state) {
  fill_maximal_sample();
  for (auto _ : state) {
    std::string text = nlohmann_snapshot().dump();
    benchmark::DoNotOptimize(text.data());
  }
}

void BM_Collect(benchmark::State &state) {
  winperf_cleanup();
  winapi_null::set_processors(static_cast<uint32_t>(state.range(0)));
  winapi_null::set_interfaces(4);
  winperf_init();
  for (auto _ : state) benchmark::DoNotOptimize(winperf_collect());
}

// Getters and plain copies write to the same place from the same records.
alignas(64) unsigned char g_destination[sizeof(winperf_net_info_t) * WINPERF_MAX_NETS];

template <typename Record>
void BM_GetRecord(benchmark::State &state, int (*getter)(Record *)) {
  fill_maximal_sample();
  auto *out = reinterpret_cast<Record *>(g_destination);
  for (auto _ : state) {
    benchmark::DoNotOptimize(getter(out));
    benchmark::ClobberMemory();
  }
}

template <typename Record>
void BM_GetTable(benchmark::State &state, int (*getter)(Record *, int, int *)) {
  fill_maximal_sample();
  auto *out = reinterpret_cast<Record *>(g_destination);
  int n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(getter(out, 64, &n));
    benchmark::ClobberMemory();
  }
}

// The floor of a getter: copying its bytes.
void BM_Copy(benchmark::State &state, const void *source, size_t bytes) {
  fill_maximal_sample();
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::memcpy(g_destination, source, bytes));
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_Snapshot);
BENCHMARK(BM_SnapshotFloorYyjsonWriteOnly);
BENCHMARK(BM_SnapshotNlohmannBuildAndDump);
BENCHMARK(BM_Exposition);
BENCHMARK(BM_StatusPage);
BENCHMARK(BM_Collect)->Arg(4)->Arg(128);
BENCHMARK_CAPTURE(BM_GetRecord, cpu, winperf_get_cpu);
BENCHMARK_CAPTURE(BM_Copy, cpu, &g_cpu_info, sizeof g_cpu_info);
BENCHMARK_CAPTURE(BM_GetRecord, memory, winperf_get_memory);
BENCHMARK_CAPTURE(BM_Copy, memory, &g_mem_info, sizeof g_mem_info);
BENCHMARK_CAPTURE(BM_GetRecord, system, winperf_get_system);
BENCHMARK_CAPTURE(BM_Copy, system, &g_sys_info, sizeof g_sys_info);
BENCHMARK_CAPTURE(BM_GetTable, disks, winperf_get_disks);
BENCHMARK_CAPTURE(BM_Copy, disks, g_disks, sizeof g_disks);
BENCHMARK_CAPTURE(BM_GetTable, network, winperf_get_network);
BENCHMARK_CAPTURE(BM_Copy, network, g_nets, sizeof g_nets);

// Keeps each benchmark's time per iteration, in nanoseconds, for the ratios.
class Recorder : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      // With repetitions the median stands for the benchmark.
      if (run.run_type == Run::RT_Iteration ||
          (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")) {
        ns_[run.run_name.str()] = run.GetAdjustedRealTime() *
                                  benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                                  benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double ns(const std::string &name) const {
    const auto it = ns_.find(name);
    return it == ns_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> ns_;
};

uint64_t allocations_of(void (*call)()) {
  const uint64_t before = alloc_counter::allocations();
  call();
  return alloc_counter::allocations() - before;
}

void report_allocations() {
  winperf_cleanup();
  winapi_null::set_processors(WINPERF_MAX_CORES);
  winapi_null::set_interfaces(WINPERF_MAX_NETS);
  winperf_init();
  static winperf_cpu_info_t cpu;
  static winperf_disk_info_t disks[64];
  static int n;
  std::printf("\nHeap allocations\n");
  std::printf("  per collection (128 processors, 64 interfaces): %llu\n",
              static_cast<unsigned long long>(allocations_of([] { winperf_collect(); })));
  std::printf(
      "  per getter (cpu, disks):                        %llu, %llu\n",
      static_cast<unsigned long long>(allocations_of([] { winperf_get_cpu(&cpu); })),
      static_cast<unsigned long long>(allocations_of([] { winperf_get_disks(disks, 64, &n); })));
  fill_maximal_sample();
  std::printf("  per snapshot of the maximal sample:             %llu\n",
              static_cast<unsigned long long>(allocations_of([] { winperf_get_snapshot_json(); })));
}

void report_ratios(const Recorder &r) {
  const double snapshot = r.ns("BM_Snapshot");
  std::printf("\nRatios (same run)\n");
  std::printf("  snapshot / yyjson write floor:       %.2f (target at most 1.25)\n",
              snapshot / r.ns("BM_SnapshotFloorYyjsonWriteOnly"));
  std::printf("  exposition / snapshot:               %.2f (target at most 1)\n",
              r.ns("BM_Exposition") / snapshot);
  std::printf("  nlohmann build+dump / snapshot:      %.2f (target at least 3)\n",
              r.ns("BM_SnapshotNlohmannBuildAndDump") / snapshot);
  std::printf("  collection, 4 processors:            %.0f ns\n", r.ns("BM_Collect/4"));
  std::printf("  collection, 128 processors:          %.0f ns (target under 2000)\n",
              r.ns("BM_Collect/128"));
  const char *const kinds[] = {"cpu", "memory", "system", "disks", "network"};
  for (const char *kind : kinds) {
    const bool table = std::strcmp(kind, "disks") == 0 || std::strcmp(kind, "network") == 0;
    const double getter = r.ns(std::string(table ? "BM_GetTable/" : "BM_GetRecord/") + kind);
    const double copy = r.ns(std::string("BM_Copy/") + kind);
    std::printf("  getter %-8s %.2f of copying its bytes (%.1f ns against %.1f ns)\n", kind,
                getter / copy, getter, copy);
  }
  const double parsed = r.ns("BM_TextfileParseAndRender") / kTextfileSeries;
  const double rendered = r.ns("BM_TextfileRenderFromMemory") / kTextfileSeries;
  std::printf(
      "  textfile of %d series, read and rendered: %.0f ns per series, %.1f x rendering "
      "them from memory (%.0f ns)\n",
      kTextfileSeries, parsed, parsed / rendered, rendered);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  report_ratios(recorder);
  report_allocations();
  winperf_cleanup();
  benchmark::Shutdown();
  return 0;
}
