#include "guard.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace exporter {
namespace {

std::atomic<FatalReporter> g_reporter{nullptr};

}  // namespace

void set_fatal_reporter(FatalReporter reporter) { g_reporter = reporter; }

void fatal(const std::string &message) {
  static std::atomic_flag once = ATOMIC_FLAG_INIT;
  if (once.test_and_set()) {
    // Another thread failed first and is ending the process: let it finish its report.
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }
  if (const FatalReporter report = g_reporter.load()) {
    report(message);
  } else {
    std::fprintf(stderr, "winperf-exporter: %s\n", message.c_str());
  }
  std::fflush(nullptr);
  std::_Exit(1);
}

}  // namespace exporter
