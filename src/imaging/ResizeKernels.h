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
inline constexpr std::int32_t kBlock = 4;
inline constexpr std::int32_t kWindow = 16;
inline constexpr std::int32_t kScalarBlock = -1;
// Selector bytes per sample, at most: a window offset per tap, each followed
// by an index that makes a byte shuffle give zero, so the pair comes out as
// words; and beside them the sample's two weights again, so that a vector
// step reads both through one pointer (a 32-bit build has no register to
// spare for a second).
inline constexpr std::int32_t kSelectorBytes = 8;
// Bytes of blockSel for `count` samples: a last register's group of blocks
// may be partly filled.
inline constexpr std::int64_t SelectorBytes(std::int64_t count) { return kSelectorBytes * ((count + 7) / 8 * 8); }

// How one level's vector step cuts a row: `samples` destination samples per
// block read from a window of `window` source bytes (at most 256, so a window
// offset fits a byte). A level that gathers sample by sample has no blocks
// (samples 0).
struct BlockShape {
  std::int32_t samples = 0;
  std::int32_t window = 0;
  std::int32_t selectorBytes = 2;  // per sample: 2 (first, second) or 4 (first, zero, second, zero)
  // With 4 selector bytes: blocks per register. Each register's blocks keep
  // their selectors together, followed by the same blocks' weights.
  std::int32_t lanes = 1;
};

// What a table builder knows about where each sample's second tap lies,
// which lets a gathering step load both taps at once.
enum class TapPairs : std::int32_t {
  kAny,
  kAdjacent,  // second = first + 1 (one plane)
  // Packed YUY2, from the first sample of a pixel pair on: Y0 Cb Y1 Cr, each
  // luma sample's taps 2 bytes apart, each chroma sample's 4, and Cr's taps 2
  // bytes after Cb's
  kYuy2,
};

// Horizontal taps of one row of destination samples.
struct TapTable {
  std::int32_t count = 0;
  std::int32_t* first = nullptr;    // byte offset of the first tap in the source row
  std::int32_t* second = nullptr;   // byte offset of the second tap
  std::int16_t* weights = nullptr;  // (first, second) weight pairs, count pairs
  std::int32_t* blockBase = nullptr;  // per block: window start, or kScalarBlock
  std::uint8_t* blockSel = nullptr;   // per block its selectors (and weights; see BlockShape::lanes)
  BlockShape shape;
  std::int32_t readLow = 0;   // bytes of the source row any tap reads, end exclusive
  std::int32_t readHigh = 0;
  TapPairs pairs = TapPairs::kAny;
  // Set by BuildBlocks when each two neighbouring four-sample blocks share
  // one window (equal blockBase entries), all through the row's whole pairs.
  bool pairedWindows = false;
  // Set by BuildBlocks when every whole block has a window.
  bool allBlocksVector = false;
};

inline std::int32_t BlockCount(const TapTable& table) {
  return table.shape.samples > 0 ? (table.count + table.shape.samples - 1) / table.shape.samples : 0;
}

// Fills blockBase and blockSel from first/second for blocks of `shape`;
// readStart..readEnd (bytes, end exclusive) bounds what a vector step may load.
// blockBase needs room for (count + kBlock - 1) / kBlock entries, blockSel for
// SelectorBytes(count), whatever the shape. Reads the weights.
void BuildBlocks(TapTable* table, BlockShape shape, std::int32_t readStart, std::int32_t readEnd);

// out[i] = (w0 * row[first[i]] + w1 * row[second[i]] + round) >> shift
using HorizontalFn = void (*)(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                              std::int32_t shift);
// out[i] = (upper[i] * (16384 - wy) + lower[i] * wy + 524288) >> 20, from rows
// made with round 128 and shift 8 (see ResizeKernels::rowRound)
using VerticalFn = void (*)(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                            std::int32_t count);

// Asks for the bytes of one upcoming source row to be brought into the cache.
// Without it a resampler that walks a tall picture in narrow strips waits on
// memory at the start of every row.
using PrefetchFn = void (*)(const std::uint8_t* row, const TapTable& table);
void PrefetchRow(const std::uint8_t* row, const TapTable& table);
void PrefetchRowSse2(const std::uint8_t* row, const TapTable& table);

// The plain loops; vector variants hand their scalar blocks and tails to these.
void HorizontalRange(const std::uint8_t* row, const TapTable& table, std::int32_t begin, std::int32_t end,
                     std::int16_t* out, std::int32_t round, std::int32_t shift);
void HorizontalPlain(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                     std::int32_t shift);
void VerticalPlain(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                   std::int32_t count);

void HorizontalSse2(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                    std::int32_t shift);
// The vector steps below without an AVX-512 name take biased rows (kRowRoundBiased).
void VerticalSse2(const std::int16_t* upper, const std::int16_t* lower, std::int32_t wy, std::uint8_t* out,
                  std::int32_t count);
void HorizontalSse41(const std::uint8_t* row, const TapTable& table, std::int16_t* out, std::int32_t round,
                     std::int32_t shift);
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
  PrefetchFn prefetch;
  BlockShape shape;  // the block cut `horizontal` expects
  // The rounding term of the horizontal pass that makes the rows `vertical`
  // combines: 128, or 128 + 32 * 256 for a vertical step that adds no
  // rounding term of its own. The two weights sum to 16384, so rows 32 higher
  // add exactly the 524288 (32 * 16384) of the formula.
  std::int32_t rowRound;
};
inline constexpr std::int32_t kRowRound = 128;
inline constexpr std::int32_t kRowRoundBiased = 128 + 32 * 256;
// The kernels of the level in force.
ResizeKernels CurrentResizeKernels();

}  // namespace telvor::imaging
