// The hosts' renderings, on samples that a live machine rarely gives.
#include "report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "code_pages.h"
#include "exposition.h"

namespace {

struct TextCase {
  std::string in, out;
};

TEST(Report, LabelValuesEscapeBackslashQuoteAndNewline) {
  const TextCase cases[] = {{"eth0", "eth0"},
                            {R"(Intel "Pro" \ 1)", R"(Intel \"Pro\" \\ 1)"},
                            {"two\nlines", R"(two\nlines)"},
                            {"tab\tstays", "tab\tstays"},
                            {"caf\xc3\xa9", "caf\xc3\xa9"}};
  for (const auto &c : cases) EXPECT_EQ(exposition::label_value(c.in), c.out) << c.in;
}

TEST(Report, BarsAreClampedAndRounded) {
  EXPECT_EQ(report::bar(0, 10), "[..........]");
  EXPECT_EQ(report::bar(54.9, 10), "[#####.....]");
  EXPECT_EQ(report::bar(55.0, 10), "[######....]");
  EXPECT_EQ(report::bar(100, 4), "[####]");
  EXPECT_EQ(report::bar(-20, 4), "[....]");
  EXPECT_EQ(report::bar(250, 4), "[####]");
}

TEST(Report, BytesAndDurationsReadAsPeopleWriteThem) {
  EXPECT_EQ(report::bytes(0), "0 B");
  EXPECT_EQ(report::bytes(1023), "1023 B");
  EXPECT_EQ(report::bytes(1536), "1.5 KiB");
  EXPECT_EQ(report::bytes(16ull << 30), "16.0 GiB");
  EXPECT_EQ(report::bytes(UINT64_MAX), "16.0 EiB");
  EXPECT_EQ(report::duration(0), "0d 00:00:00");
  EXPECT_EQ(report::duration(3 * 86400 + 4 * 3600 + 5 * 60 + 6), "3d 04:05:06");
}

report::Sample tricky_sample() {
  report::Sample s;
  s.cpu.core_count = 2;
  s.cpu.total_usage_percent = 12.5;
  s.cpu.cores[1].frequency_mhz = 3400;
  std::strcpy(s.disks[0].name, "C:");
  s.disks[0].total_bytes = 100;
  s.disks[0].free_bytes = 200;  // more free than total: no negative used share
  s.disk_count = 1;
  std::strcpy(s.nets[0].name, "Hyper-V \"Virtual\" \\ Adapter");
  std::strcpy(s.nets[1].name, "Hyper-V \"Virtual\" \\ Adapter");
  s.nets[1].is_up = 1;
  s.nets[1].errors_in = 7;
  s.net_count = 2;
  return s;
}

TEST(Report, PrometheusSeriesStayUniqueAndLabelsEscaped) {
  exposition::Writer w;
  exposition::write_sample(w, tricky_sample(), code_page("CP1252"));
  const std::string text = w.take();
  EXPECT_NE(text.find("winperf_cpu_usage_ratio 0.125\n"), std::string::npos);
  EXPECT_NE(text.find("winperf_cpu_core_frequency_hertz{core=\"1\"} 3400000000\n"),
            std::string::npos);
  EXPECT_NE(text.find(R"(winperf_network_up{interface="Hyper-V \"Virtual\" \\ Adapter"} 0)"),
            std::string::npos);
  EXPECT_NE(
      text.find(
          R"(winperf_network_receive_errors_total{interface="Hyper-V \"Virtual\" \\ Adapter #2"} 7)"),
      std::string::npos);
  EXPECT_NE(text.find("# TYPE winperf_network_receive_errors_total counter\n"), std::string::npos);
}

TEST(Report, TableShowsEverySection) {
  const std::string text = report::table(tricky_sample());
  for (const char *heading :
       {"CPU ", "  core 1 ", "Memory ", "Disks ", "  C: ", "Network ", "System "}) {
    EXPECT_NE(text.find(heading), std::string::npos) << heading;
  }
  EXPECT_NE(text.find("  C:        0.0%"), std::string::npos) << text;
}

}  // namespace
