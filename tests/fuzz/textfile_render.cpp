// Renders textfiles the way the collector serves them, one after the other: for promtool to read.
// Usage: textfile_render FILE...; a file that is refused renders nothing.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "textfile.h"

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    std::vector<textfile::Family> families;
    textfile::Error error;
    textfile::Merger merger("winperf_", 1000000);
    if (!textfile::decode(bytes, text, error) || !textfile::parse(text, families, error) ||
        !merger.add(argv[i], std::move(families), error)) {
      std::fprintf(stderr, "%s: %s\n", argv[i], error.text().c_str());
      continue;
    }
    std::string out;
    merger.render(out);
    std::fwrite(out.data(), 1, out.size(), stdout);
  }
  return 0;
}
