// Inner loops shared by the two bilinear resamplers, one set per processor
// level. Everything that involves floating point (positions, weights, which
// source bytes a destination sample reads) is decided once per call by the
// table builders in plain C++, so the vector loops only run integer steps and
// give the plain loops' bytes exactly.
#pragma once

#include <cstdint>

namespace telvor::imaging {

// Weights are 14-bit fractions; a pair sums to this.
inline constexpr std::int32_t kWeightOne = 16384;
// Destination samples per vector block, and the source window one block may
// span: a block whose two taps all fall in one window that lies inside the
// readable part of the row runs as a vector step, any other block runs sample
// by sample. kBlock and kWindow are the narrowest shape any level uses, so
// tables sized by them hold every level's blocks.
inline constexpr std::int32_t kBlock = 16;
inline constexpr std::int32_t kWindow = 32;
inline constexpr std::int32_t kScalarBlock = -1;

// How one level's vector step cuts a row: `samples` destination samples per
// block read from a window of `window` source bytes (at most 256, so a window
// offset fits a byte).
struct BlockShape {
  std::int32_t samples = kBlock;
  std::int32_t window = kWindow;
};

// Horizontal taps of one row of destination samples.
struct TapTable {
  std::int32_t count = 0;
  std::int32_t* first = nullptr;    // byte offset of the first tap in the source row
  std::int32_t* second = nullptr;   // byte offset of the second tap
  std::int16_t* weights = nullptr;  // (first, second) weight pairs, count pairs
  std::int32_t* blockBase = nullptr;  // per block: window start, or kScalarBlock
  std::uint8_t* blockSel = nullptr;   // per block: 2 * samples window offsets (first, second, ...)
  BlockShape shape;
  std::int32_t readLow = 0;   // bytes of the source row any tap reads, end exclusive
  std::int32_t readHigh = 0;
};

inline std::int32_t BlockCount(const TapTable& table) {
  return (table.count + table.shape.samples - 1) / table.shape.samples;
}

// Fills blockBase and blockSel from first/second for blocks of `shape`;
// readStart..readEnd (bytes, end exclusive) bounds what a vector step may load.
// blockBase needs room for (count + kBlock - 1) / kBlock entries, blockSel for
// 2 * count bytes, whatever the shape.
void BuildBlocks(TapTable* table, BlockShape shape, std::int32_t readStart, std::int32_t readEnd);

// out[i] = (w0 * row[first[i]] + w1 * row[second[i]] + round) >> shift
using HorizontalFn = void (*)(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                              std::int32_t shift);
// out[i] = (upper[i] * (16384 - wy) + lower[i] * wy + 524288) >> 20
using VerticalFn = void (*)(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                            std::int32_t count);

// Asks for the bytes of one upcoming source row to be brought into the cache.
// Without it a resampler that walks a tall picture in narrow strips waits on
// memory at the start of every row.
void PrefetchRow(const std::uint8_t* row, const TapTable& table);

// The plain loops; vector variants hand their scalar blocks and tails to these.
void HorizontalRange(const std::uint8_t* row, const TapTable& table, std::int32_t begin, std::int32_t end,
                     std::int16_t* out, std::int32_t round, std::int32_t shift);
void HorizontalPlain(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                     std::int32_t shift);
void VerticalPlain(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                   std::int32_t count);

void HorizontalAvx2(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                    std::int32_t shift);
void VerticalAvx2(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                  std::int32_t count);
void HorizontalAvx512(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                      std::int32_t shift);
void VerticalAvx512(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                    std::int32_t count);

struct ResizeKernels {
  HorizontalFn horizontal;
  VerticalFn vertical;
  BlockShape shape;  // the block cut `horizontal` expects
};
// The kernels of the level in force.
ResizeKernels CurrentResizeKernels();

}  // namespace telvor::imaging
