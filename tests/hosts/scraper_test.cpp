// One scrape against the library with a scripted platform: when it collects, what it keeps
// after a failure, and that concurrent scrapes see whole samples.
#include "scraper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "scripted_platform.h"
#include "winperf_internal.h"

namespace {

using namespace std::chrono_literals;

const winperf_loader::Api kLinked = winperf_loader::linked_api();

bool ascii(std::string_view, std::u16string &) { return false; }

// Every collection writes its own number into the records it touches.
void write_collection_number(int n) {
  g_mem_info.total_physical_bytes = static_cast<uint64_t>(n);
  g_sys_info.process_count = static_cast<uint32_t>(n);
  g_net_count = 1;
  std::snprintf(g_nets[0].name, sizeof g_nets[0].name, "eth%d", n);
  g_nets[0].errors_in = static_cast<uint64_t>(n);
}

std::string value_of(const std::string &text, const std::string &series) {
  const size_t at = text.find("\n" + series + " ");
  if (at == std::string::npos) return "missing";
  const size_t start = at + series.size() + 2;
  return text.substr(start, text.find('\n', start) - start);
}

class ScraperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    winperf_cleanup();
    reset_script();
    script().on_collect = write_collection_number;
    ASSERT_EQ(winperf_init(), 0);  // collection 1, the priming one
  }
  void TearDown() override {
    winperf_cleanup();
    reset_script();
  }
  exporter::Scraper make(std::chrono::milliseconds min_interval) {
    return exporter::Scraper(kLinked, min_interval, ascii, "9.9.9", [this] { return now; });
  }
  exporter::Scraper::Clock::time_point now{};
};

TEST_F(ScraperTest, CollectsOnlyWhenTheLastCollectionIsOldEnough) {
  auto scraper = make(1000ms);
  const struct {
    std::chrono::milliseconds advance;
    const char *collections;
  } steps[] = {{0ms, "1"}, {0ms, "1"}, {999ms, "1"}, {1ms, "2"}, {5000ms, "3"}, {10ms, "3"}};
  for (const auto &step : steps) {
    now += step.advance;
    EXPECT_EQ(value_of(scraper.metrics(), "winperf_exporter_collections_total"), step.collections)
        << "after " << step.advance.count() << " ms";
  }
  // The scripted platform saw the priming collection and the scrapes' own.
  EXPECT_EQ(script().collect_calls, 4);
}

TEST_F(ScraperTest, ZeroIntervalCollectsOnEveryScrape) {
  auto scraper = make(0ms);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(value_of(scraper.metrics(), "winperf_exporter_collections_total"), std::to_string(i));
  }
}

TEST_F(ScraperTest, SnapshotComesFromTheSameCollection) {
  auto scraper = make(1000ms);
  const std::string metrics = scraper.metrics();
  const std::string json = scraper.snapshot().value_or("none");
  EXPECT_EQ(value_of(metrics, "winperf_memory_physical_bytes"), "2");
  EXPECT_NE(json.find("\"total_physical_bytes\":2,"), std::string::npos) << json;
  EXPECT_EQ(script().collect_calls, 2);
}

// The families of the exporter's own, in the order they come, and nothing of the library's.
std::vector<std::string> families(const std::string &text) {
  std::vector<std::string> out;
  for (size_t at = text.find("# TYPE "); at != std::string::npos;
       at = text.find("# TYPE ", at + 1)) {
    out.push_back(text.substr(at + 7, text.find(' ', at + 7) - at - 7));
  }
  return out;
}

TEST_F(ScraperTest, NothingButItsOwnFamiliesUntilACollectionSucceeds) {
  auto scraper = make(1000ms);
  script().collect_result = -1;
  for (int i = 1; i <= 2; ++i, now += 1000ms) {
    const std::string failed = scraper.metrics();
    EXPECT_EQ(families(failed),
              (std::vector<std::string>{
                  "winperf_exporter_build_info", "winperf_exporter_collections_total",
                  "winperf_exporter_collect_errors_total", "winperf_exporter_collect_success"}))
        << failed;
    EXPECT_EQ(value_of(failed, "winperf_exporter_collect_success"), "0");
    EXPECT_EQ(value_of(failed, "winperf_exporter_collect_errors_total"), std::to_string(i));
    EXPECT_FALSE(scraper.snapshot().has_value());
  }
  script().collect_result = 0;
  const std::string good = scraper.metrics();
  EXPECT_EQ(value_of(good, "winperf_exporter_collect_success"), "1");
  EXPECT_EQ(value_of(good, "winperf_memory_physical_bytes"), "4");  // init, two failed, this
  EXPECT_NE(value_of(good, "winperf_exporter_last_collect_timestamp_seconds"), "missing");
  EXPECT_TRUE(scraper.snapshot().has_value());
}

TEST_F(ScraperTest, TextfilesAreReadInTheSameCollections) {
  int reads = 0;
  textfile::Collector textfiles(
      {"C:\\t"},
      [&](const std::string &, size_t) {
        ++reads;
        return textfile::Folder{
            true, "", {{"job.prom", true, "job_ok " + std::to_string(reads) + "\n", 1, ""}}};
      },
      [](bool, const std::string &) {});
  exporter::Scraper scraper(
      kLinked, 1000ms, ascii, "9.9.9", [this] { return now; }, &textfiles);
  script().collect_result = -1;  // the library's figures fail; the operator's still come
  EXPECT_EQ(value_of(scraper.metrics(), "job_ok"), "1");
  EXPECT_EQ(value_of(scraper.metrics(), "job_ok"), "1");  // within the minimum interval
  now += 1000ms;
  const std::string text = scraper.metrics();
  EXPECT_EQ(value_of(text, "job_ok"), "2");
  EXPECT_EQ(value_of(text, "winperf_textfile_scrape_error"), "0");
  EXPECT_EQ(reads, 2);
}

TEST_F(ScraperTest, DurationAndTimestampAreThoseOfTheLastSuccess) {
  auto scraper = make(0ms);
  const std::string good = scraper.metrics();
  const std::string stamp = value_of(good, "winperf_exporter_last_collect_timestamp_seconds");
  const std::string took = value_of(good, "winperf_exporter_collect_duration_seconds");
  ASSERT_NE(stamp, "missing");
  script().collect_result = -1;
  script().on_collect = [this](int n) {
    write_collection_number(n);
    now += 250ms;  // a failed collection that takes a while
  };
  const std::string failed = scraper.metrics();
  EXPECT_EQ(value_of(failed, "winperf_exporter_collect_success"), "0");
  EXPECT_EQ(value_of(failed, "winperf_exporter_last_collect_timestamp_seconds"), stamp);
  EXPECT_EQ(value_of(failed, "winperf_exporter_collect_duration_seconds"), took);
  script().collect_result = 0;
  const std::string recovered = scraper.metrics();
  EXPECT_EQ(value_of(recovered, "winperf_exporter_collect_duration_seconds"), "0.25");
}

TEST_F(ScraperTest, AFailedCollectionKeepsTheLastGoodSampleAndCountsTheError) {
  auto scraper = make(0ms);
  EXPECT_EQ(value_of(scraper.metrics(), "winperf_memory_physical_bytes"), "2");
  script().collect_result = -1;
  const std::string failed = scraper.metrics();
  EXPECT_EQ(value_of(failed, "winperf_memory_physical_bytes"), "2");
  EXPECT_EQ(value_of(failed, "winperf_network_receive_errors_total{interface=\"eth2\"}"), "2");
  EXPECT_EQ(value_of(failed, "winperf_exporter_collect_errors_total"), "1");
  EXPECT_EQ(value_of(failed, "winperf_exporter_collections_total"), "2");
  EXPECT_EQ(value_of(failed, "winperf_exporter_build_info{version=\"9.9.9\"}"), "1");
  script().collect_result = 0;
  const std::string recovered = scraper.metrics();
  EXPECT_EQ(value_of(recovered, "winperf_memory_physical_bytes"), "4");
  EXPECT_EQ(value_of(recovered, "winperf_exporter_collect_errors_total"), "1");
}

TEST_F(ScraperTest, ConcurrentScrapesSeeWholeSamples) {
  exporter::Scraper scraper(kLinked, 0ms, ascii, "9.9.9");
  std::atomic<int> torn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = scraper.metrics();
        const std::string n = value_of(text, "winperf_memory_physical_bytes");
        if (value_of(text, "winperf_system_processes") != n ||
            value_of(text, "winperf_network_receive_errors_total{interface=\"eth" + n + "\"}") !=
                n) {
          ++torn;
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(script().collect_calls, 1 + 8 * 200);
}

}  // namespace
