// winperf-exporter: serves the library's sample to Prometheus over HTTP, collecting on scrape;
// as a console program, or as the Windows service winperf_exporter when the service control
// manager starts it.
#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "log.h"
#include "names.h"
#include "options.h"
#include "scraper.h"
#include "server.h"
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

std::vector<std::string_view> g_args;
std::atomic<exporter::Server *> g_server{nullptr};
std::atomic<bool> g_stop_requested{false};
HANDLE g_finished = nullptr;  // set once the library is released

void request_stop() {
  g_stop_requested = true;
  if (exporter::Server *server = g_server.load()) server->stop();
}

// Loads the library, serves until a stop is requested, releases the library. Returns the exit
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
  int status = 0;
  {
    exporter::Scraper scraper(api, options.min_interval, winperf_names::decode_ansi,
                              WINPERF_VERSION);
    exporter::Server server(scraper, options, WINPERF_VERSION);
    std::string error;
    if (!server.bind(error)) {
      log.error(error);
      status = kCannotRun;
    } else {
      g_server = &server;
      log.info(std::string(kProgram) + " " + WINPERF_VERSION + ": listening on " +
               (options.host.empty() ? "0.0.0.0" : options.host) + ":" +
               std::to_string(options.port) + ", metrics at " + options.telemetry_path);
      listening();
      if (!g_stop_requested && !server.serve() && !g_stop_requested) {
        log.error("serving stopped: accepting connections failed");
        status = kCannotRun;
      }
      g_server = nullptr;
    }
  }
  api.cleanup();
  if (status == 0) log.info("stopped");
  return status;
}

// ---- Console ---------------------------------------------------------------------------------

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: request_stop(); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Windows ends the process once this returns: let the library be released first.
      request_stop();
      WaitForSingleObject(g_finished, 4000);
      return TRUE;
    default: return FALSE;
  }
}

int console_main() {
  exporter::Options options;
  const exporter::ParseResult parsed = exporter::parse_options(g_args, options);
  switch (parsed.outcome) {
    case exporter::ParseResult::show_help: std::fputs(exporter::kUsage, stdout); return 0;
    case exporter::ParseResult::show_version:
      std::printf("%s %s\n", kProgram, WINPERF_VERSION);
      return 0;
    case exporter::ParseResult::bad_usage:
      std::fprintf(stderr, "%s: %s\n%s", kProgram, parsed.message.c_str(), exporter::kUsage);
      return kBadUsage;
    case exporter::ParseResult::run: break;
  }
  exporter::Log log(exporter::Log::Mode::console, options.log_file);
  if (!log.file_ok()) log.error("cannot open the log file " + options.log_file);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  return run(options, log, [] {});
}

// ---- Service ---------------------------------------------------------------------------------

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
DWORD g_checkpoint = 0;

void report_status(DWORD state, DWORD wait_hint = 0, int exit_code = 0) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  // A start that failed says why in its own code; Windows then counts the service as failed.
  status.dwWin32ExitCode = exit_code == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = static_cast<DWORD>(exit_code);
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending ? ++g_checkpoint : 0;
  status.dwWaitHint = wait_hint;
  SetServiceStatus(g_status_handle, &status);
}

DWORD WINAPI on_service_control(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report_status(SERVICE_STOP_PENDING, kStopWaitMs);
      request_stop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's flags are the process's arguments (its ImagePath), not those of a start
// request, so that what is installed is what runs.
void WINAPI service_main(DWORD, LPWSTR *) {
  g_status_handle = RegisterServiceCtrlHandlerExW(kServiceName, on_service_control, nullptr);
  if (g_status_handle == nullptr) return;
  report_status(SERVICE_START_PENDING, kStartWaitMs);
  exporter::Options options;
  const exporter::ParseResult parsed = exporter::parse_options(g_args, options);
  exporter::Log log(exporter::Log::Mode::service, options.log_file);
  if (parsed.outcome != exporter::ParseResult::run) {
    log.error(parsed.outcome == exporter::ParseResult::bad_usage
                  ? parsed.message
                  : "--help and --version are for the console");
    report_status(SERVICE_STOPPED, 0, kBadUsage);
    return;
  }
  const int status = run(options, log, [] { report_status(SERVICE_RUNNING); });
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

}  // namespace

int main(int argc, char **argv) {
  winperf_loader::restrict_dll_search();
  g_args.assign(argv + 1, argv + argc);
  g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW services[] = {{const_cast<LPWSTR>(kServiceName), service_main},
                                     {nullptr, nullptr}};
  int status = 0;
  if (!started_by_service_manager()) {
    status = console_main();
  } else if (!StartServiceCtrlDispatcherW(services)) {
    if (GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fprintf(stderr, "%s: cannot reach the service control manager (error %lu)\n", kProgram,
                   static_cast<unsigned long>(GetLastError()));
      return kCannotRun;
    }
    status = console_main();  // not started as a service
  }
  SetEvent(g_finished);
  return status;
}
