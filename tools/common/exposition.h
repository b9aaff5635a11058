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
  std::string_view text() const { return std::string_view(out_).substr(0, size_); }
  std::string take();

 private:
  // n bytes at the end of the text to write into; unwritten ones are given back with unused().
  char *room(size_t n) {
    if (out_.size() - size_ < n) grow(n);
    char *at = out_.data() + size_;
    size_ += n;
    return at;
  }
  void unused(size_t n) { size_ -= n; }
  void grow(size_t n);
  void put(std::string_view part);
  void labels(std::string_view label, std::string_view label_value);
  void value(uint64_t v);
  void value(double v);
  std::string name_;
  std::string out_;  // sized ahead; the text is its first size_ bytes
  size_t size_ = 0;
};

// Every family of one sample. Names are decoded with decode, and names that repeat get " #2",
// " #3", ... so that every series stays unique.
void write_sample(Writer &w, const winperf_sample::Sample &s, const winperf_names::Decoder &decode);

}  // namespace exposition
