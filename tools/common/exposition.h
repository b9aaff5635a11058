// The Prometheus text exposition format (version 0.0.4), written once for both hosts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "names.h"
#include "sample.h"

namespace exposition {

// Escaped for a label value: backslash, double quote and newline.
void append_label_value(std::string_view text, std::string &out);
std::string label_value(std::string_view text);

class Writer {
 public:
  Writer();
  // Starts a metric family: its HELP and TYPE lines.
  void family(std::string_view name, std::string_view type, std::string_view help);
  // One sample of the current family; a label value must be UTF-8 already.
  void sample(uint64_t value);
  void sample(double value);
  void sample(std::string_view label, std::string_view label_value, uint64_t value);
  void sample(std::string_view label, std::string_view label_value, double value);
  const std::string &text() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void labels(std::string_view label, std::string_view label_value);
  void value(uint64_t v);
  void value(double v);
  std::string name_;
  std::string out_;
};

// Every family of one sample. Names are decoded with decode, and names that repeat get " #2",
// " #3", ... so that every series stays unique.
void write_sample(Writer &w, const winperf_sample::Sample &s, const winperf_names::Decoder &decode);

}  // namespace exposition
