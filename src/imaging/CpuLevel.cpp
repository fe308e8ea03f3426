// Chooses the processor variant that every primitive runs.
#include <atomic>
#include <cstdlib>

#include "compat/compat.h"
#include "imaging/Pixel.h"

namespace {

std::atomic<int> g_level{-1};

bool Has(std::uint32_t reg, int bit) { return (reg >> bit) & 1u; }

int Detect() {
  std::uint32_t r[4];
  TelvorCpuid(0, 0, r);
  const std::uint32_t maxLeaf = r[0];
  if (maxLeaf < 1) return 0;
  TelvorCpuid(1, 0, r);
  const std::uint32_t ecx1 = r[2], edx1 = r[3];
  if (!Has(edx1, 26)) return 0;  // SSE2
  int level = 1;
  if (!(Has(ecx1, 9) && Has(ecx1, 19))) return level;  // SSSE3, SSE4.1
  level = 2;
  // Wider registers also need the operating system to save them on a switch.
  if (maxLeaf < 7 || !Has(ecx1, 27) || !Has(ecx1, 28)) return level;  // OSXSAVE, AVX
  const std::uint64_t xcr0 = TelvorXgetbv0();
  if ((xcr0 & 0x6) != 0x6) return level;
  TelvorCpuid(7, 0, r);
  const std::uint32_t ebx7 = r[1];
  // The AVX2 files are built with FMA and BMI1/2 allowed, so they are required too.
  if (!(Has(ebx7, 5) && Has(ebx7, 3) && Has(ebx7, 8) && Has(ecx1, 12))) return level;
  level = 3;
  if ((xcr0 & 0xe0) != 0xe0) return level;  // opmask and the upper ZMM state
  if (Has(ebx7, 16) && Has(ebx7, 30) && Has(ebx7, 31)) level = 4;  // AVX-512 F, BW, VL
  return level;
}

int DetectedOnce() {
  static const int detected = Detect();
  return detected;
}

}  // namespace

int DetectCpuLevel() { return DetectedOnce(); }

void SelectCpuLevel() {
  int level = DetectedOnce();
  // Lets tests and benchmarks run the narrower variants on a wide processor.
  if (const char* forced = std::getenv("TELVOR_CPU_LEVEL")) {
    if (forced[0] >= '0' && forced[0] <= '4' && forced[1] == '\0' && forced[0] - '0' < level) level = forced[0] - '0';
  }
  g_level.store(level, std::memory_order_relaxed);
}

int ForceCpuLevel(int level) {
  const int detected = DetectedOnce();
  if (level < 0) level = 0;
  if (level > detected) level = detected;
  g_level.store(level, std::memory_order_relaxed);
  return level;
}

int CpuLevel() {
  int level = g_level.load(std::memory_order_relaxed);
  if (TELVOR_UNLIKELY(level < 0)) {
    SelectCpuLevel();
    level = g_level.load(std::memory_order_relaxed);
  }
  return level;
}
