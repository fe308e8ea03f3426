// Numbers a hostile or careless caller hands over: mostly sensible ones, now
// and then the edges that break arithmetic.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "FuzzInput.h"

namespace telvor::fuzz {

template <typename T, std::size_t N>
T Pick(FuzzedDataProvider& in, const T (&values)[N]) {
  return values[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// A scale factor: near `natural`, anywhere in a wide range, or an edge value.
inline double DrawFactor(FuzzedDataProvider& in, double natural) {
  using Limits = std::numeric_limits<double>;
  static const double kEdges[] = {0.0, -1.0, Limits::quiet_NaN(), Limits::infinity(), -Limits::infinity(), 1e300,
                                  1e-300, Limits::denorm_min(), 1.0, 0.5, 2.0, 1.0 - 1e-12, 1.0 + 1e-12};
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return natural;
    case 1: return natural * (1.0 + in.ConsumeFloatingPointInRange(-0.01, 0.01));
    case 2: return std::pow(10.0, in.ConsumeFloatingPointInRange(-4.0, 4.0));
    default: return Pick(in, kEdges);
  }
}

inline double DrawShift(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 2: return in.ConsumeFloatingPointInRange(-1000.0, 1000.0);
    case 3: return in.ConsumeBool() ? std::numeric_limits<double>::quiet_NaN() : 1e300;
    default: return 0.0;
  }
}

// An interpolation code: the two real ones most of the time.
inline std::int32_t DrawInterpolation(FuzzedDataProvider& in) {
  static const std::int32_t kCodes[] = {1, 2, 1, 2, 4, 8, 0, -1, 3, 16, 0x7fffffff};
  return Pick(in, kCodes);
}

}  // namespace telvor::fuzz
