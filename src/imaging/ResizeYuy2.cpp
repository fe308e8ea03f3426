// Packed YUY2, corner-aligned bilinear or nearest. Luma and the two chroma
// channels are sampled on their own grids but filtered in one pass over the
// interleaved bytes.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <utility>

#include "imaging/Pixel.h"
#include "imaging/ResizeRows.h"
#include "imaging/Resampler.h"

namespace {

using namespace telvor::imaging;

// Output bytes filtered per strip; the tables of one strip live on the stack
// (about 100 KB). A row up to 2048 pixels wide is one strip: each further
// strip walks every source row again, which cost 10-15 % at 1280 pixels.
constexpr std::int32_t kStripBytes = 4096;
// Output rows ahead whose source rows are prefetched.
constexpr std::int32_t kPrefetchRows = 2;

struct Yuy2Geometry {
  std::int32_t x0;       // first source column (even)
  std::int32_t y0;       // first source row
  std::int32_t width;    // source columns (even)
  std::int32_t height;   // source rows
  std::int32_t outWidth;
  std::int32_t outHeight;
};

// Position of sample k on a corner-aligned grid of `samples` source samples,
// and the neighbour pair it reads. At the last sample the pair steps back one,
// so the second tap never passes the end.
struct Tap {
  std::int32_t first, second, weight;
};

Tap CornerTap(std::int32_t k, double step, std::int32_t samples) {
  const double p = k * step;
  std::int32_t n = static_cast<std::int32_t>(p + kPositionEpsilon);
  if (n < 0) n = 0;
  if (n >= samples - 1) {
    const std::int32_t last = samples - 1;
    return Tap{last > 0 ? last - 1 : 0, last, kWeightOne};
  }
  return Tap{n, n + 1, FractionWeight(p, n)};
}

double CornerStep(std::int32_t samples, double scaled) {
  return scaled - 1 > 0 ? (samples - 1) / (scaled - 1) : 0.0;
}

// The vector blocks of a strip's table, for one level's step.
void CutStrip(const Yuy2Geometry& g, BlockShape shape, TapTable* table) {
  BuildBlocks(table, shape, 2 * g.x0, 2 * g.x0 + 2 * g.width);
}

void BuildStrip(const Yuy2Geometry& g, double fx, std::int32_t byteBegin, std::int32_t byteEnd, BlockShape shape,
                TapTable* table) {
  const std::int32_t chroma = g.width / 2;
  const double lumaStep = CornerStep(g.width, g.width * fx);
  const double chromaStep = CornerStep(chroma, chroma * fx);
  const std::int32_t base = 2 * g.x0;
  std::int32_t count = 0;
  // Whether every sample's taps lie as TapPairs::kYuy2 says; one chroma
  // sample across the region (its taps coincide) is the exception.
  bool yuy2Pairs = (byteBegin & 3) == 0;
  for (std::int32_t e = byteBegin; e < byteEnd; ++e, ++count) {
    Tap tap{};
    std::int32_t first = 0;
    std::int32_t second = 0;
    if ((e & 1) == 0) {
      tap = CornerTap(e / 2, lumaStep, g.width);
      first = base + 2 * tap.first;
      second = base + 2 * tap.second;
    } else {
      tap = CornerTap(e / 4, chromaStep, chroma);
      const std::int32_t channel = (e & 3);  // 1 Cb, 3 Cr
      first = base + 4 * tap.first + channel;
      second = base + 4 * tap.second + channel;
    }
    table->first[count] = first;
    table->second[count] = second;
    yuy2Pairs = yuy2Pairs && second - first == ((e & 1) ? 4 : 2) && ((e & 3) != 3 || first == table->first[count - 2] + 2);
    table->weights[2 * count] = static_cast<std::int16_t>(kWeightOne - tap.weight);
    table->weights[2 * count + 1] = static_cast<std::int16_t>(tap.weight);
  }
  table->count = count;
  table->pairs = yuy2Pairs ? TapPairs::kYuy2 : TapPairs::kAny;
  CutStrip(g, shape, table);
}

// How the output row is cut: strips of equal width (each walks every source
// row once more), a whole number of cache lines each.
struct Strips {
  std::int32_t count, bytes;
};

Strips StripsOf(const Yuy2Geometry& g) {
  const std::int32_t outBytes = 2 * g.outWidth;
  const std::int32_t count = (outBytes + kStripBytes - 1) / kStripBytes;
  return Strips{count, (outBytes / count + 63) & ~63};
}

// One strip of every output row; rowTap(i) gives output row i's Tap.
template <class RowTapOf>
void ResizeStrip(const std::uint8_t* region, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
                 const Yuy2Geometry& g, const TapTable& table, std::int32_t begin, std::int32_t end,
                 std::int16_t* const rows[2], bool prefetch, RowTapOf rowTap) {
  const ResizeKernels kernels = CurrentResizeKernels();
  RowPairCache cache(rows[0], rows[1]);
  std::int32_t prefetched = -1;
  for (std::int32_t i = 0; i < g.outHeight; ++i) {
    const Tap tap = rowTap(i);
    if (prefetch) {
      // The rows two output rows ahead: far enough for memory to answer.
      const std::int32_t ahead = rowTap(std::min(i + kPrefetchRows, g.outHeight - 1)).second;
      for (; prefetched < ahead; ++prefetched) kernels.prefetch(region + (prefetched + 1) * srcStride, table);
    }
    const std::int16_t* upper = nullptr;
    const std::int16_t* lower = nullptr;
    cache.Get(region, srcStride, table, kernels, tap.first, tap.second, &upper, &lower);
    kernels.vertical(upper, lower, tap.weight, dst + i * dstStride + begin, end - begin);
  }
}

// One strip reads the source from its first byte to its last, which the
// processor's own prefetcher follows; strips jump from row to row and would
// wait on memory at the start of each without a hint.
bool PrefetchStrips(const Strips& strips) { return strips.count > 1; }

void ResizeBilinear(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
                    const Yuy2Geometry& g, double fx, double fy) {
  alignas(64) std::int32_t first[kStripBytes];
  alignas(64) std::int32_t second[kStripBytes];
  alignas(64) std::int16_t weights[2 * kStripBytes];
  alignas(64) std::int32_t blockBase[kStripBytes / kBlock];
  alignas(64) std::uint8_t blockSel[kSelectorBytes * kStripBytes];
  alignas(64) std::int16_t rows[2][kStripBytes];
  std::int16_t* const rowPair[2] = {rows[0], rows[1]};
  TapTable table{0, first, second, weights, blockBase, blockSel, BlockShape{}};
  const BlockShape shape = CurrentResizeKernels().shape;
  const double rowStep = CornerStep(g.height, g.height * fy);
  const std::uint8_t* region = src + g.y0 * srcStride;
  const std::int32_t outBytes = 2 * g.outWidth;
  const Strips strips = StripsOf(g);
  for (std::int32_t begin = 0; begin < outBytes; begin += strips.bytes) {
    const std::int32_t end = std::min(outBytes, begin + strips.bytes);
    BuildStrip(g, fx, begin, end, shape, &table);
    ResizeStrip(region, srcStride, dst, dstStride, g, table, begin, end, rowPair, PrefetchStrips(strips),
                [&](std::int32_t i) { return CornerTap(i, rowStep, g.height); });
  }
}

std::int32_t NearestIndex(std::int32_t k, double factor, std::int32_t samples) {
  const std::int32_t n = static_cast<std::int32_t>(std::floor((k + 0.5) / factor + kPositionEpsilon));
  return n < 0 ? 0 : n >= samples ? samples - 1 : n;
}

void ResizeNearest(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
                   const Yuy2Geometry& g, double fx, double fy) {
  const std::int32_t chroma = g.width / 2;
  for (std::int32_t i = 0; i < g.outHeight; ++i) {
    const std::uint8_t* row = src + (g.y0 + NearestIndex(i, fy, g.height)) * srcStride + 2 * g.x0;
    std::uint8_t* out = dst + i * dstStride;
    for (std::int32_t e = 0; e < 2 * g.outWidth; ++e) {
      if ((e & 1) == 0) {
        out[e] = row[2 * NearestIndex(e / 2, fx, g.width)];
      } else {
        out[e] = row[4 * NearestIndex(e / 4, fx, chroma) + (e & 3)];
      }
    }
  }
}

// Output extent: the scaled region, at most the destination; a sliver that
// rounds below the minimum is widened to it when it reaches `threshold`.
bool OutputExtent(std::int32_t source, double factor, std::int32_t limit, std::int32_t minimum, double threshold,
                  std::int32_t* extent) {
  const double scaled = source * factor;
  const double whole = std::floor(scaled + kPositionEpsilon);
  std::int32_t n = whole >= limit ? limit : static_cast<std::int32_t>(whole);
  if (n < minimum) {
    if (scaled < threshold) return false;
    n = minimum;
  }
  *extent = n;
  return true;
}

// PxResizeYuy2's checks; on kPxOk the geometry and the method that runs.
PxStatus Yuy2GeometryOf(PxSize srcSize, ScaleRect srcRoi, PxSize dstSize, double xFactor, double yFactor,
                        std::int32_t interpolation, Yuy2Geometry* out, std::int32_t* method) {
  if (srcSize.width < 1 || srcSize.height < 1 || srcRoi.width < 1 || srcRoi.height < 1 || dstSize.height < 1 ||
      (srcSize.width & 1) || (srcRoi.x & 1) || (srcRoi.width & 1) || dstSize.width < 2) {
    return kPxSizeTooSmall;
  }
  if (!(xFactor > 0) || !(yFactor > 0) || !std::isfinite(xFactor) || !std::isfinite(yFactor)) return kPxBadFactor;
  *method = interpolation;
  if (*method != 1 && *method != 2 && *method != 4 && *method != 8) return kPxBadInterpolation;

  Yuy2Geometry g{};
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{srcRoi.x} + srcRoi.width, srcSize.width);
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{srcRoi.y} + srcRoi.height, srcSize.height);
  g.x0 = std::max(srcRoi.x, 0);
  g.y0 = std::max(srcRoi.y, 0);
  if (g.x0 >= right || g.y0 >= bottom) return kPxNothingToDo;
  g.width = static_cast<std::int32_t>(right - g.x0);
  g.height = static_cast<std::int32_t>(bottom - g.y0);
  if (!OutputExtent(g.width, xFactor, dstSize.width, 2, 1.5, &g.outWidth) ||
      !OutputExtent(g.height, yFactor, dstSize.height, 1, 0.5, &g.outHeight)) {
    return kPxRegionTooSmall;
  }

  if (*method == 4 && (srcSize.width < 8 || srcSize.height < 4)) *method = 2;
  if (srcSize.width < 4 || srcSize.height < 2) *method = 1;
  *out = g;
  return kPxOk;
}

}  // namespace

PxStatus PxResizeYuy2(const std::uint8_t* src, PxSize srcSize, std::int32_t srcStride, ScaleRect srcRoi,
                      std::uint8_t* dst, std::int32_t dstStride, PxSize dstSize, double xFactor, double yFactor,
                      std::int32_t interpolation) {
  if (!src || !dst) return kPxNullPointer;
  Yuy2Geometry g{};
  std::int32_t method = 0;
  const PxStatus status = Yuy2GeometryOf(srcSize, srcRoi, dstSize, xFactor, yFactor, interpolation, &g, &method);
  if (status != kPxOk) return status;
  if (method == 1) {
    ResizeNearest(src, srcStride, dst, dstStride, g, xFactor, yFactor);
  } else {
    // The higher-order codes resample bilinearly here: nothing in this
    // system asks for them, and bilinear is the closest safe answer.
    ResizeBilinear(src, srcStride, dst, dstStride, g, xFactor, yFactor);
  }
  return kPxOk;
}

namespace telvor::imaging {

struct Yuy2Resampler::Plan {
  Yuy2Geometry g{};
  std::int32_t method = 0;
  double fx = 0, fy = 0;
  Strips strips{};
  // Bilinear only: one table per strip, their arrays in one block, the row
  // buffers in another, every output row's taps, and the level whose block
  // shape the tables hold.
  TapTable* tables = nullptr;
  std::uint8_t* arrays = nullptr;
  std::int16_t* rows[2] = {};
  Tap* rowTaps = nullptr;
  int level = 0;

  Plan() = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  ~Plan() {
    delete[] tables;
    PxFree(arrays);
    PxFree(rows[0]);
    PxFree(rowTaps);
  }
};

namespace {


std::int64_t Align64(std::int64_t bytes) { return (bytes + 63) & ~std::int64_t{63}; }

// Every strip's table in one block: strip s's arrays start where its first
// output byte's entries would in tables for the whole row (strips start on
// cache lines, so on whole blocks too).
bool BuildTables(Yuy2Resampler::Plan* plan) {
  const Yuy2Geometry& g = plan->g;
  const std::int64_t outBytes = 2 * std::int64_t{g.outWidth};
  const std::int64_t blocks = (outBytes + kBlock - 1) / kBlock;
  const std::int64_t sizes[5] = {4 * outBytes, 4 * outBytes, 4 * outBytes, 4 * blocks, SelectorBytes(outBytes)};
  std::int64_t total = 0;
  for (std::int64_t size : sizes) total += Align64(size);
  plan->tables = new (std::nothrow) TapTable[static_cast<std::size_t>(plan->strips.count)];
  plan->arrays = static_cast<std::uint8_t*>(PxAlloc(total));
  plan->rows[0] = static_cast<std::int16_t*>(PxAlloc(2 * 2 * std::int64_t{plan->strips.bytes}));
  plan->rowTaps = static_cast<Tap*>(PxAlloc(std::int64_t{g.outHeight} * sizeof(Tap)));
  if (!plan->tables || !plan->arrays || !plan->rows[0] || !plan->rowTaps) return false;
  plan->rows[1] = plan->rows[0] + plan->strips.bytes;
  std::uint8_t* at = plan->arrays;
  std::uint8_t* starts[5];
  for (int k = 0; k < 5; ++k) {
    starts[k] = at;
    at += Align64(sizes[k]);
  }
  const BlockShape shape = CurrentResizeKernels().shape;
  plan->level = CpuLevel();
  for (std::int32_t s = 0; s < plan->strips.count; ++s) {
    const std::int32_t begin = s * plan->strips.bytes;
    const std::int32_t end = static_cast<std::int32_t>(std::min<std::int64_t>(outBytes, begin + plan->strips.bytes));
    TapTable& table = plan->tables[s];
    table.first = reinterpret_cast<std::int32_t*>(starts[0]) + begin;
    table.second = reinterpret_cast<std::int32_t*>(starts[1]) + begin;
    table.weights = reinterpret_cast<std::int16_t*>(starts[2]) + 2 * begin;
    table.blockBase = reinterpret_cast<std::int32_t*>(starts[3]) + begin / kBlock;
    table.blockSel = starts[4] + kSelectorBytes * begin;
    BuildStrip(g, plan->fx, begin, end, shape, &table);
  }
  const double rowStep = CornerStep(g.height, g.height * plan->fy);
  for (std::int32_t i = 0; i < g.outHeight; ++i) plan->rowTaps[i] = CornerTap(i, rowStep, g.height);
  return true;
}

}  // namespace

Yuy2Resampler::Yuy2Resampler() = default;
Yuy2Resampler::~Yuy2Resampler() = default;

PxStatus Yuy2Resampler::Prepare(PxSize srcSize, ScaleRect srcRoi, PxSize dstSize, double xFactor, double yFactor,
                                std::int32_t interpolation) {
  plan_.reset();
  Yuy2Geometry g{};
  std::int32_t method = 0;
  const PxStatus status = Yuy2GeometryOf(srcSize, srcRoi, dstSize, xFactor, yFactor, interpolation, &g, &method);
  if (status != kPxOk) return status;
  std::unique_ptr<Plan> plan(new (std::nothrow) Plan);
  if (!plan) return kPxNoMemory;
  plan->g = g;
  plan->method = method;
  plan->fx = xFactor;
  plan->fy = yFactor;
  plan->strips = StripsOf(g);
  if (method != 1 && !BuildTables(plan.get())) return kPxNoMemory;
  plan_ = std::move(plan);
  return kPxOk;
}

void Yuy2Resampler::Run(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride) {
  if (!plan_ || !src || !dst) return;
  Plan& plan = *plan_;
  const Yuy2Geometry& g = plan.g;
  if (plan.method == 1) {
    ResizeNearest(src, srcStride, dst, dstStride, g, plan.fx, plan.fy);
    return;
  }
  // The blocks are cut for one level's vector step; a level forced since then
  // (tests, benchmarks) gets its own cut, in the same arrays.
  if (plan.level != CpuLevel()) {
    plan.level = CpuLevel();
    for (std::int32_t s = 0; s < plan.strips.count; ++s) CutStrip(g, CurrentResizeKernels().shape, &plan.tables[s]);
  }
  const std::uint8_t* region = src + g.y0 * static_cast<std::ptrdiff_t>(srcStride);
  const Tap* taps = plan.rowTaps;
  for (std::int32_t s = 0; s < plan.strips.count; ++s) {
    const std::int32_t begin = s * plan.strips.bytes;
    ResizeStrip(region, srcStride, dst, dstStride, g, plan.tables[s], begin, begin + plan.tables[s].count, plan.rows,
                PrefetchStrips(plan.strips), [taps](std::int32_t i) { return taps[i]; });
  }
}

}  // namespace telvor::imaging
