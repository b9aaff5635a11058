// The exporter's flags, durations and listen addresses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

using std::chrono::milliseconds;

TEST(Duration, PrometheusDurationsAndNothingElse) {
  const struct {
    const char *text;
    long long ms;  // -1: refused
  } cases[] = {
      {"0", 0},
      {"0s", 0},
      {"500ms", 500},
      {"1s", 1000},
      {"2m", 120000},
      {"1h30m", 5400000},
      {"1s500ms", 1500},
      {"1d", 86400000},
      {"1w", 604800000},
      {"1y", 31536000000},
      {"", -1},
      {"s", -1},
      {"1", -1},
      {"1x", -1},
      {"1s1m", -1},
      {"1m1m", -1},
      {"-1s", -1},
      {"1.5s", -1},
      {" 1s", -1},
      {"1s ", -1},
      {"101y", -1},
      {"99999999999999999999s", -1},
      {"4294967295y", -1},
  };
  for (const auto &c : cases) {
    milliseconds out{-7};
    const bool ok = exporter::parse_duration(c.text, out);
    EXPECT_EQ(ok, c.ms >= 0) << c.text;
    if (ok) {
      EXPECT_EQ(out.count(), c.ms) << c.text;
    }
  }
}

TEST(ListenAddress, HostAndPort) {
  const struct {
    const char *text;
    bool ok;
    const char *host;
    int port;
  } cases[] = {
      {":10182", true, "", 10182},
      {"127.0.0.1:9000", true, "127.0.0.1", 9000},
      {"localhost:1", true, "localhost", 1},
      {"[::1]:65535", true, "::1", 65535},
      {"[::]:80", true, "::", 80},
      {"10182", false, "", 0},
      {":0", false, "", 0},
      {":65536", false, "", 0},
      {":", false, "", 0},
      {"::1:80", false, "", 0},
      {"[::1:80", false, "", 0},
      {"[]:80", false, "", 0},
      {"host:80x", false, "", 0},
      {"host:-80", false, "", 0},
  };
  for (const auto &c : cases) {
    std::string host = "unchanged";
    int port = -1;
    EXPECT_EQ(exporter::parse_listen_address(c.text, host, port), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.text;
      EXPECT_EQ(port, c.port) << c.text;
    } else {
      EXPECT_EQ(host, "unchanged") << c.text;
    }
  }
}

bool no_files(const std::string &, std::string &, std::string &reason) {
  reason = "no files here";
  return false;
}

exporter::ParseResult parse(std::vector<std::string_view> args, exporter::Options &o) {
  return exporter::parse_options(args, o, no_files);
}

TEST(Flags, BothFormsAndEveryFlag) {
  exporter::Options o;
  const auto r = parse(
      {"--web.listen-address", "127.0.0.1:9999", "--web.telemetry-path=/m", "--web.max-requests=0",
       "--collector.min-interval", "250ms", "--log.file", "C:\\logs\\exporter.log"},
      o);
  EXPECT_EQ(r.outcome, exporter::ParseResult::run) << r.message;
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 9999);
  EXPECT_EQ(o.telemetry_path, "/m");
  EXPECT_EQ(o.max_requests, 0);
  EXPECT_EQ(o.min_interval, milliseconds(250));
  EXPECT_EQ(o.log_file, "C:\\logs\\exporter.log");
}

TEST(Flags, Defaults) {
  exporter::Options o;
  EXPECT_EQ(parse({}, o).outcome, exporter::ParseResult::run);
  EXPECT_EQ(o.host, "");
  EXPECT_EQ(o.port, 10182);
  EXPECT_EQ(o.telemetry_path, "/metrics");
  EXPECT_EQ(o.max_requests, 40);
  EXPECT_EQ(o.min_interval, milliseconds(1000));
}

TEST(Flags, HelpVersionAndMistakes) {
  const struct {
    std::vector<std::string_view> args;
    exporter::ParseResult::Outcome outcome;
    const char *message_part;
  } cases[] = {
      {{"-h"}, exporter::ParseResult::show_help, ""},
      {{"--web.max-requests=5", "--help"}, exporter::ParseResult::show_help, ""},
      {{"--version"}, exporter::ParseResult::show_version, ""},
      {{"--bogus"}, exporter::ParseResult::bad_usage, "unknown flag '--bogus'"},
      {{"serve"}, exporter::ParseResult::bad_usage, "unknown flag 'serve'"},
      {{"-web.listen-address=:1"}, exporter::ParseResult::bad_usage, "unknown flag"},
      {{"--help=yes"}, exporter::ParseResult::bad_usage, "--help takes no value"},
      {{"--web.listen-address"}, exporter::ParseResult::bad_usage, "needs a value"},
      {{"--web.listen-address=80"}, exporter::ParseResult::bad_usage, "--web.listen-address '80'"},
      {{"--web.telemetry-path=metrics"}, exporter::ParseResult::bad_usage, "starts with /"},
      {{"--web.telemetry-path=/"}, exporter::ParseResult::bad_usage, "telemetry-path '/'"},
      {{"--web.telemetry-path=/-/healthy"}, exporter::ParseResult::bad_usage, "healthy"},
      {{"--web.max-requests=-1"}, exporter::ParseResult::bad_usage, "0 to 100000"},
      {{"--web.max-requests=100001"}, exporter::ParseResult::bad_usage, "0 to 100000"},
      {{"--collector.min-interval=fast"}, exporter::ParseResult::bad_usage, "duration"},
      {{"--log.file="}, exporter::ParseResult::bad_usage, "expected a file name"},
      {{"--web.max-requests=3", "--web.listen-address=x"},
       exporter::ParseResult::bad_usage,
       "[HOST]:PORT"},
  };
  for (const auto &c : cases) {
    exporter::Options o;
    const auto r = parse(c.args, o);
    EXPECT_EQ(r.outcome, c.outcome) << c.args[0];
    EXPECT_NE(r.message.find(c.message_part), std::string::npos) << r.message;
    EXPECT_EQ(r.show_usage, c.outcome == exporter::ParseResult::bad_usage) << c.args[0];
  }
}

// Matched as it stands: pattern characters are plain characters; what a URL would read
// otherwise (spaces, ? and #, anything not printable ASCII) is refused.
TEST(Flags, TelemetryPathIsAPathNotAPattern) {
  const struct {
    const char *path;
    bool ok;
  } cases[] = {
      {"/metrics", true},   {"/stats+", true},     {"/a.b", true},     {"/a*", true},
      {"/a[1]", true},      {"/metrics(", true},   {"/x/%41", true},   {"/-/metrics", true},
      {"/metrics/", true},  {"", false},           {"metrics", false}, {"/", false},
      {"/snapshot", false}, {"/-/healthy", false}, {"/a b", false},    {"/a?b", false},
      {"/a#b", false},      {"/a\tb", false},      {"/\x7f", false},   {"/m\xc3\xa9trics", false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(exporter::is_valid_telemetry_path(c.path), c.ok) << c.path;
    exporter::Options o;
    const std::string flag = std::string("--web.telemetry-path=") + c.path;
    const auto r = parse({flag}, o);
    EXPECT_EQ(r.outcome, c.ok ? exporter::ParseResult::run : exporter::ParseResult::bad_usage)
        << c.path;
    if (c.ok) {
      EXPECT_EQ(o.telemetry_path, c.path);
    } else {
      EXPECT_NE(r.message.find("invalid --web.telemetry-path '"), std::string::npos) << r.message;
    }
  }
}

}  // namespace
