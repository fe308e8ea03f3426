// What the reference libraries may use at each of our processor levels, so
// that each level is measured against libyuv and libswscale restricted to the
// same instruction sets (a level's processors have everything listed, and
// nothing newer is let in).
#pragma once

#include <libyuv/cpu_id.h>

extern "C" {
#include <libavutil/cpu.h>
}

#include "imaging/Pixel.h"

namespace bench {

// Our AVX-512 level asks for F, BW and VL only, so the later extensions
// (VBMI, VNNI, GFNI, ...) stay out of the reference there too.
inline int LibyuvMask(int level) {
  constexpr int kSse2 = libyuv::kCpuInitialized | libyuv::kCpuHasX86 | libyuv::kCpuHasSSE2;
  constexpr int kSse41 = kSse2 | libyuv::kCpuHasSSSE3 | libyuv::kCpuHasSSE41;
  constexpr int kAvx2 = kSse41 | libyuv::kCpuHasSSE42 | libyuv::kCpuHasAVX | libyuv::kCpuHasAVX2 |
                        libyuv::kCpuHasERMS | libyuv::kCpuHasFMA3 | libyuv::kCpuHasF16C;
  constexpr int kAvx512 = kAvx2 | libyuv::kCpuHasAVX512BW | libyuv::kCpuHasAVX512VL;
  static const int kMasks[kPxLevelCount] = {libyuv::kCpuInitialized, kSse2, kSse41, kAvx2, kAvx512};
  return kMasks[level];
}

// MMX and its SSE extensions come with every SSE2 processor.
inline int SwscaleFlags(int level) {
  constexpr int kSse2 = AV_CPU_FLAG_MMX | AV_CPU_FLAG_MMXEXT | AV_CPU_FLAG_SSE | AV_CPU_FLAG_SSE2 | AV_CPU_FLAG_CMOV;
  constexpr int kSse41 = kSse2 | AV_CPU_FLAG_SSE3 | AV_CPU_FLAG_SSSE3 | AV_CPU_FLAG_SSE4;
  constexpr int kAvx2 = kSse41 | AV_CPU_FLAG_SSE42 | AV_CPU_FLAG_AVX | AV_CPU_FLAG_AVX2 | AV_CPU_FLAG_FMA3 |
                        AV_CPU_FLAG_BMI1 | AV_CPU_FLAG_BMI2;
  // Every processor with BW and VL has CD and DQ, which libswscale's AVX-512 asks for as well.
  constexpr int kAvx512 = kAvx2 | AV_CPU_FLAG_AVX512;
  static const int kFlags[kPxLevelCount] = {0, kSse2, kSse41, kAvx2, kAvx512};
  return kFlags[level];
}

// Both libraries restricted to `level` (libswscale's choice is made when a
// context is created, so its contexts are made after this).
inline void RestrictReferences(int level) {
  libyuv::MaskCpuFlags(LibyuvMask(level));
  av_force_cpu_flags(SwscaleFlags(level));
}

inline void UnrestrictReferences() {
  libyuv::MaskCpuFlags(-1);
  av_force_cpu_flags(-1);
}

}  // namespace bench
