// The top of every thread: an exception that reaches it ends the process with exit code 1 and a
// message saying what failed, rather than an abort that nobody hears of.
#pragma once

#include <exception>
#include <string>

namespace exporter {

// Where the message goes before the process ends (the console, the log, the service manager).
using FatalReporter = void (*)(const std::string &message);
void set_fatal_reporter(FatalReporter reporter);

[[noreturn]] void fatal(const std::string &message);

template <typename Fn>
void guarded(const char *what, Fn &&fn) noexcept {
  try {
    fn();
  } catch (const std::exception &e) {
    fatal(std::string(what) + ": " + e.what());
  } catch (...) {
    fatal(std::string(what) + ": an unknown exception");
  }
}

}  // namespace exporter
