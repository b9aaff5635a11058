#include "options.h"

#include <charconv>
#include <cstdint>

namespace exporter {

const char kUsage[] =
    "usage: winperf-exporter [flags]\n"
    "  --web.listen-address=[HOST]:PORT  address to serve on (default :10182)\n"
    "  --web.telemetry-path=PATH         path of the metrics (default /metrics)\n"
    "  --web.max-requests=N              scrapes served at once, 0 for no limit (default 40)\n"
    "  --collector.min-interval=DURATION a scrape sooner than this after the last collection\n"
    "                                    is answered from it (default 1s; 0s collects always)\n"
    "  --log.file=PATH                   also write events to this file, one line each\n"
    "  --version                         print the version and exit\n"
    "  -h, --help                        print this help and exit\n";

namespace {

// Reads an unsigned decimal number that fills text and is at most max.
bool parse_number(std::string_view text, uint64_t max, uint64_t &out) {
  if (text.empty()) return false;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && out <= max;
}

bool is_reserved_path(std::string_view path) {
  return path == "/" || path == "/snapshot" || path == "/-/healthy";
}

ParseResult bad(std::string message) { return {ParseResult::bad_usage, std::move(message)}; }

ParseResult apply(std::string_view name, std::string_view value, Options &o) {
  const std::string quoted = std::string(name) + " '" + std::string(value) + "'";
  if (name == "--web.listen-address") {
    if (!parse_listen_address(value, o.host, o.port)) {
      return bad("invalid " + quoted + ": expected [HOST]:PORT with a port from 1 to 65535");
    }
  } else if (name == "--web.telemetry-path") {
    if (value.empty() || value[0] != '/' || is_reserved_path(value)) {
      return bad("invalid " + quoted +
                 ": a path starting with /, other than /, /snapshot and /-/healthy");
    }
    o.telemetry_path = value;
  } else if (name == "--web.max-requests") {
    uint64_t n = 0;
    if (!parse_number(value, 100000, n)) {
      return bad("invalid " + quoted + ": expected a whole number from 0 to 100000");
    }
    o.max_requests = static_cast<int>(n);
  } else if (name == "--log.file") {
    if (value.empty()) return bad("invalid --log.file '': expected a file name");
    o.log_file = value;
  } else if (name == "--collector.min-interval") {
    if (!parse_duration(value, o.min_interval)) {
      return bad("invalid " + quoted + ": expected a duration such as 500ms, 1s or 2m");
    }
  }
  return {};
}

bool takes_value(std::string_view name) {
  return name == "--web.listen-address" || name == "--web.telemetry-path" ||
         name == "--web.max-requests" || name == "--collector.min-interval" || name == "--log.file";
}

}  // namespace

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

ParseResult parse_options(const std::vector<std::string_view> &args, Options &options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") return {ParseResult::show_help, {}};
    if (arg == "--version") return {ParseResult::show_version, {}};
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    if (!takes_value(name)) return bad("unknown flag '" + std::string(arg) + "'");
    std::string_view value;
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return bad("flag " + std::string(name) + " needs a value");
    }
    if (ParseResult r = apply(name, value, options); r.outcome != ParseResult::run) return r;
  }
  return {};
}

}  // namespace exporter
