// Drives the textfile collector's decoder, parser and merger with arbitrary bytes. Whatever it
// accepts must render to text that parses back to the same samples and renders the same again,
// and what is refused says where.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "invariant.h"
#include "textfile.h"

namespace {

size_t samples(const std::vector<textfile::Family> &families) {
  size_t n = 0;
  for (const auto &f : families) n += f.samples.size();
  return n;
}

// The bytes' rendering, or nothing when they are refused.
bool render(std::string_view bytes, std::string &out, size_t &count) {
  std::string text;
  std::vector<textfile::Family> families;
  textfile::Error error;
  if (!textfile::decode(bytes, text, error)) {
    require(error.offset && *error.offset < bytes.size(), "a decoding error without its offset");
    return false;
  }
  if (!textfile::parse(text, families, error)) {
    require(error.line >= 1 && !error.message.empty(), "a parse error without its line");
    return false;
  }
  count = samples(families);
  textfile::Merger merger("winperf_", 1000000);
  if (!merger.add("f.prom", std::move(families), error)) {
    require(!error.message.empty(), "a merge error without a message");
    return false;
  }
  require(merger.series() == count, "the merger lost samples");
  out.clear();
  merger.render(out);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  std::string first;
  size_t count = 0;
  if (!render(bytes, first, count)) return 0;
  std::string second;
  size_t again = 0;
  require(render(first, second, again), "a rendering that does not parse back");
  require(again == count, "a rendering with other samples");
  require(second == first, "a rendering that does not render the same again");
  return 0;
}
