// Where the harnesses draw their cases from. Under libFuzzer: its data
// provider over the fuzzer's input. Replayed by the imaging tests
// (TELVOR_FUZZ_REPLAY): a generator seeded by the input bytes, so a
// four-byte seed draws a whole case and fixed seeds give fixed cases, and a
// failure throws for the test to report instead of aborting the program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef TELVOR_FUZZ_REPLAY
#include <limits>
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

}  // namespace telvor::fuzz
