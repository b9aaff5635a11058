// winperf-sample: loads quarvel-prometheus-winperf.dll by its module name, as a host does, and
// prints what it samples as a table, as JSON or in the Prometheus text format.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "exposition.h"
#include "names.h"
#include "report.h"
#include "sample.h"
#include "winperf_loader.h"

namespace {

constexpr char kUsage[] =
    "usage: winperf-sample [--interval SECONDS] [--count N] [--format table|json|prometheus]\n"
    "  --interval SECONDS  time between collections, the averaging window of rates (default 1)\n"
    "  --count N           number of samples to print (default 1)\n"
    "  --format FORMAT     table (default), json or prometheus\n";

enum class Format { table, json, prometheus };

struct Options {
  double interval = 1.0;
  long count = 1;
  Format format = Format::table;
};

int usage_error(const char *what, const char *arg) {
  std::fprintf(stderr, "winperf-sample: %s%s%s\n%s", what, arg ? ": " : "", arg ? arg : "", kUsage);
  return 2;
}

bool parse_double(const char *text, double &out) {
  char *end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && out >= 0.0 && out <= 86400.0;
}

bool parse_count(const char *text, long &out) {
  char *end = nullptr;
  errno = 0;
  out = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && out >= 1;
}

// Returns -1 when the options are good, else the exit code.
int parse(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (opt != "--interval" && opt != "--count" && opt != "--format") {
      return usage_error("unknown option", argv[i]);
    }
    if (i + 1 >= argc) return usage_error("missing value for", argv[i]);
    const char *value = argv[++i];
    if (opt == "--interval" && !parse_double(value, o.interval)) {
      return usage_error("--interval needs seconds from 0 to 86400", value);
    }
    if (opt == "--count" && !parse_count(value, o.count)) {
      return usage_error("--count needs a whole number of at least 1", value);
    }
    if (opt == "--format") {
      const std::string f = value;
      if (f == "table") {
        o.format = Format::table;
      } else if (f == "json") {
        o.format = Format::json;
      } else if (f == "prometheus") {
        o.format = Format::prometheus;
      } else {
        return usage_error("--format is table, json or prometheus", value);
      }
    }
  }
  return -1;
}

std::string prometheus(const report::Sample &s) {
  exposition::Writer w;
  exposition::write_sample(w, s, winperf_names::decode_ansi);
  return w.take();
}

}  // namespace

int main(int argc, char **argv) {
  winperf_loader::restrict_dll_search();
  Options options;
  if (const int code = parse(argc, argv, options); code >= 0) return code;

  const winperf_loader::Library library;
  if (!library.ok()) {
    std::fprintf(stderr, "winperf-sample: %s\n", library.error().c_str());
    return 1;
  }
  const winperf_loader::Api &api = library.api();
  if (api.init() != 0) {
    std::fprintf(stderr, "winperf-sample: winperf_init failed: %s\n", api.last_error());
    return 1;
  }

  // JSON and the exposition format are LF-separated text, not console text.
  if (options.format != Format::table) _setmode(_fileno(stdout), _O_BINARY);
  const auto sample = std::make_unique<report::Sample>();
  int status = 0;
  for (long i = 0; i < options.count && status == 0; ++i) {
    // Rates average over the time since the previous collection: wait the interval first.
    Sleep(static_cast<DWORD>(options.interval * 1000.0));
    if (api.collect() != 0) {
      std::fprintf(stderr, "winperf-sample: winperf_collect failed: %s\n", api.last_error());
      status = 1;
      break;
    }
    if (i > 0 && options.format != Format::json) std::fputs("\n", stdout);
    if (options.format == Format::json) {
      std::printf("%s\n", api.get_snapshot_json());
    } else if (!winperf_sample::read(api, *sample)) {
      std::fprintf(stderr, "winperf-sample: reading the sample failed: %s\n", api.last_error());
      status = 1;
    } else {
      const std::string text =
          options.format == Format::table ? report::table(*sample) : prometheus(*sample);
      std::fputs(text.c_str(), stdout);
    }
    std::fflush(stdout);
  }
  api.cleanup();
  return status;
}
