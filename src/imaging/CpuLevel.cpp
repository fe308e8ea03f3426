// Chooses the processor variant that every primitive runs.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "compat/compat.h"
#include "imaging/Pixel.h"

namespace {

std::atomic<int> g_level{-1};

bool Has(std::uint32_t reg, int bit) { return (reg >> bit) & 1u; }

struct Detected {
  int level;
  // The state components of the wide registers that the system keeps (AVX,
  // and the opmask and upper ZMM ones where it keeps AVX-512): none without AVX.
  std::uint64_t wideComponents;
};

Detected Detect() {
  std::uint32_t r[4];
  TelvorCpuid(0, 0, r);
  const std::uint32_t maxLeaf = r[0];
  if (maxLeaf < 1) return {0, 0};
  TelvorCpuid(1, 0, r);
  const std::uint32_t ecx1 = r[2], edx1 = r[3];
  if (!Has(edx1, 26)) return {0, 0};  // SSE2
  // Wider registers also need the operating system to save them on a switch.
  const bool osxsave = Has(ecx1, 27) && Has(ecx1, 28);  // OSXSAVE, AVX
  const std::uint64_t xcr0 = osxsave ? TelvorXgetbv0() : 0;
  const bool wideState = (xcr0 & 0x6) == 0x6;
  Detected detected{1, wideState ? xcr0 & 0xe4 : 0};
  if (!(Has(ecx1, 9) && Has(ecx1, 19))) return detected;  // SSSE3, SSE4.1
  detected.level = 2;
  if (maxLeaf < 7 || !wideState) return detected;
  TelvorCpuid(7, 0, r);
  const std::uint32_t ebx7 = r[1];
  // The AVX2 files are built with FMA and BMI1/2 allowed, so they are required too.
  if (!(Has(ebx7, 5) && Has(ebx7, 3) && Has(ebx7, 8) && Has(ecx1, 12))) return detected;
  detected.level = 3;
  if ((xcr0 & 0xe0) != 0xe0) return detected;  // opmask and the upper ZMM state
  if (Has(ebx7, 16) && Has(ebx7, 30) && Has(ebx7, 31)) detected.level = 4;  // AVX-512 F, BW, VL
  return detected;
}

const Detected& DetectedOnce() {
  static const Detected detected = Detect();
  return detected;
}

}  // namespace

int DetectCpuLevel() { return DetectedOnce().level; }

// On a processor with AVX, legacy SSE instructions were measured two to four
// times slower while the upper parts of the wide registers held anything
// (left by the host's code, by the system, or by our own wider levels when a
// narrower one is forced): each then waits on them. vzeroupper empties only
// the upper halves of the registers the current mode names (eight in 32-bit
// code) and not zmm16-31, and with those left over the rows stayed slow;
// restoring the wide components from an image that marks them unused puts
// every one of them in its initial state.
void ClearUpperVectorState() {
  const std::uint64_t components = DetectedOnce().wideComponents;
  if (components == 0 || CpuLevel() >= 3) return;
  alignas(64) unsigned char image[576] = {};  // legacy area and header: nothing in use
  // The restore loads MXCSR along with the AVX component: the image carries the current one.
  const std::uint32_t mxcsr = TelvorMxcsr();
  std::memcpy(image + 24, &mxcsr, sizeof mxcsr);
  TelvorXrstor(image, components);
}

void SelectCpuLevel() {
  int level = DetectedOnce().level;
  // Lets tests and benchmarks run the narrower variants on a wide processor.
  if (const char* forced = std::getenv("TELVOR_CPU_LEVEL")) {
    if (forced[0] >= '0' && forced[0] <= '4' && forced[1] == '\0' && forced[0] - '0' < level) level = forced[0] - '0';
  }
  g_level.store(level, std::memory_order_relaxed);
}

int ForceCpuLevel(int level) {
  const int detected = DetectedOnce().level;
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
