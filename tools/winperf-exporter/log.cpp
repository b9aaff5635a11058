#include "log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "events.h"
#include "names.h"

namespace exporter {
namespace {

constexpr char kProgram[] = "winperf-exporter";

std::string timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_s(&utc, &now);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

}  // namespace

void print_error(std::string_view line) {
  const std::string text = std::string(kProgram) + ": " + std::string(line) + "\n";
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err != nullptr && err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode)) {
    const std::wstring wide = winperf_names::widen(text);
    DWORD written = 0;
    WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

Log::Log(Mode mode, const std::string &file) : mode_(mode) {
  if (!file.empty()) {
    file_ = _wfopen(winperf_names::widen(file).c_str(), L"a");
    if (file_ == nullptr) {
      file_error_ = "cannot open the log file " + file + ": " + std::strerror(errno);
    }
  }
  if (mode == Mode::service) event_source_ = RegisterEventSourceW(nullptr, L"winperf_exporter");
}

Log::~Log() {
  if (file_ != nullptr) std::fclose(file_);
  if (event_source_ != nullptr) DeregisterEventSource(event_source_);
}

void Log::write(WORD type, const std::string &line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const bool is_error = type == EVENTLOG_ERROR_TYPE;
  if (file_ != nullptr) {
    std::fprintf(file_, "%s %s %s\n", timestamp().c_str(), is_error ? "error" : "info",
                 line.c_str());
    std::fflush(file_);
  }
  if (mode_ == Mode::console) {
    // Errors always reach the console; other events go to the file when there is one.
    if (is_error || file_ == nullptr) print_error(line);
    return;
  }
  if (event_source_ != nullptr && (is_error || file_ == nullptr)) {
    const std::wstring text = winperf_names::widen(line);
    LPCWSTR strings[] = {text.c_str()};
    ReportEventW(event_source_, type, 0, is_error ? WINPERF_EVENT_ERROR : WINPERF_EVENT_INFO,
                 nullptr, 1, 0, strings, nullptr);
  }
}

}  // namespace exporter
