// winperf-exporter: serves the library's sample to Prometheus over HTTP, collecting on scrape.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

std::atomic<exporter::Server *> g_server{nullptr};
std::atomic<bool> g_stop_requested{false};
HANDLE g_finished = nullptr;  // set once main has cleaned up

void request_stop() {
  g_stop_requested = true;
  if (exporter::Server *server = g_server.load()) server->stop();
}

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: request_stop(); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Windows ends the process once this returns: let main release the library first.
      request_stop();
      WaitForSingleObject(g_finished, 4000);
      return TRUE;
    default: return FALSE;
  }
}

int fail(const std::string &message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  return 1;
}

int run(const exporter::Options &options) {
  const winperf_loader::Library library;
  if (!library.ok()) return fail(library.error());
  const winperf_loader::Api &api = library.api();
  if (api.init() != 0) return fail(std::string("winperf_init failed: ") + api.last_error());

  int status = 0;
  {
    exporter::Scraper scraper(api, options.min_interval, winperf_names::decode_ansi,
                              WINPERF_VERSION);
    exporter::Server server(scraper, options, WINPERF_VERSION);
    std::string error;
    if (!server.bind(error)) {
      status = fail(error);
    } else {
      g_server = &server;
      std::fprintf(stderr, "%s %s: listening on %s:%d, metrics at %s\n", kProgram, WINPERF_VERSION,
                   options.host.empty() ? "0.0.0.0" : options.host.c_str(), options.port,
                   options.telemetry_path.c_str());
      if (!g_stop_requested && !server.serve() && !g_stop_requested) {
        status = fail("serving stopped: accepting connections failed");
      }
      g_server = nullptr;
    }
  }
  api.cleanup();
  if (status == 0) std::fprintf(stderr, "%s: stopped\n", kProgram);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  winperf_loader::restrict_dll_search();
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  exporter::Options options;
  const exporter::ParseResult parsed = exporter::parse_options(args, options);
  switch (parsed.outcome) {
    case exporter::ParseResult::show_help: std::fputs(exporter::kUsage, stdout); return 0;
    case exporter::ParseResult::show_version:
      std::printf("%s %s\n", kProgram, WINPERF_VERSION);
      return 0;
    case exporter::ParseResult::bad_usage:
      std::fprintf(stderr, "%s: %s\n%s", kProgram, parsed.message.c_str(), exporter::kUsage);
      return 2;
    case exporter::ParseResult::run: break;
  }
  g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  const int status = run(options);
  SetEvent(g_finished);
  return status;
}
