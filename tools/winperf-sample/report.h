// Renders one sample for people: a table.
#pragma once

#include <cstdint>
#include <string>

#include "sample.h"

namespace report {

using Sample = winperf_sample::Sample;

std::string table(const Sample &s);

// Building blocks, exposed for tests.
std::string bar(double percent, int width);  // "[####......]"
std::string bytes(uint64_t n);               // "1.5 GiB"
std::string duration(uint64_t seconds);      // "3d 04:05:06"

}  // namespace report
