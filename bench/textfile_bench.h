// What the textfile benchmarks measure, for the ratios the benchmark program prints.
#pragma once

inline constexpr int kTextfileSeries = 10000;
