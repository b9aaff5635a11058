// Drives the exporter's settings with arbitrary input: the first byte says whether it is a
// configuration file or a command line (arguments split at NUL bytes). Whatever comes in, the
// parsers return; what they accept is a configuration the exporter can run with.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config_file.h"
#include "invariant.h"
#include "options.h"

namespace {

void check_settings(const std::vector<exporter::FileSetting> &settings) {
  std::set<std::string> keys;
  for (const auto &s : settings) {
    require(!s.key.empty() && s.line >= 1, "a setting without a key or a line");
    require(keys.insert(s.key).second, "a key given twice");
    switch (s.form) {
      case exporter::FileSetting::Form::scalar: require(s.values.size() == 1, "scalar"); break;
      case exporter::FileSetting::Form::null: require(s.values.empty(), "null"); break;
      case exporter::FileSetting::Form::list: break;
    }
  }
}

void check_outcome(const exporter::ParseResult &r, const exporter::Options &o) {
  if (r.outcome == exporter::ParseResult::run) {
    require(exporter::is_valid_telemetry_path(o.telemetry_path), "an invalid telemetry path");
    require(o.port >= 1 && o.port <= 65535, "a port out of range");
    require(o.max_requests >= 0 && o.max_requests <= 100000, "max requests out of range");
    require(o.min_interval.count() >= 0, "a negative interval");
  } else if (r.outcome == exporter::ParseResult::bad_usage ||
             r.outcome == exporter::ParseResult::cannot_read) {
    require(!r.message.empty(), "a refusal without a message");
  }
}

void fuzz_file(std::string_view text) {
  std::vector<exporter::FileSetting> settings;
  exporter::FileError error;
  const bool ok = exporter::parse_config(text, settings, error);
  if (ok) {
    check_settings(settings);
  } else {
    require(!error.message.empty() && settings.empty(), "a failure without a message");
  }
  exporter::Options o;
  const std::vector<std::string_view> args = {"--config.file=f.yml"};
  const auto r = exporter::parse_options(
      args, o, [&](const std::string &, std::string &content, std::string &) {
        content = text;
        return true;
      });
  check_outcome(r, o);
  require(r.outcome != exporter::ParseResult::cannot_read, "a file that was read, not read");
  if (!ok) require(r.outcome == exporter::ParseResult::bad_usage, "a bad file accepted");
}

void fuzz_command_line(std::string_view text) {
  std::vector<std::string> words;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\0') {
      words.emplace_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const std::vector<std::string_view> args(words.begin(), words.end());
  exporter::Options o;
  const auto r = exporter::parse_options(
      args, o, [](const std::string &, std::string &content, std::string &) {
        content = "web.listen-address: :1\n";
        return true;
      });
  check_outcome(r, o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);
  if (data[0] & 1) {
    fuzz_command_line(rest);
  } else {
    fuzz_file(rest);
  }
  return 0;
}
