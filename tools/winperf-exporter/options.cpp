#include "options.h"

#include <charconv>
#include <cstdint>

#include "config_file.h"

namespace exporter {

const char kUsage[] =
    "usage: winperf-exporter [flags]\n"
    "  --config.file=PATH                read settings from this YAML file; flags win over it\n"
    "  --web.listen-address=[HOST]:PORT  address to serve on (default :10182)\n"
    "  --web.telemetry-path=PATH         path of the metrics (default /metrics)\n"
    "  --web.max-requests=N              scrapes served at once, 0 for no limit (default 40)\n"
    "  --web.config.file=PATH            TLS, basic-auth users and headers, in the web\n"
    "                                    configuration format of Prometheus exporters\n"
    "  --collector.min-interval=DURATION a scrape sooner than this after the last collection\n"
    "                                    is answered from it (default 1s; 0s collects always)\n"
    "  --log.file=PATH                   also write events to this file, one line each\n"
    "  --collector.textfile.directory=DIR  serve the *.prom files of this folder too; may be\n"
    "                                    given again for more folders\n"
    "  --version                         print the version and exit\n"
    "  -h, --help                        print this help and exit\n";

namespace {

// Reads an unsigned decimal number that fills text and is at most max.
bool parse_number(std::string_view text, uint64_t max, uint64_t &out) {
  if (text.empty()) return false;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && out <= max;
}

// Each setting applies its value or says what it expected instead.
using Apply = std::string (*)(std::string_view value, Options &o);

struct Flag {
  std::string_view name;  // without "--"; also the key in the configuration file
  Apply apply;            // nullptr: a flag without a value
  bool from_file;
  // For a flag that may be given again and again: what empties its list, so that the command
  // line's values replace the file's.
  void (*clear)(Options &) = nullptr;
};

std::string apply_listen_address(std::string_view value, Options &o) {
  if (parse_listen_address(value, o.host, o.port)) return {};
  return "expected [HOST]:PORT with a port from 1 to 65535";
}

std::string apply_telemetry_path(std::string_view value, Options &o) {
  if (!is_valid_telemetry_path(value)) {
    return "expected a path that starts with /, in printable ASCII without spaces, ? or #, "
           "other than /, /snapshot and /-/healthy";
  }
  o.telemetry_path = value;
  return {};
}

std::string apply_max_requests(std::string_view value, Options &o) {
  uint64_t n = 0;
  if (!parse_number(value, 100000, n)) return "expected a whole number from 0 to 100000";
  o.max_requests = static_cast<int>(n);
  return {};
}

std::string apply_min_interval(std::string_view value, Options &o) {
  if (parse_duration(value, o.min_interval)) return {};
  return "expected a duration such as 500ms, 1s or 2m";
}

// The flags that name a file: any non-empty value.
template <std::string Options::*file>
std::string apply_file_name(std::string_view value, Options &o) {
  if (value.empty()) return "expected a file name";
  o.*file = value;
  return {};
}

std::string apply_textfile_directory(std::string_view value, Options &o) {
  if (value.empty()) return "expected a folder";
  o.textfile_directories.emplace_back(value);
  return {};
}

void clear_textfile_directories(Options &o) { o.textfile_directories.clear(); }

constexpr Flag kFlags[] = {
    {"help", nullptr, false},
    {"version", nullptr, false},
    {"config.file", apply_file_name<&Options::config_file>, false},
    {"web.listen-address", apply_listen_address, true},
    {"web.telemetry-path", apply_telemetry_path, true},
    {"web.max-requests", apply_max_requests, true},
    {"web.config.file", apply_file_name<&Options::web_config_file>, true},
    {"collector.min-interval", apply_min_interval, true},
    {"log.file", apply_file_name<&Options::log_file>, true},
    {"collector.textfile.directory", apply_textfile_directory, true, clear_textfile_directories},
};

const Flag *find_flag(std::string_view name) {
  for (const Flag &f : kFlags) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

// A value as it can be shown in a message: control characters escaped.
std::string quoted(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out + "'";
}

ParseResult bad(std::string message, bool usage) {
  return {ParseResult::bad_usage, std::move(message), usage};
}

struct Given {
  const Flag *flag;
  std::string_view value;
};

// The command line as flags and values, in order; help and version end it at once.
ParseResult read_command_line(const std::vector<std::string_view> &args,
                              std::vector<Given> &given) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h") return {ParseResult::show_help, {}};
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const Flag *flag = name.starts_with("--") ? find_flag(name.substr(2)) : nullptr;
    if (flag == nullptr) return bad("unknown flag " + quoted(arg), true);
    if (flag->apply == nullptr) {
      if (eq != std::string_view::npos)
        return bad("flag " + std::string(name) + " takes no value", true);
      return {flag->name == "help" ? ParseResult::show_help : ParseResult::show_version, {}};
    }
    std::string_view value;
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return bad("flag " + std::string(name) + " needs a value", true);
    }
    given.push_back({flag, value});
  }
  return {};
}

// "PATH:LINE: KEY: message", leaving out what the error does not have.
std::string where(const std::string &path, int line, const std::string &key) {
  std::string out = path;
  if (line > 0) {
    out += ':';
    out += std::to_string(line);
  }
  out += ": ";
  if (!key.empty()) {
    out += key;
    out += ": ";
  }
  return out;
}

ParseResult apply_file_setting(const std::string &path, const FileSetting &s, Options &o) {
  const std::string at = where(path, s.line, s.key);
  const Flag *flag = find_flag(s.key);
  if (flag == nullptr) return bad(at + "unknown key", false);
  if (!flag->from_file || flag->apply == nullptr) {
    return bad(at + "cannot be set in a configuration file, only as a flag", false);
  }
  switch (s.form) {
    case FileSetting::Form::null: return bad(at + "needs a value", false);
    case FileSetting::Form::list:
      if (flag->clear == nullptr) return bad(at + "takes one value, not a list", false);
      break;
    case FileSetting::Form::scalar: break;
  }
  for (const std::string &value : s.values) {
    if (const std::string expected = flag->apply(value, o); !expected.empty()) {
      return bad(at + "invalid value " + quoted(value) + ": " + expected, false);
    }
  }
  return {};
}

ParseResult apply_file(const std::string &path, const FileReader &read_file, Options &o) {
  std::string text;
  std::string reason;
  if (!read_file(path, text, reason)) {
    return {ParseResult::cannot_read, "cannot read the configuration file " + path + ": " + reason};
  }
  std::vector<FileSetting> settings;
  FileError error;
  if (!parse_config(text, settings, error)) {
    return bad(where(path, error.line, error.key) + error.message, false);
  }
  for (const FileSetting &s : settings) {
    if (ParseResult r = apply_file_setting(path, s, o); r.outcome != ParseResult::run) return r;
  }
  return {};
}

}  // namespace

bool is_valid_telemetry_path(std::string_view path) {
  if (!path.starts_with('/') || path == "/" || path == "/snapshot" || path == "/-/healthy") {
    return false;
  }
  for (const char c : path) {
    if (c <= ' ' || c > '~' || c == '?' || c == '#') return false;
  }
  return true;
}

bool parse_duration(std::string_view text, std::chrono::milliseconds &out) {
  static constexpr struct {
    std::string_view unit;
    uint64_t ms;
  } kUnits[] = {{"y", 365ull * 86400000},
                {"w", 7ull * 86400000},
                {"d", 86400000},
                {"h", 3600000},
                {"ms", 1},
                {"m", 60000},
                {"s", 1000}};
  // Order of the units in a duration, largest first; "ms" comes after "s".
  static constexpr std::string_view kOrder[] = {"y", "w", "d", "h", "m", "s", "ms"};
  if (text == "0") {
    out = std::chrono::milliseconds(0);
    return true;
  }
  if (text.empty()) return false;
  uint64_t total = 0;
  size_t next_unit = 0;  // units must not repeat or come out of order
  while (!text.empty()) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    uint64_t n = 0;
    if (!parse_number(text.substr(0, digits), UINT32_MAX, n)) return false;
    text.remove_prefix(digits);
    uint64_t unit_ms = 0;
    std::string_view unit;
    for (const auto &u : kUnits) {
      // "ms" before "m": the longer unit wins where both match.
      if (text.starts_with(u.unit) && u.unit.size() > unit.size()) {
        unit = u.unit;
        unit_ms = u.ms;
      }
    }
    if (unit.empty()) return false;
    size_t order = next_unit;
    while (order < std::size(kOrder) && kOrder[order] != unit) ++order;
    if (order == std::size(kOrder)) return false;
    next_unit = order + 1;
    text.remove_prefix(unit.size());
    constexpr uint64_t kLongest = 100ull * 365 * 86400000;  // a century is plenty
    if (n > (kLongest - total) / unit_ms) return false;
    total += n * unit_ms;
  }
  out = std::chrono::milliseconds(total);
  return true;
}

bool parse_listen_address(std::string_view text, std::string &host, int &port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view h = text.substr(0, colon);
  if (h.starts_with('[')) {
    if (!h.ends_with(']') || h.size() < 3) return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string_view::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  uint64_t p = 0;
  if (!parse_number(text.substr(colon + 1), 65535, p) || p == 0) return false;
  host = h;
  port = static_cast<int>(p);
  return true;
}

ParseResult parse_options(const std::vector<std::string_view> &args, Options &options,
                          const FileReader &read_file) {
  std::vector<Given> given;
  if (ParseResult r = read_command_line(args, given); r.outcome != ParseResult::run) return r;
  // The file first, so that every flag given on the command line overrides it.
  for (const Given &g : given) {
    if (g.flag->name != "config.file") continue;
    if (const std::string expected = g.flag->apply(g.value, options); !expected.empty()) {
      return bad("invalid --config.file " + quoted(g.value) + ": " + expected, true);
    }
  }
  if (!options.config_file.empty()) {
    if (ParseResult r = apply_file(options.config_file, read_file, options);
        r.outcome != ParseResult::run) {
      return r;
    }
  }
  for (const Given &g : given) {
    if (g.flag->clear != nullptr) g.flag->clear(options);  // the file's list gives way
  }
  for (const Given &g : given) {
    if (const std::string expected = g.flag->apply(g.value, options); !expected.empty()) {
      return bad("invalid --" + std::string(g.flag->name) + " " + quoted(g.value) + ": " + expected,
                 true);
    }
  }
  return {};
}

}  // namespace exporter
