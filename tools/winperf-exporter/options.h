// The exporter's command line, in the conventions of Prometheus exporters: --name=value or
// --name value.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

struct Options {
  std::string host;  // empty: every IPv4 address
  int port = 10182;
  std::string telemetry_path = "/metrics";
  int max_requests = 40;  // scrapes served at once; 0: no limit
  std::chrono::milliseconds min_interval{1000};
  std::string log_file;  // empty: stderr in a console, the Event Log as a service
};

struct ParseResult {
  enum Outcome { run, show_help, show_version, bad_usage } outcome = run;
  std::string message;  // for bad_usage: what was wrong
};

ParseResult parse_options(const std::vector<std::string_view> &args, Options &options);

// A Prometheus duration: "500ms", "1s", "2m", "1h30m" (units y w d h m s ms, largest first).
bool parse_duration(std::string_view text, std::chrono::milliseconds &out);

// "[HOST]:PORT"; an IPv6 host in brackets ("[::1]:10182").
bool parse_listen_address(std::string_view text, std::string &host, int &port);

extern const char kUsage[];

}  // namespace exporter
