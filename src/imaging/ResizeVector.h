// Resampler steps written once over a traits class V (Sse2Traits.h and the
// others), for the levels whose steps differ only in register width. Included
// only by the instruction-set files; internal linkage, as in VectorKernels.h.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "imaging/ResizeKernels.h"

namespace {

using telvor::imaging::HorizontalRange;
using telvor::imaging::kWeightOne;
using telvor::imaging::TapTable;

// Each group of four samples reads a 16-byte window of its own (one group per
// 128-bit lane); a byte shuffle through the group's selectors gives its
// (first, second) pairs as words, and one multiply-add weighs them. A step
// with a group that has no window (taps too far apart, or too near the row's
// readable edge) runs sample by sample.
template <class V>
void HorizontalGroups(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                      std::int32_t shift) {
  constexpr std::int32_t kLanes = V::kBytes / 16;
  constexpr std::int32_t kStep = 2 * 4 * kLanes;  // two registers of dwords, one of words
  const auto rounding = V::Set32(round);
  const __m128i count = _mm_cvtsi32_si128(shift);
  const std::int32_t steps = table.count / kStep;
  // Locals, so that the stores through `out` do not make the compiler load
  // the table's fields again on every step; each advanced by itself, the
  // loops ended on the output pointer, and no test inside the loop where no
  // block runs sample by sample: a 32-bit build then keeps the loop in its
  // few registers. Each register's selectors are followed by its weights
  // (BuildBlocks), both register-aligned.
  const std::int32_t* bases = table.blockBase;
  const std::uint8_t* groups = table.blockSel;
  std::int16_t* words = out;
  std::int16_t* const wordsEnd = out + steps * kStep;
  const auto weighOne = [&](typename V::Reg window, const std::uint8_t* group) {
    const auto pairs = V::Shuffle8(window, V::LoadAligned(group));
    const auto weighed = V::Madd16(pairs, V::LoadAligned(group + V::kBytes));
    return V::Sra32(V::Add32(weighed, rounding), count);
  };
  if (table.allBlocksVector) {
    if constexpr (kLanes == 2) {
      if (table.pairedWindows) {
        // Each register's two lanes read one window: one load for eight samples.
        while (words != wordsEnd) {
          const auto low = weighOne(V::LoadBoth(row + bases[0]), groups);
          const auto high = weighOne(V::LoadBoth(row + bases[2]), groups + 2 * V::kBytes);
          V::Store(words, V::FixPack64(V::PackS32(low, high)));
          bases += 4, groups += 4 * V::kBytes, words += kStep;
        }
        HorizontalRange(row, table, steps * kStep, table.count, out, round, shift);
        return;
      }
    }
    while (words != wordsEnd) {
      const auto low = weighOne(V::LoadLanes(row, bases), groups);
      const auto high = weighOne(V::LoadLanes(row, bases + kLanes), groups + 2 * V::kBytes);
      // Every sum fits a word (at most 255 << 6, plus the row bias), so the saturating pack is exact.
      V::Store(words, V::FixPack64(V::PackS32(low, high)));
      bases += 2 * kLanes, groups += 4 * V::kBytes, words += kStep;
    }
  } else {
    for (std::int32_t step = 0; step < steps; ++step) {
      const std::int32_t* base = bases + 2 * kLanes * step;
      std::int32_t anyScalar = 0;
      for (std::int32_t g = 0; g < 2 * kLanes; ++g) anyScalar |= base[g];
      if (anyScalar < 0) {  // kScalarBlock is the only negative entry
        HorizontalRange(row, table, step * kStep, (step + 1) * kStep, out, round, shift);
        continue;
      }
      const std::uint8_t* group = groups + 4 * V::kBytes * step;
      const auto low = weighOne(V::LoadLanes(row, base), group);
      const auto high = weighOne(V::LoadLanes(row, base + kLanes), group + 2 * V::kBytes);
      V::Store(out + step * kStep, V::FixPack64(V::PackS32(low, high)));
    }
  }
  HorizontalRange(row, table, steps * kStep, table.count, out, round, shift);
}

// Rows biased by 32 (kRowRoundBiased): they carry the rounding term.
template <class V>
void VerticalRows(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                  std::int32_t count) {
  const auto weights = V::Set32((wy << 16) | (kWeightOne - wy));
  std::int32_t i = 0;
  for (; i + V::kBytes <= count; i += V::kBytes) {
    typename V::Reg packed[2];
    for (std::int32_t half = 0; half < 2; ++half) {
      const auto u = V::Load(upper + i + half * V::kBytes / 2);
      const auto l = V::Load(lower + i + half * V::kBytes / 2);
      // Interleaving within lanes and packing within lanes cancel out, so
      // each half comes back in sample order.
      const auto a = V::Srai32(V::Madd16(V::Unpacklo16(u, l), weights), 20);
      const auto b = V::Srai32(V::Madd16(V::Unpackhi16(u, l), weights), 20);
      packed[half] = V::PackS32(a, b);
    }
    V::Store(out + i, V::FixPack64(V::PackUs16(packed[0], packed[1])));
  }
  for (; i < count; ++i) out[i] = static_cast<std::uint8_t>((upper[i] * (kWeightOne - wy) + lower[i] * wy) >> 20);
}

}  // namespace
