// The textfile collector's rules: encodings, the exposition format as Prometheus reads it, one
// file all or nothing, files merged in path order, and what the collector says of itself.
#include "textfile.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "textfile_collector.h"

namespace {

using namespace std::string_literals;

// ---- Encodings ---------------------------------------------------------------------------------

TEST(TextfileDecode, EncodingsWindowsWritesAndWhatIsNotText) {
  const struct {
    std::string bytes;
    const char *utf8;  // nullptr: an error
    size_t offset;
    const char *message_part;
  } cases[] = {
      {"a 1\n", "a 1\n", 0, ""},
      {"\xEF\xBB\xBF"
       "a 1\n",
       "a 1\n", 0, ""},
      {"\xFF\xFE"
       "a\0 \0"
       "1\0\n\0"s,
       "a 1\n", 0, ""},
      {"\xFE\xFF"
       "\0a\0 \0"
       "1\0\n"s,
       "a 1\n", 0, ""},
      {"\xFF\xFE"
       "\xFC\0"s,
       "\xC3\xBC", 0, ""},  // ü
      {"\xFF\xFE"
       "=\xD8\0\xDE"s,
       "\xF0\x9F\x98\x80", 0, ""},  // U+1F600, a surrogate pair
      {"\xFF\xFE"
       "a\0b"s,
       nullptr, 4, "odd number of bytes"},
      {"\xFF\xFE"
       "a\0\0\xDC"s,
       nullptr, 4, "unpaired UTF-16 surrogate"},
      {"\xFF\xFE"
       "a\0\0\xD8"
       "b\0"s,
       nullptr, 4, "unpaired UTF-16 surrogate"},
      {"\xFF\xFE"
       "a\0\0\0"s,
       nullptr, 4, "a NUL character"},
      {"a\0 \0"
       "1\0"s,
       nullptr, 1, "byte-order mark"},  // UTF-16 without its BOM
      {"a{x=\"\xC3(\"} 1\n", nullptr, 5, "not UTF-8"},
      {"a{x=\"\xE9t\xE9\"} 1\n", nullptr, 5, "not UTF-8"},  // Latin-1
      {"\xEF\xBB\xBF"
       "a{x=\"\xC0\xAF\"} 1\n",
       nullptr, 8, "not UTF-8"},                               // overlong
      {"a{x=\"\xED\xA0\x80\"} 1\n", nullptr, 5, "not UTF-8"},  // a surrogate
      {"a 1\n\xF4\x90\x80\x80", nullptr, 4, "not UTF-8"},      // beyond U+10FFFF
      {"a 1\n\xE2\x82", nullptr, 4, "not UTF-8"},              // cut short
  };
  for (const auto &c : cases) {
    std::string out;
    textfile::Error error;
    const bool ok = textfile::decode(c.bytes, out, error);
    EXPECT_EQ(ok, c.utf8 != nullptr) << testing::PrintToString(c.bytes) << ": " << error.text();
    if (ok) {
      EXPECT_EQ(out, c.utf8) << testing::PrintToString(c.bytes);
    } else {
      EXPECT_EQ(error.offset, c.offset) << testing::PrintToString(c.bytes);
      EXPECT_NE(error.message.find(c.message_part), std::string::npos) << error.message;
    }
  }
}

// ---- The format
// ----------------------------------------------------------------------------------

std::string rendered(const std::string &text) {
  std::vector<textfile::Family> families;
  textfile::Error error;
  if (!textfile::parse(text, families, error)) return "error: " + error.text();
  textfile::Merger merger("winperf_", 1000);
  if (!merger.add("f.prom", std::move(families), error)) return "merge error: " + error.text();
  std::string out;
  merger.render(out);
  return out;
}

TEST(TextfileParse, WhatPrometheusReads) {
  const struct {
    const char *text;
    const char *rendered;
  } cases[] = {
      {"", ""},
      {"\n  \n# just a comment\n#\n# HELP\n# TYPE only_a_name\n", ""},
      {"a 1", "# TYPE a untyped\na 1\n"},  // no last newline
      {"# HELP a Its help.\r\n# TYPE a gauge\r\na 1.5\r\n",
       "# HELP a Its help.\n# TYPE a gauge\na 1.5\n"},
      {"\t a{x=\"1\" , y = \"two\",} \t 3 \n", "# TYPE a untyped\na{x=\"1\",y=\"two\"} 3\n"},
      {"a{} 1\nb {x=\"\"} 2\n", "# TYPE a untyped\na 1\n# TYPE b untyped\nb{x=\"\"} 2\n"},
      {"a{v=\"q\\\"b\\\\s\\nn\xC3\xBC\"} 1\n",
       "# TYPE a untyped\na{v=\"q\\\"b\\\\s\\nn\xC3\xBC\"} 1\n"},
      {"# HELP a x\\\\y\\nz \\\"q\\\"\na 1\n",
       "# HELP a x\\\\y\\nz \"q\"\n# TYPE a untyped\na 1\n"},
      {"# TYPE a GAUGE\na{v=\"1\"} +Inf\na{v=\"2\"} -inf\na{v=\"3\"} NaN\na{v=\"4\"} 1e3\n"
       "a{v=\"5\"} .5\na{v=\"6\"} 5.\na{v=\"7\"} -0\na{v=\"8\"} Infinity\na{v=\"9\"} 1E-400\n",
       "# TYPE a gauge\na{v=\"1\"} +Inf\na{v=\"2\"} -Inf\na{v=\"3\"} NaN\na{v=\"4\"} 1000\n"
       "a{v=\"5\"} 0.5\na{v=\"6\"} 5\na{v=\"7\"} -0\na{v=\"8\"} +Inf\na{v=\"9\"} 0\n"},
      {"# TYPE ns:rate_5m counter\nns:rate_5m 4\n", "# TYPE ns:rate_5m counter\nns:rate_5m 4\n"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 3\nh_count 2\n",
       "# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 3\nh_count 2\n"},
      {"# TYPE s summary\ns{quantile=\"0.5\",x=\"a\"} 1\ns_sum{x=\"a\"} 3\ns_count{x=\"a\"} 2\n",
       "# TYPE s summary\ns{quantile=\"0.5\",x=\"a\"} 1\ns_sum{x=\"a\"} 3\ns_count{x=\"a\"} 2\n"},
      {"a_bucket{le=\"1\"} 1\n", "# TYPE a_bucket untyped\na_bucket{le=\"1\"} 1\n"},
      {"# HELP empty_family never sampled\nb 1\n", "# TYPE b untyped\nb 1\n"},
      {"b 1\na 2\n", "# TYPE a untyped\na 2\n# TYPE b untyped\nb 1\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(rendered(c.text), c.rendered) << c.text;
}

TEST(TextfileParse, EachMistakeMakesTheFileAnErrorAtItsLine) {
  const struct {
    const char *text;
    size_t line;
    const char *message_part;
  } cases[] = {
      {"1abc 1\n", 1, "invalid metric name"},
      {"ok 1\na-b 1\n", 2, "expected a number"},
      {"\"quoted\" 1\n", 1, "invalid metric name"},
      {"a{1x=\"v\"} 1\n", 1, "invalid label name"},
      {"a{x=\"1\",x=\"2\"} 1\n", 1, "the label x twice"},
      {"a{__name__=\"b\"} 1\n", 1, "reserved"},
      {"a{x=\"1\"} 1\na{x=\"1\"} 2\n", 2, "the same series twice"},
      {"a{x=\"1\",y=\"2\"} 1\na{y=\"2\",x=\"1\"} 2\n", 2, "the same series twice"},
      {"a 1\n# TYPE a gauge\n", 2, "a TYPE after its samples"},
      {"# TYPE a gauge\n# TYPE a counter\na 1\n", 2, "a second TYPE line"},
      {"# HELP a one\n# HELP a two\na 1\n", 2, "a second HELP line"},
      {"# TYPE a gaugee\n", 1, "unknown metric type"},
      {"# TYPE a gauge extra\n", 1, "unknown metric type"},
      {"# HELP a-b x\n", 1, "invalid metric name in a HELP line"},
      {"a 1\nb 1\na{x=\"y\"} 2\n", 3, "split"},
      {"# HELP a x\nb 1\n# TYPE a gauge\na 1\n", 3, "split"},
      {"a 1 1700000000000\n", 1, "client-side timestamps are not supported"},
      {"a 1 -5\n", 1, "client-side timestamps are not supported"},
      {"a 1 x\n", 1, "unexpected text after the value"},
      {"a one\n", 1, "expected a number"},
      {"a 0x10\n", 1, "expected a number"},
      {"a 1_000\n", 1, "expected a number"},
      {"a +NaN\n", 1, "expected a number"},
      {"a 1e400\n", 1, "expected a number"},
      {"a 1e\n", 1, "expected a number"},
      {"a\n", 1, "no value"},
      {"a{x=\"v\"}\n", 1, "no value"},
      {"a{x=\"v\" y=\"w\"} 1\n", 1, "expected , or }"},
      {"a{x=\"v} 1\n", 1, "without its closing"},
      {"a{x=v} 1\n", 1, "expected \" to start"},
      {"a{x \"v\"} 1\n", 1, "expected = after"},
      {"a{x=\"\\t\"} 1\n", 1, "invalid escape sequence \\t"},
      {"# HELP a C:\\temp\n", 1, "invalid escape sequence \\t in HELP"},
      {"# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_sum 1\nh_count 1\n", 2, "no +Inf bucket"},
      {"# TYPE h histogram\nh_bucket{le=\"+Inf\",x=\"a\"} 1\nh_count{x=\"b\"} 1\n", 3,
       "no +Inf bucket"},
      {"# TYPE h histogram\nh_bucket{le=\"x\"} 1\n", 2, "expected a number as le"},
      {"# TYPE h histogram\nh_bucket 1\n", 2, "has no le label"},
      {"# TYPE h histogram\nh 1\n", 2, "a histogram's samples"},
      {"# TYPE h histogram\nh_bucket{le=\"+Inf\"} 1\nh_sum{le=\"1\"} 1\n", 3, "an le label"},
      {"# TYPE s summary\ns 1\n", 2, "has no quantile label"},
      {"# TYPE s summary\ns{quantile=\"half\"} 1\n", 2, "expected a number as quantile"},
      {"# TYPE s summary\ns_count{quantile=\"0.5\"} 1\n", 2, "a quantile label on"},
      {"s_count 5\n# TYPE s summary\ns{quantile=\"1\"} 1\n", 1, "clashes with the summary s"},
  };
  for (const auto &c : cases) {
    std::vector<textfile::Family> families;
    textfile::Error error;
    EXPECT_FALSE(textfile::parse(c.text, families, error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text << ": " << error.text();
    EXPECT_NE(error.message.find(c.message_part), std::string::npos)
        << c.text << ": " << error.text();
    EXPECT_TRUE(families.empty()) << c.text;
  }
}

// ---- Across files ------------------------------------------------------------------------------

struct Merged {
  std::vector<std::string> refused;  // "file: error"
  std::string text;
};

Merged merge(const std::vector<std::pair<std::string, std::string>> &files,
             size_t max_series = 1000) {
  textfile::Merger merger("winperf_", max_series);
  Merged out;
  for (const auto &[name, text] : files) {
    std::vector<textfile::Family> families;
    textfile::Error error;
    if (!textfile::parse(text, families, error) || !merger.add(name, std::move(families), error)) {
      out.refused.push_back(name + ": " + error.text());
    }
  }
  merger.render(out.text);
  return out;
}

TEST(TextfileMerge, FamiliesMergeWhenTheyAgreeAndALaterFileThatConflictsIsLeftOut) {
  auto m = merge(
      {{"a.prom", "# TYPE job_ok gauge\njob_ok{job=\"a\"} 1\n"},
       {"b.prom", "# HELP job_ok Whether the job ran.\n# TYPE job_ok gauge\njob_ok{job=\"b\"} 0\n"},
       {"c.prom",
        "# HELP job_ok Another help.\njob_ok{job=\"c\"} 1\n# TYPE other gauge\nother 1\n"}});
  // c.prom says job_ok is untyped where the others say gauge: all of c.prom is left out.
  ASSERT_EQ(m.refused.size(), 1u);
  EXPECT_NE(m.refused[0].find("c.prom: line 1: job_ok is a untyped here but a gauge"),
            std::string::npos)
      << m.refused[0];
  EXPECT_EQ(m.text,
            "# HELP job_ok Whether the job ran.\n# TYPE job_ok gauge\njob_ok{job=\"a\"} 1\n"
            "job_ok{job=\"b\"} 0\n");

  m = merge({{"a.prom", "x{k=\"1\"} 1\n"}, {"b.prom", "y 2\nx{k=\"1\"} 3\n"}});
  ASSERT_EQ(m.refused.size(), 1u);
  EXPECT_NE(m.refused[0].find("b.prom: line 2: the series x{k=\"1\"} is also in a.prom"),
            std::string::npos)
      << m.refused[0];
  EXPECT_EQ(m.text, "# TYPE x untyped\nx{k=\"1\"} 1\n");  // y went with the rest of b.prom
}

TEST(TextfileMerge, TheExportersNamesTheLimitAndNameClashes) {
  const struct {
    std::vector<std::pair<std::string, std::string>> files;
    size_t max_series;
    const char *refused_part;  // of the last file
  } cases[] = {
      {{{"a.prom", "winperf_memory_physical_bytes 1\n"}}, 100, "the exporter's own (winperf_*)"},
      {{{"a.prom", "# TYPE winperf_x histogram\nwinperf_x_bucket{le=\"+Inf\"} 1\n"}},
       100,
       "the exporter's own"},
      {{{"a.prom", "a 1\nb 1\n"}, {"b.prom", "c 1\nd 1\n"}}, 3, "more than 3 series"},
      {{{"a.prom", "# TYPE s summary\ns{quantile=\"1\"} 1\n"}, {"b.prom", "s_count 1\n"}},
       100,
       "clashes with the summary s"},
      {{{"a.prom", "h_bucket 1\n"}, {"b.prom", "# TYPE h histogram\nh_bucket{le=\"+Inf\"} 1\n"}},
       100,
       "clashes with the family h_bucket"},
  };
  for (const auto &c : cases) {
    const Merged m = merge(c.files, c.max_series);
    ASSERT_EQ(m.refused.size(), 1u) << c.files.back().second;
    EXPECT_EQ(m.refused[0].rfind(c.files.back().first, 0), 0u) << m.refused[0];
    EXPECT_NE(m.refused[0].find(c.refused_part), std::string::npos) << m.refused[0];
  }
}

// ---- The collector -----------------------------------------------------------------------------

struct FakeFolders {
  std::map<std::string, textfile::Folder> folders;
  textfile::Folder operator()(const std::string &folder, size_t) const {
    const auto it = folders.find(folder);
    if (it == folders.end()) return {false, "The system cannot find the path specified.", {}};
    return it->second;
  }
};

TEST(TextfileCollector, ServesWhatParsesSaysWhatFailedAndLogsOnlyChanges) {
  auto fs = std::make_shared<FakeFolders>();
  fs->folders["C:\\t"] = {true,
                          "",
                          {{"a.prom", true, "backup_ok 1\n", 1700000000.5, ""},
                           {"b.prom", true, "broken{ 1\n", 1700000001, ""},
                           {"c.prom", false, "", 0, "in use by another process"},
                           {"d.prom", true, std::string((16 << 20) + 1, '#'), 1, ""}}};
  std::vector<std::string> logged;
  textfile::Collector collector(
      {"C:\\t", "D:\\gone\\"}, [fs](const std::string &f, size_t n) { return (*fs)(f, n); },
      [&](bool failing, const std::string &line) {
        logged.push_back((failing ? "" : "cleared ") + line);
      });
  collector.collect();
  const std::string &text = collector.text();
  EXPECT_NE(text.find("# TYPE backup_ok untyped\nbackup_ok 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("winperf_textfile_mtime_seconds{file=\"C:\\\\t\\\\a.prom\"} 1700000000.5\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("mtime_seconds{file=\"C:\\\\t\\\\b.prom\"}"), std::string::npos)
      << "a broken file must not look fresh";
  EXPECT_NE(text.find("winperf_textfile_scrape_error 1\n"), std::string::npos);
  for (const char *failed :
       {"C:\\\\t\\\\b.prom", "C:\\\\t\\\\c.prom", "C:\\\\t\\\\d.prom", "D:\\\\gone\\\\"}) {
    EXPECT_NE(text.find("winperf_textfile_file_error{file=\"" + std::string(failed) + "\"} 1\n"),
              std::string::npos)
        << failed << "\n"
        << text;
  }
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "textfile C:\\t\\b.prom: line 1: invalid label name in broken",
                        "textfile C:\\t\\c.prom: in use by another process",
                        "textfile C:\\t\\d.prom: larger than 16 MiB",
                        "textfile D:\\gone\\: cannot read the folder: The system cannot find the "
                        "path specified."}));

  // The same failures again: nothing more logged. Then each cleared once.
  collector.collect();
  EXPECT_EQ(logged.size(), 4u);
  fs->folders["C:\\t"].files = {{"a.prom", true, "backup_ok 1\n", 1700000000.5, ""}};
  fs->folders["D:\\gone\\"] = {true, "", {}};
  collector.collect();
  EXPECT_EQ(logged.size(), 8u);
  EXPECT_EQ(logged[4], "cleared textfile C:\\t\\b.prom: served again");
  EXPECT_NE(collector.text().find("winperf_textfile_scrape_error 0\n"), std::string::npos);
  EXPECT_EQ(collector.text().find("winperf_textfile_file_error"), std::string::npos);
}

}  // namespace
