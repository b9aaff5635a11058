// What the fuzz targets do when something that must hold does not: say which, and abort, so that
// libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fail(const char *what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void require(bool ok, const char *what) {
  if (!ok) fail(what);
}
