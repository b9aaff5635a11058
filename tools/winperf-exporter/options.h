// The exporter's settings, in the conventions of Prometheus exporters: flags given as
// --name=value or --name value, and a YAML configuration file whose keys are the flag names
// without "--". Flags on the command line win over the file.
#pragma once

#include <chrono>
#include <functional>
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
  std::string log_file;     // UTF-8; empty: stderr in a console, the Event Log as a service
  std::string config_file;  // UTF-8; the file the settings were read from, if any
  std::string web_config_file;  // UTF-8; TLS, users and headers; empty: plain HTTP, no users
  std::vector<std::string> textfile_directories;  // UTF-8, in the order given
};

struct ParseResult {
  enum Outcome {
    run,
    show_help,
    show_version,
    bad_usage,    // exit 2
    cannot_read,  // the configuration file could not be read: exit 1
  } outcome = run;
  std::string message;      // what was wrong, naming the flag, or the file, line and key
  bool show_usage = false;  // whether the usage helps: a mistake on the command line
};

// Reads a whole file given by its UTF-8 path. Returns false with reason set when it cannot.
using FileReader =
    std::function<bool(const std::string &path, std::string &content, std::string &reason)>;

ParseResult parse_options(const std::vector<std::string_view> &args, Options &options,
                          const FileReader &read_file);

// A Prometheus duration: "500ms", "1s", "2m", "1h30m" (units y w d h m s ms, largest first).
bool parse_duration(std::string_view text, std::chrono::milliseconds &out);

// "[HOST]:PORT"; an IPv6 host in brackets ("[::1]:10182").
bool parse_listen_address(std::string_view text, std::string &host, int &port);

// A path the metrics can be served on: it starts with "/", is printable ASCII without spaces,
// "?" or "#", and is none of the exporter's other paths.
bool is_valid_telemetry_path(std::string_view path);

extern const char kUsage[];

}  // namespace exporter
