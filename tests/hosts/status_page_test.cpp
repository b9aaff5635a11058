// The status page: every core, volume and interface of the sample shown, names kept as text,
// bars that stay within their track, nothing fetched from elsewhere, and the same collection as
// a scrape.
#include "status_page.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "code_pages.h"
#include "scraper.h"
#include "scripted_platform.h"
#include "winperf_internal.h"

namespace {

size_t occurrences(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

template <size_t N>
void set_name(char (&field)[N], const char *name) {
  std::snprintf(field, N, "%s", name);
}

winperf_sample::Sample sample_with(uint32_t cores, int disks, int nets) {
  winperf_sample::Sample s;
  s.cpu.core_count = cores;
  for (int i = 0; i < disks; ++i) {
    std::snprintf(s.disks[i].name, sizeof s.disks[i].name, "%c:", 'C' + i % 24);
    s.disks[i].total_bytes = 100;
    s.disks[i].free_bytes = 25;
  }
  s.disk_count = disks;
  for (int i = 0; i < nets; ++i) std::snprintf(s.nets[i].name, sizeof s.nets[i].name, "nic %d", i);
  s.net_count = nets;
  return s;
}

std::string page_of(const winperf_sample::Sample *s, const char *host = "web-01",
                    const winperf_names::Decoder &decode = code_page("WINDOWS-1252")) {
  exporter::StatusFacts facts;
  facts.sample = s;
  facts.host_name = host;
  facts.version = "9.9.9";
  facts.telemetry_path = "/metrics";
  facts.last_ok = s != nullptr;
  facts.last_good_unix_seconds = 1796800000;
  return exporter::render_status_page(facts, decode);
}

TEST(StatusPage, ShowsEveryCoreVolumeAndInterface) {
  struct Case {
    uint32_t cores;
    int disks, nets;
  };
  for (const Case c : {Case{1, 0, 0}, Case{8, 3, 2},
                       Case{WINPERF_MAX_CORES, WINPERF_MAX_DISKS, WINPERF_MAX_NETS}}) {
    const winperf_sample::Sample s = sample_with(c.cores, c.disks, c.nets);
    const std::string page = page_of(&s);
    SCOPED_TRACE(std::to_string(c.cores) + " cores, " + std::to_string(c.disks) + " volumes");
    EXPECT_EQ(occurrences(page, "class=\"meter core\""), c.cores);
    EXPECT_EQ(occurrences(page, "class=\"volume\""), static_cast<size_t>(c.disks));
    EXPECT_EQ(occurrences(page, "<tr class=\"interface\">"), static_cast<size_t>(c.nets));
    EXPECT_NE(page.find("core " + std::to_string(c.cores - 1) + "<"), std::string::npos);
    EXPECT_EQ(page.find("core " + std::to_string(c.cores) + "<"), std::string::npos);
  }
}

TEST(StatusPage, NamesStayText) {
  struct Case {
    const char *raw;       // as the system reports it, in its ANSI code page
    const char *shown;     // what the page must hold
    const char *not_seen;  // what it must not
  };
  const Case cases[] = {
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;", "<script"},
      {"Intel & \"Co\" 'x'", "Intel &amp; &quot;Co&quot; &#39;x&#39;", "& \""},
      {"Z\xfcrich \x80", "Z\xc3\xbcrich \xe2\x82\xac", "\xfc"},  // windows-1252: ü and €
      {"a<b\x81", "a&lt;b\xef\xbf\xbd", "a<b"},                  // 0x81 is not a character there
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.raw);
    winperf_sample::Sample s = sample_with(1, 1, 1);
    set_name(s.disks[0].name, c.raw);
    set_name(s.nets[0].name, c.raw);
    const std::string page = page_of(&s);
    EXPECT_EQ(occurrences(page, c.shown), 2u);  // the volume and the interface
    EXPECT_EQ(page.find(c.not_seen), std::string::npos);
  }
  // The host name comes as UTF-8 already: the title and the heading.
  const winperf_sample::Sample s = sample_with(1, 0, 0);
  const std::string page = page_of(&s, "<i>web & co</i> Z\xc3\xbcrich");
  EXPECT_EQ(occurrences(page, "&lt;i&gt;web &amp; co&lt;/i&gt; Z\xc3\xbcrich"), 2u);
  EXPECT_EQ(page.find("<i>"), std::string::npos);
}

TEST(StatusPage, BarsStayWithinTheirTrack) {
  struct Case {
    const char *what;
    double cpu_percent;
    uint64_t total, free;
    const char *disk_width;
  };
  const Case cases[] = {
      {"ordinary", 42, 100, 25, "width:75.0%"},
      {"a core above 100 %", 150, 100, 0, "width:100.0%"},
      {"more free than size", -5, 100, 400, "width:0.0%"},
      {"a volume of size 0", 0, 0, 0, "width:0.0%"},
      {"usage not a number", std::nan(""), 100, 100, "width:0.0%"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    winperf_sample::Sample s = sample_with(1, 1, 0);
    s.cpu.total_usage_percent = c.cpu_percent;
    s.cpu.cores[0].usage_percent = c.cpu_percent;
    s.disks[0].total_bytes = c.total;
    s.disks[0].free_bytes = c.free;
    const std::string page = page_of(&s);
    const size_t volume = page.find("class=\"volume\"");
    ASSERT_NE(volume, std::string::npos);
    EXPECT_NE(page.find(c.disk_width, volume), std::string::npos);
    for (size_t at = page.find("width:"); at != std::string::npos;
         at = page.find("width:", at + 1)) {
      if (page.compare(at, 8, "width:de") == 0) continue;  // the viewport's
      const double width = std::stod(page.substr(at + 6));
      EXPECT_GE(width, 0.0);
      EXPECT_LE(width, 100.0);
    }
  }
}

TEST(StatusPage, NeedsNothingFromElsewhere) {
  const winperf_sample::Sample s = sample_with(4, 2, 2);
  for (const std::string &page : {page_of(&s), page_of(nullptr)}) {
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("url("), std::string::npos);
    EXPECT_EQ(page.find("@import"), std::string::npos);
    EXPECT_EQ(page.find("href=\"http"), std::string::npos);
    EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
    for (const char *link : {"href=\"/metrics\"", "href=\"/snapshot\"", "href=\"/-/healthy\""}) {
      EXPECT_NE(page.find(link), std::string::npos) << link;
    }
  }
}

TEST(StatusPage, BeforeTheFirstCollectionSaysSo) {
  const std::string page = page_of(nullptr);
  EXPECT_NE(page.find("No collection has succeeded yet"), std::string::npos);
  EXPECT_NE(page.find("the last collection failed"), std::string::npos);
  EXPECT_EQ(page.find("id=\"processors\""), std::string::npos);
}

TEST(StatusPage, ShowsTheFiguresOfTheSample) {
  winperf_sample::Sample s = sample_with(2, 1, 1);
  s.system.uptime_seconds = 3 * 86400 + 4 * 3600 + 5 * 60 + 6;
  s.memory.total_physical_bytes = 16ull << 30;
  s.memory.available_physical_bytes = 4ull << 30;
  s.nets[0].bytes_recv_sec = 1536;
  s.nets[0].is_up = 1;
  const std::string page = page_of(&s);
  for (const char *figure :
       {"up 3 d 04:05:06", "collected 2026-12-09 ", "12.0 GiB used of 16.0 GiB", "75 %",
        "1.5 KiB/s", "class=\"up\">up", "winperf exporter 9.9.9"}) {
    EXPECT_NE(page.find(figure), std::string::npos) << figure;
  }
}

class StatusPageScrape : public ::testing::Test {
 protected:
  void SetUp() override {
    winperf_cleanup();
    reset_script();
    script().on_collect = [](int n) { g_sys_info.process_count = static_cast<uint32_t>(n); };
    ASSERT_EQ(winperf_init(), 0);
  }
  void TearDown() override {
    winperf_cleanup();
    reset_script();
  }
};

// The page is one more view of the collection a scrape serves: within the interval it collects
// nothing of its own, and it shows what /metrics shows.
TEST_F(StatusPageScrape, UsesTheCollectionOfTheScrapes) {
  exporter::Scraper scraper(winperf_loader::linked_api(), std::chrono::hours(1),
                            code_page("WINDOWS-1252"), "9.9.9");
  const std::string metrics = scraper.metrics();
  const std::string page = scraper.status_page("web-01", "/metrics");
  EXPECT_NE(scraper.metrics().find("\nwinperf_exporter_collections_total 1\n"), std::string::npos);
  const size_t at = metrics.find("\nwinperf_system_processes ");
  ASSERT_NE(at, std::string::npos);
  const std::string processes = metrics.substr(at + 26, metrics.find('\n', at + 1) - at - 26);
  EXPECT_NE(page.find("<dt>Processes</dt><dd>" + processes + "</dd>"), std::string::npos);
}

}  // namespace
