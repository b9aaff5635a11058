// Where the exporter's events go: one line each, never one per scrape. In a console, stderr;
// as a service, the Windows Event Log (source winperf_exporter); with --log.file, that file too.
#pragma once

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace exporter {

// One line of UTF-8 on stderr: as UTF-16 on a console, so that any name reads right, and as
// the bytes themselves into a pipe or a file.
void print_error(std::string_view line);

class Log {
 public:
  enum class Mode { console, service };
  // file is a UTF-8 path; empty for none.
  Log(Mode mode, const std::string &file);
  ~Log();
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;

  void info(const std::string &line) { write(EVENTLOG_INFORMATION_TYPE, line); }
  void error(const std::string &line) { write(EVENTLOG_ERROR_TYPE, line); }
  // Why the file given could not be opened, naming it; empty when it was, or when there is none.
  const std::string &file_error() const { return file_error_; }

 private:
  void write(WORD type, const std::string &line);
  const Mode mode_;
  std::FILE *file_ = nullptr;
  std::string file_error_;
  HANDLE event_source_ = nullptr;
  std::mutex mutex_;
};

}  // namespace exporter
