// Where the exporter's events go: one line each, never one per scrape. In a console, stderr;
// as a service, the Windows Event Log (source winperf_exporter); with --log.file, that file too.
#pragma once

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace exporter {

class Log {
 public:
  enum class Mode { console, service };
  Log(Mode mode, const std::string &file);
  ~Log();
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;

  void info(const std::string &line) { write(EVENTLOG_INFORMATION_TYPE, line); }
  void error(const std::string &line) { write(EVENTLOG_ERROR_TYPE, line); }
  // Whether the file given could be opened; false leaves the other places only.
  bool file_ok() const { return file_ != nullptr || file_name_.empty(); }

 private:
  void write(WORD type, const std::string &line);
  const Mode mode_;
  const std::string file_name_;
  std::FILE *file_ = nullptr;
  HANDLE event_source_ = nullptr;
  std::mutex mutex_;
};

}  // namespace exporter
