// winperf-exporter: serves the library's sample to Prometheus over HTTP, collecting on scrape;
// as a console program, or as the Windows service winperf_exporter when the service control
// manager starts it.
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config_file.h"
#include "guard.h"
#include "log.h"
#include "names.h"
#include "options.h"
#include "read_file.h"
#include "scraper.h"
#include "server.h"
#include "stop_latch.h"
#include "textfile_win32.h"
#include "web_settings.h"
#include "winperf_loader.h"

#ifndef WINPERF_VERSION
#  define WINPERF_VERSION "0.0.0"
#endif

namespace {

constexpr char kProgram[] = "winperf-exporter";
constexpr wchar_t kServiceName[] = L"winperf_exporter";
// Exit codes, also the service-specific exit codes of a service that could not start.
constexpr int kCannotRun = 1;
constexpr int kBadUsage = 2;
constexpr DWORD kStartWaitMs = 30000;
constexpr DWORD kStopWaitMs = 15000;

// Never destroyed: a console event may still arrive while the process ends.
exporter::StopLatch &g_stop = *new exporter::StopLatch;
HANDLE g_finished = nullptr;  // set once the library is released
std::atomic<bool> g_service{false};
std::atomic<exporter::Log *> g_log{nullptr};
std::vector<std::string> g_args;  // UTF-8

bool read_setting_file(const std::string &path, std::string &content, std::string &reason) {
  return exporter::read_whole_file(path, exporter::kMaxConfigBytes, content, reason);
}

// The library loaded, serving until a stop is requested, the library released. Returns the exit
// code; listening() runs once the address is bound.
int run(const exporter::Options &options, exporter::Log &log,
        const std::function<void()> &listening) {
  const winperf_loader::Library library;
  if (!library.ok()) {
    log.error(library.error());
    return kCannotRun;
  }
  const winperf_loader::Api &api = library.api();
  if (api.init() != 0) {
    log.error(std::string("winperf_init failed: ") + api.last_error());
    return kCannotRun;
  }
  std::unique_ptr<exporter::WebSettings> web;
  if (!options.web_config_file.empty()) {
    web = std::make_unique<exporter::WebSettings>(options.web_config_file, read_setting_file,
                                                  [&log](bool failing, const std::string &line) {
                                                    failing ? log.error(line) : log.info(line);
                                                  });
    std::string error;
    if (!web->load(error)) {
      log.error(error);
      api.cleanup();
      return kCannotRun;
    }
  }
  int status = 0;
  if (!g_stop.requested()) {
    textfile::Collector textfiles(options.textfile_directories, textfile::read_folder,
                                  [&log](bool failing, const std::string &line) {
                                    failing ? log.error(line) : log.info(line);
                                  });
    exporter::Scraper scraper(api, options.min_interval, winperf_names::decode_ansi,
                              WINPERF_VERSION, exporter::Scraper::Clock::now, &textfiles);
    exporter::Server server(
        scraper, options, g_stop,
        [&log](const std::string &line) { log.error(line); }, web.get());
    std::string error;
    if (!server.bind(error)) {
      log.error(error);
      status = kCannotRun;
    } else {
      log.info(std::string(kProgram) + " " + WINPERF_VERSION + ": listening on " +
               (web && web->tls() ? "https://" : "http://") +
               (options.host.empty() ? "0.0.0.0" : options.host) + ":" +
               std::to_string(options.port) + ", metrics at " + options.telemetry_path);
      listening();
      if (!server.serve()) {
        log.error("serving stopped: accepting connections failed");
        status = kCannotRun;
      }
    }
  }
  api.cleanup();
  if (status == 0) log.info("stopped");
  return status;
}

exporter::ParseResult parse_settings(exporter::Options &options) {
  const std::vector<std::string_view> args(g_args.begin(), g_args.end());
  return exporter::parse_options(args, options, read_setting_file);
}

// Keeps the log where a fatal error can reach it, for as long as it lives.
class LogInReach {
 public:
  explicit LogInReach(exporter::Log &log) { g_log = &log; }
  ~LogInReach() { g_log = nullptr; }
  LogInReach(const LogInReach &) = delete;
  LogInReach &operator=(const LogInReach &) = delete;
};

// ---- Console ---------------------------------------------------------------------------------

// Each event comes on a thread of its own, maybe several at once: they only latch the stop.
BOOL WINAPI on_console_event(DWORD event) {
  BOOL handled = FALSE;
  exporter::guarded("a console event", [&] {
    switch (event) {
      case CTRL_C_EVENT:
      case CTRL_BREAK_EVENT:
        g_stop.request();
        handled = TRUE;
        break;
      case CTRL_LOGOFF_EVENT:
        if (g_service) {  // a user logging off does not stop a service
          handled = TRUE;
          break;
        }
        [[fallthrough]];
      case CTRL_CLOSE_EVENT:
      case CTRL_SHUTDOWN_EVENT:
        // Windows ends the process once this returns: let the library be released first.
        g_stop.request();
        WaitForSingleObject(g_finished, 4000);
        handled = TRUE;
        break;
      default: break;
    }
  });
  return handled;
}

int console_main() {
  exporter::Options options;
  const exporter::ParseResult parsed = parse_settings(options);
  switch (parsed.outcome) {
    case exporter::ParseResult::show_help: std::fputs(exporter::kUsage, stdout); return 0;
    case exporter::ParseResult::show_version:
      std::printf("%s %s\n", kProgram, WINPERF_VERSION);
      return 0;
    case exporter::ParseResult::bad_usage:
      exporter::print_error(parsed.message);
      if (parsed.show_usage) std::fputs(exporter::kUsage, stderr);
      return kBadUsage;
    case exporter::ParseResult::cannot_read:
      exporter::print_error(parsed.message);
      return kCannotRun;
    case exporter::ParseResult::run: break;
  }
  exporter::Log log(exporter::Log::Mode::console, options.log_file);
  const LogInReach in_reach(log);
  if (!log.file_error().empty()) {
    log.error(log.file_error());
    return kCannotRun;
  }
  return run(options, log, [] {});
}

// ---- Service ---------------------------------------------------------------------------------

SERVICE_STATUS_HANDLE g_status_handle = nullptr;

// Reports the service's state, whichever thread comes late: nothing after STOPPED, and no RUNNING
// once a stop is pending.
void report_status(DWORD state, DWORD wait_hint = 0, int exit_code = 0) {
  static std::mutex mutex;
  static DWORD checkpoint = 0;
  static bool stopping = false;
  static bool stopped = false;
  const std::lock_guard<std::mutex> lock(mutex);
  if (stopped || g_status_handle == nullptr || (stopping && state == SERVICE_RUNNING)) return;
  stopping = stopping || state == SERVICE_STOP_PENDING;
  stopped = state == SERVICE_STOPPED;
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  // A stop is taken from the first report on, so that one sent during the start is not refused.
  status.dwControlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_RUNNING
                                  ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN
                                  : 0;
  // A start that failed says why in its own code; Windows then counts the service as failed.
  status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++checkpoint : 0;
  status.dwWaitHint = wait_hint;
  SetServiceStatus(g_status_handle, &status);
}

DWORD WINAPI on_service_control(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      exporter::guarded("a service control", [] {
        report_status(SERVICE_STOP_PENDING, kStopWaitMs);
        g_stop.request();
      });
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's flags are the process's arguments (its ImagePath), not those of a start
// request, so that what is installed is what runs.
int serve_as_service() {
  exporter::Options options;
  const exporter::ParseResult parsed = parse_settings(options);
  exporter::Log log(exporter::Log::Mode::service, options.log_file);
  const LogInReach in_reach(log);
  switch (parsed.outcome) {
    case exporter::ParseResult::run: break;
    case exporter::ParseResult::cannot_read: log.error(parsed.message); return kCannotRun;
    case exporter::ParseResult::bad_usage: log.error(parsed.message); return kBadUsage;
    default: log.error("--help and --version are for the console"); return kBadUsage;
  }
  if (!log.file_error().empty()) {
    log.error(log.file_error());
    return kCannotRun;
  }
  return run(options, log, [] { report_status(SERVICE_RUNNING); });
}

void WINAPI service_main(DWORD, LPWSTR *) {
  g_status_handle = RegisterServiceCtrlHandlerExW(kServiceName, on_service_control, nullptr);
  if (g_status_handle == nullptr) return;
  report_status(SERVICE_START_PENDING, kStartWaitMs);
  int status = kCannotRun;
  exporter::guarded("the service", [&] { status = serve_as_service(); });
  report_status(SERVICE_STOPPED, 0, status);
}

// Whether the service control manager (services.exe) started this process. Asking the
// dispatcher is the test Windows documents, and it answers at once there; Wine's waits ten
// seconds for a pipe that a console start never has, so the dispatcher is asked only when the
// parent is the service control manager.
bool started_by_service_manager() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;  // cannot tell: ask the dispatcher
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  bool by_manager = false;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) by_manager = _wcsicmp(entry.szExeFile, L"services.exe") == 0;
  }
  CloseHandle(snapshot);
  return by_manager;
}

// The last word of a thread that failed: where the events go, then the service manager.
void report_fatal(const std::string &message) {
  if (exporter::Log *log = g_log.load()) {
    log->error(message);
  } else if (g_service) {
    exporter::Log(exporter::Log::Mode::service, "").error(message);
  } else {
    exporter::print_error(message);
  }
  if (g_service) report_status(SERVICE_STOPPED, 0, kCannotRun);
}

// The arguments as UTF-8; false naming the first that is not whole UTF-16.
bool take_arguments(int argc, wchar_t **argv) {
  for (int i = 1; i < argc; ++i) {
    const std::u16string_view arg(reinterpret_cast<const char16_t *>(argv[i]));
    if (!winperf_names::is_whole_utf16(arg)) {
      exporter::print_error("argument " + std::to_string(i) + " is not valid Unicode");
      return false;
    }
    g_args.emplace_back();
    winperf_names::append_utf8(arg, g_args.back());
  }
  return true;
}

int dispatch(int argc, wchar_t **argv) {
  if (!take_arguments(argc, argv)) return kBadUsage;
  if (!started_by_service_manager()) return console_main();
  g_service = true;
  SERVICE_TABLE_ENTRYW services[] = {{const_cast<LPWSTR>(kServiceName), service_main},
                                     {nullptr, nullptr}};
  if (StartServiceCtrlDispatcherW(services)) return 0;  // the service reported how it ended
  if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    std::fprintf(stderr, "%s: cannot reach the service control manager (error %lu)\n", kProgram,
                 static_cast<unsigned long>(GetLastError()));
    return kCannotRun;
  }
  g_service = false;
  return console_main();  // not started as a service
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  // First of all: from here on a Ctrl+C is a stop, whatever the process is doing.
  g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  winperf_loader::restrict_dll_search();
  exporter::set_fatal_reporter(report_fatal);
  int status = kCannotRun;
  exporter::guarded(kProgram, [&] { status = dispatch(argc, argv); });
  SetEvent(g_finished);
  return status;
}
