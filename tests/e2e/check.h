// Plain checks for the programs that run under Wine: each failure is printed and counted.
#pragma once

#include <cstdio>

inline int g_check_failures = 0;
inline int g_checks = 0;

#define CHECK(cond)                                                                 \
  do {                                                                              \
    ++g_checks;                                                                     \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++g_check_failures;                                                           \
    }                                                                               \
  } while (0)

inline int check_result(const char *program) {
  std::printf("%s: %d checks, %d failed\n", program, g_checks, g_check_failures);
  return g_check_failures == 0 ? 0 : 1;
}
