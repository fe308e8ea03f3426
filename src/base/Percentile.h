// The one percentile rule of the project's measurements (the pin's timing
// log, the capture tool, the benchmarks): nearest rank, so that every figure
// reported is a value that really occurred.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace telvor {

// The value at `percent` (0..100) of `sorted`, ascending; 0 when empty.
inline double NearestRank(const std::vector<double>& sorted, double percent) {
  if (sorted.empty()) return 0;
  const double rank = std::ceil(percent / 100.0 * static_cast<double>(sorted.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace telvor
