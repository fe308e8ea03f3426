// Where the harnesses draw their cases from, and the edge values they favour.
// Under libFuzzer: its data provider over the fuzzer's input. Replayed by the imaging tests
// (TELVOR_FUZZ_REPLAY): a generator seeded by the input bytes, so a
// four-byte seed draws a whole case and fixed seeds give fixed cases, and a
// failure throws for the test to report instead of aborting the program.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

#ifdef TELVOR_FUZZ_REPLAY
#include <random>
#include <stdexcept>
#include <string>

class FuzzedDataProvider {
 public:
  FuzzedDataProvider(const std::uint8_t* data, std::size_t size) {
    std::seed_seq seeds(data, data + size);
    rng_.seed(seeds);
  }
  template <typename T>
  T ConsumeIntegralInRange(T min, T max) {
    return static_cast<T>(std::uniform_int_distribution<std::int64_t>(min, max)(rng_));
  }
  template <typename T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }
  template <typename T>
  T ConsumeFloatingPointInRange(T min, T max) {
    return std::uniform_real_distribution<T>(min, max)(rng_);
  }
  bool ConsumeBool() { return (rng_() & 1) != 0; }

 private:
  std::mt19937_64 rng_;
};
#else
#include <fuzzer/FuzzedDataProvider.h>
#endif

namespace telvor::fuzz {

[[noreturn]] inline void Fail(const char* what, long a, long b) {
#ifdef TELVOR_FUZZ_REPLAY
  throw std::runtime_error(std::string(what) + " (" + std::to_string(a) + ", " + std::to_string(b) + ")");
#else
  std::fprintf(stderr, "FUZZ FAILURE: %s (%ld, %ld)\n", what, a, b);
  std::abort();
#endif
}

// Numbers a hostile or careless caller hands over: mostly sensible ones, now
// and then the edges that break arithmetic.
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
