#include "log.h"

#include <ctime>

#include "events.h"

namespace exporter {
namespace {

constexpr char kProgram[] = "winperf-exporter";

std::wstring wide(const std::string &text) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

std::string timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_s(&utc, &now);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return buf;
}

}  // namespace

Log::Log(Mode mode, const std::string &file) : mode_(mode), file_name_(file) {
  if (!file.empty()) file_ = _wfopen(wide(file).c_str(), L"a");
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
    if (is_error || file_ == nullptr) std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str());
    return;
  }
  if (event_source_ != nullptr && (is_error || file_ == nullptr)) {
    const std::wstring text = wide(line);
    LPCWSTR strings[] = {text.c_str()};
    ReportEventW(event_source_, type, 0, is_error ? WINPERF_EVENT_ERROR : WINPERF_EVENT_INFO, nullptr, 1, 0, strings, nullptr);
  }
}

}  // namespace exporter
