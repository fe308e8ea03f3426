#include "imaging/ResizeKernels.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "imaging/Dispatch.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace telvor::imaging {

namespace {

// Every builder makes second >= first, so the span of a run of samples is
// from its lowest first tap to its highest second tap.
struct Span {
  std::int32_t low, high;
};

Span SpanOf(const TapTable& table, std::int32_t begin, std::int32_t n) {
  Span span{table.first[begin], table.second[begin]};
  for (std::int32_t i = begin + 1; i < begin + n; ++i) {
    span.low = std::min(span.low, table.first[i]);
    span.high = std::max(span.high, table.second[i]);
  }
  return span;
}

// The start of a window of `window` bytes inside [readStart, readEnd) that
// holds the span, or kScalarBlock.
std::int32_t WindowBase(Span span, std::int32_t window, std::int32_t readStart, std::int32_t readEnd) {
  // Near the end of the readable bytes the window slides left to stay inside.
  const std::int32_t base = std::min(span.low, readEnd - window);
  return base < readStart || span.high - base >= window ? kScalarBlock : base;
}

// Where a block's selectors start. Word selectors come in groups of one
// register's blocks: their selectors, then their weights.
std::uint8_t* SelectorsOf(const TapTable& table, std::int32_t block) {
  const BlockShape& shape = table.shape;
  const std::int32_t blockBytes = shape.selectorBytes * shape.samples;
  if (shape.selectorBytes != 4) return table.blockSel + block * blockBytes;
  return table.blockSel + (block / shape.lanes) * 2 * shape.lanes * blockBytes + (block % shape.lanes) * blockBytes;
}

void WriteSelectors(TapTable* table, std::int32_t block, std::int32_t base) {
  const std::int32_t samples = table->shape.samples;
  const std::int32_t begin = block * samples;
  const std::int32_t* first = table->first + begin;
  const std::int32_t* second = table->second + begin;
  table->blockBase[block] = base;
  std::uint8_t* sel = SelectorsOf(*table, block);
  if (table->shape.selectorBytes == 4) {
    // Each offset followed by 0x80, for which a byte shuffle gives 0.
    for (std::int32_t i = 0; i < samples; ++i) {
      const std::uint32_t word = static_cast<std::uint32_t>(first[i] - base) |
                                 static_cast<std::uint32_t>(second[i] - base) << 16 | 0x80008000u;
      std::memcpy(sel + 4 * i, &word, 4);  // little-endian: the vector levels are x86 only
    }
    std::memcpy(sel + table->shape.lanes * 4 * samples, table->weights + 2 * begin, 4 * samples);
  } else {
    for (std::int32_t i = 0; i < samples; ++i) {
      sel[2 * i] = static_cast<std::uint8_t>(first[i] - base);
      sel[2 * i + 1] = static_cast<std::uint8_t>(second[i] - base);
    }
  }
}

// Blocks of four word-selector samples share a window with their neighbour
// where every whole pair of them fits one (an enlargement, a mild
// reduction): a step then loads one window for eight samples. False, with the
// table half written, as soon as one of them (or a last whole block without
// a neighbour) does not fit.
bool PairWindows(TapTable* table, std::int32_t readStart, std::int32_t readEnd) {
  const std::int32_t pairs = table->count / 8;
  const std::int32_t window = table->shape.window;
  for (std::int32_t p = 0; p < pairs; ++p) {
    const std::int32_t base = WindowBase(SpanOf(*table, 8 * p, 8), window, readStart, readEnd);
    if (base == kScalarBlock) return false;
    WriteSelectors(table, 2 * p, base);
    WriteSelectors(table, 2 * p + 1, base);
  }
  if (table->count % 8 >= 4) {
    const std::int32_t base = WindowBase(SpanOf(*table, 8 * pairs, 4), window, readStart, readEnd);
    if (base == kScalarBlock) return false;
    WriteSelectors(table, 2 * pairs, base);
  }
  if (table->count % 4 != 0) table->blockBase[BlockCount(*table) - 1] = kScalarBlock;
  return pairs > 0;
}

}  // namespace

void BuildBlocks(TapTable* table, BlockShape shape, std::int32_t readStart, std::int32_t readEnd) {
  table->shape = shape;
  table->pairedWindows = false;
  table->allBlocksVector = false;
  const std::int32_t block = shape.samples;
  // A vector step never loads a byte that no tap of the row reads: callers
  // may pass a region that overhangs the real picture as long as the
  // positions never reach the overhang.
  if (table->count > 0) {
    const Span taps = SpanOf(*table, 0, table->count);
    readStart = std::max(readStart, taps.low);
    readEnd = std::min(readEnd, taps.high + 1);
  }
  table->readLow = readStart;
  table->readHigh = readEnd;
  if (block == 4 && shape.selectorBytes == 4 && PairWindows(table, readStart, readEnd)) {
    table->pairedWindows = true;
    table->allBlocksVector = true;
    return;
  }
  const std::int32_t blocks = BlockCount(*table);
  bool allVector = true;
  for (std::int32_t b = 0; b < blocks; ++b) {
    const std::int32_t begin = b * block;
    table->blockBase[b] = kScalarBlock;
    if (begin + block > table->count) continue;  // a partial block always runs sample by sample
    const std::int32_t base = WindowBase(SpanOf(*table, begin, block), shape.window, readStart, readEnd);
    if (base != kScalarBlock) {
      WriteSelectors(table, b, base);
    } else {
      allVector = false;
    }
  }
  table->allBlocksVector = allVector;
}

void PrefetchRow(const std::uint8_t* row, const TapTable& table) {
#if defined(__x86_64__) || defined(_M_X64)
  // Addresses are only computed from the taps' own span, so nothing outside
  // the readable row is named (a prefetch would not fault anyway).
  for (std::int32_t at = table.readLow; at < table.readHigh; at += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(row + at), _MM_HINT_T0);
  }
  if (table.readHigh > table.readLow) {
    _mm_prefetch(reinterpret_cast<const char*>(row + table.readHigh - 1), _MM_HINT_T0);
  }
#else
  (void)row;
  (void)table;
#endif
}

void HorizontalRange(const std::uint8_t* row, const TapTable& table, std::int32_t begin, std::int32_t end,
                     std::int16_t* out, std::int32_t round, std::int32_t shift) {
  for (std::int32_t i = begin; i < end; ++i) {
    const std::int32_t value = table.weights[2 * i] * row[table.first[i]] +
                               table.weights[2 * i + 1] * row[table.second[i]] + round;
    out[i] = static_cast<std::int16_t>(value >> shift);
  }
}

namespace {

// The rows of the two-pass resampling (shift 8) of one plane, whose taps lie
// side by side: the same sums with one multiply, since the two weights add
// up to 16384: w0·a + w1·b = w0·(a − b) + 16384·b.
void AdjacentRows(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round) {
  const std::int32_t* first = table.first;
  const std::int16_t* weights = table.weights;
  for (std::int32_t i = 0; i < table.count; ++i) {
    const std::int32_t a = row[first[i]], b = row[first[i] + 1];
    out[i] = static_cast<std::int16_t>((weights[2 * i] * (a - b) + (b << 14) + round) >> 8);
  }
}

}  // namespace

void HorizontalPlain(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                     std::int32_t shift) {
  if (table.pairs == TapPairs::kAdjacent && shift == 8) {
    AdjacentRows(row, table, out, round);
  } else {
    HorizontalRange(row, table, 0, table.count, out, round, shift);
  }
}

void VerticalPlain(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                   std::int32_t count) {
  // Both weights fit 16 bits (0..16384): word times word lets a compiler
  // that vectorizes this loop use 16-bit multiplies, not 32-bit ones.
  const std::int16_t upperWeight = static_cast<std::int16_t>(kWeightOne - wy);
  const std::int16_t lowerWeight = static_cast<std::int16_t>(wy);
  for (std::int32_t i = 0; i < count; ++i) {
    out[i] = static_cast<std::uint8_t>((upper[i] * upperWeight + lower[i] * lowerWeight + 524288) >> 20);
  }
}

ResizeKernels CurrentResizeKernels() {
  static constexpr VariantTable<std::remove_pointer_t<HorizontalFn>> kHorizontal = {
      HorizontalPlain, HorizontalSse2, HorizontalSse41, HorizontalAvx2, HorizontalAvx512};
  static constexpr VariantTable<std::remove_pointer_t<VerticalFn>> kVertical = {
      VerticalPlain, VerticalSse2, VerticalSse2, VerticalAvx2, VerticalAvx512};
  static constexpr VariantTable<std::remove_pointer_t<PrefetchFn>> kPrefetch = {
      PrefetchRow, PrefetchRowSse2, PrefetchRowSse2, PrefetchRowSse2, PrefetchRowSse2};
  // SSE4.1 and AVX2 take each group of four samples from a 16-byte window of
  // its own (AVX2 two groups per register, one per lane); AVX-512 takes 32
  // samples from a 64-byte window: a 1.5x reduction of packed YUY2 spans
  // about 50 bytes per 32 samples. SSE2, without a byte shuffle, gathers
  // sample by sample and needs no blocks.
  static constexpr BlockShape kShapes[kPxLevelCount] = {{}, {}, {4, 16, 4, 1}, {4, 16, 4, 2}, {32, 64, 2, 1}};
  static constexpr std::int32_t kRowRounds[kPxLevelCount] = {kRowRound, kRowRoundBiased, kRowRoundBiased,
                                                             kRowRoundBiased, kRowRound};
  const int level = CpuLevel();
  return ResizeKernels{Variant(kHorizontal), Variant(kVertical), Variant(kPrefetch), kShapes[level],
                       kRowRounds[level]};
}

}  // namespace telvor::imaging
