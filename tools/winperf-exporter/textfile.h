// The textfile collector's platform-neutral part: a file's bytes decoded to UTF-8, parsed as the
// Prometheus text exposition format (0.0.4) the way Prometheus reads it, and several files merged
// into families that render to valid exposition text. A file is taken whole or not at all.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace textfile {

enum class Type { counter, gauge, untyped, summary, histogram };

struct Sample {
  std::string name;  // as written: a histogram's "x_bucket", "x_sum", "x_count"
  std::vector<std::pair<std::string, std::string>> labels;  // in the order written
  double value = 0;
  size_t line = 0;
};

struct Family {
  std::string name;
  Type type = Type::untyped;
  std::optional<std::string> help;
  std::vector<Sample> samples;
  size_t line = 0;  // its first line
};

struct Error {
  size_t line = 0;               // from 1; 0 when the error is not of one line
  std::optional<size_t> offset;  // a byte offset, for bytes that are not text in their encoding
  std::string message;
  // "line 3: message", "byte 17: message" or the message alone.
  std::string text() const;
};

// The bytes as UTF-8: UTF-8 with or without a BOM, or UTF-16 LE or BE with a BOM. Bytes that are
// not valid in their encoding, a NUL (as UTF-16 without a BOM has), are an error at their offset.
bool decode(std::string_view bytes, std::string &utf8, Error &error);

// Parses exposition text (UTF-8). Families come in the order of their first line; families
// without samples are left out.
bool parse(std::string_view text, std::vector<Family> &families, Error &error);

// A value as Go's ParseFloat reads it, as Prometheus does: decimal, exponents, Inf, NaN.
std::optional<double> parse_value(std::string_view text);
// A value as the exposition format writes it: the shortest text that reads back the same,
// "+Inf", "-Inf" or "NaN".
void append_value(double v, std::string &out);

// Files merged in the order they are added (the path order). A file that conflicts with what
// came before, or that would cross the series limit, is refused whole.
class Merger {
 public:
  Merger(std::string reserved_prefix, size_t max_series)
      : reserved_prefix_(std::move(reserved_prefix)), max_series_(max_series) {}

  // Returns false with error set (and nothing of the file taken) when the file cannot be merged.
  bool add(const std::string &file, std::vector<Family> families, Error &error);
  size_t series() const { return series_.size(); }
  // Every family, sorted by name, each in one run of lines.
  void render(std::string &out) const;

 private:
  // Whether the files' families can be taken; keys gets each sample's series key.
  bool check(const std::vector<Family> &families, std::vector<std::string> &keys,
             Error &error) const;

  const std::string reserved_prefix_;
  const size_t max_series_;
  std::vector<std::string> files_;
  std::map<std::string, Family> families_;
  std::unordered_map<std::string, size_t> series_;  // each sample's key -> the file it came from
};

// A sample's identity: its name and its labels in name order.
std::string series_key(const Sample &s);

}  // namespace textfile
