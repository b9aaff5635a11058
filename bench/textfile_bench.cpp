// The textfile collector's cost per series: a 10,000-series file decoded, parsed, merged and
// rendered, against rendering the same series already in memory.
#include "textfile_bench.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "textfile.h"

namespace {

// 100 families of 100 series each, with two labels, as a job's exporter script writes them.
const std::string &ten_thousand_series() {
  static const std::string text = [] {
    std::string t;
    for (int f = 0; f < 100; ++f) {
      const std::string name = "job_metric_" + std::to_string(f);
      t += "# HELP " + name + " A figure the job writes.\n# TYPE " + name + " gauge\n";
      for (int s = 0; s < 100; ++s) {
        t += name + "{instance=\"host-" + std::to_string(s) + "\",task=\"nightly backup\"} " +
             std::to_string(s * 1.5 + f) + "\n";
      }
    }
    return t;
  }();
  return text;
}

void BM_TextfileParseAndRender(benchmark::State &state) {
  std::string out;
  for (auto _ : state) {
    std::string utf8;
    std::vector<textfile::Family> families;
    textfile::Error error;
    textfile::Merger merger("winperf_", 200000);
    if (!textfile::decode(ten_thousand_series(), utf8, error) ||
        !textfile::parse(utf8, families, error) ||
        !merger.add("f.prom", std::move(families), error)) {
      state.SkipWithError(error.text().c_str());
      return;
    }
    out.clear();
    merger.render(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kTextfileSeries);
}

void BM_TextfileRenderFromMemory(benchmark::State &state) {
  std::string utf8;
  std::vector<textfile::Family> families;
  textfile::Error error;
  textfile::Merger merger("winperf_", 200000);
  textfile::decode(ten_thousand_series(), utf8, error);
  textfile::parse(utf8, families, error);
  merger.add("f.prom", std::move(families), error);
  std::string out;
  for (auto _ : state) {
    out.clear();
    merger.render(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * kTextfileSeries);
}

}  // namespace

BENCHMARK(BM_TextfileParseAndRender)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextfileRenderFromMemory)->Unit(benchmark::kMillisecond);
