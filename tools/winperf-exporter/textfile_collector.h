// The textfile collector: every *.prom file of the folders given, read on each collection, merged
// with textfile.h's rules, and served beside the library's figures with the collector's own
// families. Which file failed and why is logged when it starts and when it clears, never per
// scrape.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace textfile {

struct FileContent {
  std::string name;  // within its folder, UTF-8
  bool ok = true;
  std::string bytes;  // at most the reader's limit and one byte more
  double mtime = 0;   // Unix seconds
  std::string error;  // why it could not be read, when !ok
};

struct Folder {
  bool ok = true;
  std::string error;               // why it could not be listed, when !ok
  std::vector<FileContent> files;  // its *.prom files, names compared case-insensitively
};

// Reads a folder's *.prom files, not recursively; each file in one pass, at most max_bytes + 1.
using FolderReader = std::function<Folder(const std::string &folder, size_t max_bytes)>;

class Collector {
 public:
  static constexpr size_t kMaxFileBytes = size_t{16} << 20;
  static constexpr size_t kMaxSeries = 200000;

  // log is told of each failure when it starts (failing) and when it clears.
  using Log = std::function<void(bool failing, const std::string &line)>;
  Collector(std::vector<std::string> folders, FolderReader read, Log log);

  bool enabled() const { return !folders_.empty(); }
  // One collection: every folder read now.
  void collect();
  // The files' families and the collector's own, as of the last collection.
  const std::string &text() const { return text_; }

 private:
  void report(const std::map<std::string, std::string> &failing);

  const std::vector<std::string> folders_;
  const FolderReader read_;
  const Log log_;
  std::map<std::string, std::string> failing_;  // a file or folder -> its error, as logged
  std::string text_;
};

}  // namespace textfile
