#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "names.h"
#include "read_file.h"

namespace exporter {

bool read_whole_file(const std::string &path, size_t max_bytes, std::string &content,
                     std::string &reason) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(
      _wfopen(winperf_names::widen(path).c_str(), L"rb"), std::fclose);
  if (!file) {
    reason = std::strerror(errno);
    return false;
  }
  content.clear();
  char buf[16384];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, file.get())) > 0) {
    if (content.size() + n > max_bytes) {
      reason = "larger than " + std::to_string(max_bytes) + " bytes";
      return false;
    }
    content.append(buf, n);
  }
  if (std::ferror(file.get())) {
    reason = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace exporter
