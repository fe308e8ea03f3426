// One 8-bit plane, centre-aligned bilinear (square-pixel model) or nearest.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "imaging/Pixel.h"
#include "imaging/ResizeRows.h"
#include "imaging/Resampler.h"

namespace {

using namespace telvor::imaging;

constexpr std::uint32_t kOptionBits = 0xC0000000u;

// Accepted codes; every code but nearest resamples bilinearly here.
bool DecodeInterpolation(std::int32_t code, std::int32_t* method) {
  const std::uint32_t bits = static_cast<std::uint32_t>(code);
  if ((bits & kOptionBits) == kOptionBits) return false;
  const std::int32_t base = static_cast<std::int32_t>(bits & ~kOptionBits);
  switch (base) {
    case 1: case 2: case 4: case 5: case 6: case 7: case 8: case 16:
      *method = base;
      return true;
    default:
      return false;
  }
}

std::int64_t Align64(std::int64_t bytes) { return (bytes + 63) & ~std::int64_t{63}; }

// Work-buffer layout for `columns` written destination columns.
struct PlaneBuffer {
  TapTable table;
  std::int16_t* rows[2];
};

std::int64_t PlaneBufferBytes(std::int64_t columns) {
  const std::int64_t blocks = (columns + kBlock - 1) / kBlock;
  return 64 + 2 * Align64(4 * columns) + Align64(4 * columns) + Align64(4 * blocks) +
         Align64(SelectorBytes(columns)) + 2 * Align64(2 * columns);
}

PlaneBuffer CarvePlaneBuffer(std::uint8_t* buffer, std::int32_t columns) {
  const std::int64_t blocks = (columns + kBlock - 1) / kBlock;
  std::uintptr_t at = (reinterpret_cast<std::uintptr_t>(buffer) + 63) & ~std::uintptr_t{63};
  auto take = [&at](std::int64_t bytes) {
    void* p = reinterpret_cast<void*>(at);
    at += static_cast<std::uintptr_t>(Align64(bytes));
    return p;
  };
  PlaneBuffer out;
  out.table.first = static_cast<std::int32_t*>(take(4 * std::int64_t{columns}));
  out.table.second = static_cast<std::int32_t*>(take(4 * std::int64_t{columns}));
  out.table.weights = static_cast<std::int16_t*>(take(4 * std::int64_t{columns}));
  out.table.blockBase = static_cast<std::int32_t*>(take(4 * blocks));
  out.table.blockSel = static_cast<std::uint8_t*>(take(SelectorBytes(columns)));
  out.rows[0] = static_cast<std::int16_t*>(take(2 * std::int64_t{columns}));
  out.rows[1] = static_cast<std::int16_t*>(take(2 * std::int64_t{columns}));
  return out;
}

// Source extent after clipping the region to the picture; destination extent
// covered by the mapped region and the destination region together.
struct Geometry {
  std::int32_t sx0, sx1, sy0, sy1;  // source columns/rows, end exclusive
  std::int32_t dx0, dx1, dy0, dy1;  // destination columns/rows, end exclusive
  double fx, fy, shiftX, shiftY;
};

// Destination indices whose pixel centre lies in [start, end), within [lo, hi).
void CentredRange(double start, double end, std::int32_t lo, std::int32_t hi, std::int32_t* first,
                  std::int32_t* last) {
  const double a = std::ceil(start - 0.5);
  const double b = std::ceil(end - 0.5);
  *first = a <= lo ? lo : a >= hi ? hi : static_cast<std::int32_t>(a);
  *last = b <= lo ? lo : b >= hi ? hi : static_cast<std::int32_t>(b);
}

double SourcePosition(std::int32_t j, double factor, double shift) { return (j + 0.5 - shift) / factor - 0.5; }

// Vertical-only pass along one source column, for columns outside the first
// and last source pixel centres.
std::uint8_t ColumnValue(const std::uint8_t* src, std::ptrdiff_t stride, std::int32_t column, std::int32_t upper,
                         std::int32_t lower, std::int32_t wy) {
  const std::int32_t a = src[upper * stride + column];
  const std::int32_t b = src[lower * stride + column];
  return static_cast<std::uint8_t>((a * (kWeightOne - wy) + b * wy + 8192) >> 14);
}

struct Columns {
  std::int32_t interiorBegin, interiorEnd;  // destination columns taking two passes
};

Columns BuildColumnTable(const Geometry& g, BlockShape shape, TapTable* table) {
  Columns c{g.dx0, g.dx0};
  while (c.interiorBegin < g.dx1 && SourcePosition(c.interiorBegin, g.fx, g.shiftX) < g.sx0) ++c.interiorBegin;
  c.interiorEnd = c.interiorBegin;
  std::int32_t count = 0;
  for (; c.interiorEnd < g.dx1; ++c.interiorEnd, ++count) {
    const double u = SourcePosition(c.interiorEnd, g.fx, g.shiftX);
    if (u >= g.sx1 - 1) break;
    // u is at least sx0, so not below 0, where floor is a plain conversion
    // (much cheaper than a floor call, in a 32-bit build above all).
    const std::int32_t n = static_cast<std::int32_t>(u);
    const std::int32_t w1 = FractionWeight(u, n);
    table->first[count] = n;
    table->second[count] = n + 1;
    table->weights[2 * count] = static_cast<std::int16_t>(kWeightOne - w1);
    table->weights[2 * count + 1] = static_cast<std::int16_t>(w1);
  }
  table->count = count;
  table->pairs = TapPairs::kAdjacent;
  BuildBlocks(table, shape, g.sx0, g.sx1);
  return c;
}

std::int32_t EdgeColumn(const Geometry& g, std::int32_t j, const Columns& c) {
  return j < c.interiorBegin ? g.sx0 : g.sx1 - 1;
}

// Which source rows destination row i blends: upper and upper + 1 by weight,
// or upper alone (weight kEdgeRow) outside the first or last row centre.
struct RowTap {
  std::int32_t upper, weight;
};
constexpr std::int32_t kEdgeRow = -1;

RowTap PlaneRowTap(const Geometry& g, std::int32_t i) {
  const double v = SourcePosition(i, g.fy, g.shiftY);
  if (v < g.sy0 || v >= g.sy1 - 1) return RowTap{v < g.sy0 ? g.sy0 : g.sy1 - 1, kEdgeRow};
  const std::int32_t upper = static_cast<std::int32_t>(v);  // v is at least sy0: floor is the conversion
  return RowTap{upper, FractionWeight(v, upper)};
}

// rowTap(i) gives destination row i's RowTap.
template <class RowTapOf>
void ResizeBilinear(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
                    const Geometry& g, const TapTable& table, const Columns& cols, std::int16_t* const rows[2],
                    RowTapOf rowTap) {
  const ResizeKernels kernels = CurrentResizeKernels();
  RowPairCache cache(rows[0], rows[1]);
  const std::int32_t interior = table.count;
  for (std::int32_t i = g.dy0; i < g.dy1; ++i) {
    std::uint8_t* out = dst + i * dstStride;
    const RowTap tap = rowTap(i);
    if (tap.weight == kEdgeRow) {
      // Outside the first or last row centre: along that row alone.
      const std::uint8_t* row = src + tap.upper * srcStride;
      for (std::int32_t j = g.dx0; j < cols.interiorBegin; ++j) out[j] = row[g.sx0];
      std::int16_t* scratch = cache.Borrow();
      kernels.horizontal(row, table, scratch, 8192, 14);
      for (std::int32_t k = 0; k < interior; ++k) out[cols.interiorBegin + k] = static_cast<std::uint8_t>(scratch[k]);
      for (std::int32_t j = cols.interiorEnd; j < g.dx1; ++j) out[j] = row[g.sx1 - 1];
      continue;
    }
    const std::int32_t upper = tap.upper;
    const std::int32_t wy = tap.weight;
    for (std::int32_t j = g.dx0; j < cols.interiorBegin; ++j) {
      out[j] = ColumnValue(src, srcStride, EdgeColumn(g, j, cols), upper, upper + 1, wy);
    }
    if (interior > 0) {
      const std::int16_t* top = nullptr;
      const std::int16_t* bottom = nullptr;
      cache.Get(src, srcStride, table, kernels, upper, upper + 1, &top, &bottom);
      kernels.vertical(top, bottom, wy, out + cols.interiorBegin, interior);
    }
    for (std::int32_t j = cols.interiorEnd; j < g.dx1; ++j) {
      out[j] = ColumnValue(src, srcStride, EdgeColumn(g, j, cols), upper, upper + 1, wy);
    }
  }
}

std::int32_t NearestIndex(std::int32_t j, double factor, double shift, std::int32_t lo, std::int32_t hi) {
  const double n = std::floor((j + 0.5 - shift) / factor);
  return n < lo ? lo : n >= hi ? hi - 1 : static_cast<std::int32_t>(n);
}

void ResizeNearest(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
                   const Geometry& g) {
  for (std::int32_t i = g.dy0; i < g.dy1; ++i) {
    const std::uint8_t* row = src + NearestIndex(i, g.fy, g.shiftY, g.sy0, g.sy1) * srcStride;
    std::uint8_t* out = dst + i * dstStride;
    for (std::int32_t j = g.dx0; j < g.dx1; ++j) out[j] = row[NearestIndex(j, g.fx, g.shiftX, g.sx0, g.sx1)];
  }
}

bool Usable(double value) { return std::isfinite(value); }

// PxResizePlane's checks; on kPxOk the geometry and the decoded method.
PxStatus PlaneGeometry(PxSize srcSize, ScaleRect srcRoi, ScaleRect dstRoi, double xFactor, double yFactor,
                       double xShift, double yShift, std::int32_t interpolation, Geometry* out, std::int32_t* method) {
  if (srcSize.width < 1 || srcSize.height < 1 || srcRoi.width < 1 || srcRoi.height < 1 || dstRoi.width < 1 ||
      dstRoi.height < 1 || dstRoi.x < 0 || dstRoi.y < 0) {
    return kPxSizeTooSmall;
  }
  if (!DecodeInterpolation(interpolation, method)) return kPxBadInterpolation;
  if (!(xFactor > 0) || !(yFactor > 0) || !Usable(xFactor) || !Usable(yFactor) || !Usable(xShift) ||
      !Usable(yShift)) {
    return kPxBadFactor;
  }
  if (*method == 8 && (xFactor >= 1 || yFactor >= 1)) return kPxBadFactor;

  Geometry g{};
  const std::int64_t roiRight = std::int64_t{srcRoi.x} + srcRoi.width;
  const std::int64_t roiBottom = std::int64_t{srcRoi.y} + srcRoi.height;
  g.sx0 = std::max(srcRoi.x, 0);
  g.sy0 = std::max(srcRoi.y, 0);
  g.sx1 = static_cast<std::int32_t>(std::min<std::int64_t>(roiRight, srcSize.width));
  g.sy1 = static_cast<std::int32_t>(std::min<std::int64_t>(roiBottom, srcSize.height));
  if (g.sx0 >= g.sx1 || g.sy0 >= g.sy1) return kPxNothingToDo;
  g.fx = xFactor;
  g.fy = yFactor;
  g.shiftX = xShift;
  g.shiftY = yShift;
  const std::int64_t dstRight = std::int64_t{dstRoi.x} + dstRoi.width;
  const std::int64_t dstBottom = std::int64_t{dstRoi.y} + dstRoi.height;
  CentredRange(g.sx0 * xFactor + xShift, g.sx1 * xFactor + xShift, dstRoi.x,
               static_cast<std::int32_t>(std::min<std::int64_t>(dstRight, std::numeric_limits<std::int32_t>::max())),
               &g.dx0, &g.dx1);
  CentredRange(g.sy0 * yFactor + yShift, g.sy1 * yFactor + yShift, dstRoi.y,
               static_cast<std::int32_t>(std::min<std::int64_t>(dstBottom, std::numeric_limits<std::int32_t>::max())),
               &g.dy0, &g.dy1);
  if (g.dx0 >= g.dx1 || g.dy0 >= g.dy1) return kPxRegionTooSmall;
  *out = g;
  return kPxOk;
}

}  // namespace

PxStatus PxResizeBufferSize(ScaleRect srcRoi, ScaleRect dstRoi, std::int32_t channels, std::int32_t interpolation,
                            std::int32_t* bufferSize) {
  if (!bufferSize) return kPxNullPointer;
  if (channels != 1 && channels != 3 && channels != 4) return kPxBadChannelCount;
  std::int32_t method = 0;
  if (!DecodeInterpolation(interpolation, &method)) return kPxBadInterpolation;
  if (srcRoi.width < 1 || srcRoi.height < 1 || dstRoi.width < 1 || dstRoi.height < 1) return kPxSizeTooSmall;
  const std::int64_t bytes = PlaneBufferBytes(std::int64_t{dstRoi.width} * channels);
  if (bytes > std::numeric_limits<std::int32_t>::max()) return kPxSizeTooSmall;
  *bufferSize = static_cast<std::int32_t>(bytes);
  return kPxOk;
}

PxStatus PxResizePlane(const std::uint8_t* src, PxSize srcSize, std::int32_t srcStride, ScaleRect srcRoi,
                       std::uint8_t* dst, std::int32_t dstStride, ScaleRect dstRoi, double xFactor, double yFactor,
                       double xShift, double yShift, std::int32_t interpolation, std::uint8_t* buffer) {
  if (!src || !dst || !buffer) return kPxNullPointer;
  Geometry g{};
  std::int32_t method = 0;
  const PxStatus status =
      PlaneGeometry(srcSize, srcRoi, dstRoi, xFactor, yFactor, xShift, yShift, interpolation, &g, &method);
  if (status != kPxOk) return status;
  if (method == 1) {
    ResizeNearest(src, srcStride, dst, dstStride, g);
  } else {
    PlaneBuffer work = CarvePlaneBuffer(buffer, g.dx1 - g.dx0);
    const Columns cols = BuildColumnTable(g, CurrentResizeKernels().shape, &work.table);
    ResizeBilinear(src, srcStride, dst, dstStride, g, work.table, cols, work.rows,
                   [&g](std::int32_t i) { return PlaneRowTap(g, i); });
  }
  return kPxOk;
}

namespace telvor::imaging {

struct PlaneResampler::Plan {
  Geometry g{};
  std::int32_t method = 0;
  // Bilinear only: the column table and the row buffers in one block, the
  // rows' taps in another, and the level whose block shape the table holds.
  std::uint8_t* buffer = nullptr;
  RowTap* rowTaps = nullptr;
  PlaneBuffer work{};
  Columns cols{};
  int level = 0;

  Plan() = default;
  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;
  ~Plan() {
    PxFree(buffer);
    PxFree(rowTaps);
  }
};

namespace {


}  // namespace

PlaneResampler::PlaneResampler() = default;
PlaneResampler::~PlaneResampler() = default;

PxStatus PlaneResampler::Prepare(PxSize srcSize, ScaleRect srcRoi, ScaleRect dstRoi, double xFactor, double yFactor,
                                 double xShift, double yShift, std::int32_t interpolation) {
  plan_.reset();
  Geometry g{};
  std::int32_t method = 0;
  const PxStatus status =
      PlaneGeometry(srcSize, srcRoi, dstRoi, xFactor, yFactor, xShift, yShift, interpolation, &g, &method);
  if (status != kPxOk) return status;
  std::unique_ptr<Plan> plan(new (std::nothrow) Plan);
  if (!plan) return kPxNoMemory;
  plan->g = g;
  plan->method = method;
  if (method != 1) {
    const std::int32_t columns = g.dx1 - g.dx0;
    plan->buffer = static_cast<std::uint8_t*>(PxAlloc(PlaneBufferBytes(columns)));
    plan->rowTaps = static_cast<RowTap*>(PxAlloc(std::int64_t{g.dy1 - g.dy0} * sizeof(RowTap)));
    if (!plan->buffer || !plan->rowTaps) return kPxNoMemory;
    plan->work = CarvePlaneBuffer(plan->buffer, columns);
    plan->level = CpuLevel();
    plan->cols = BuildColumnTable(g, CurrentResizeKernels().shape, &plan->work.table);
    for (std::int32_t i = g.dy0; i < g.dy1; ++i) plan->rowTaps[i - g.dy0] = PlaneRowTap(g, i);
  }
  plan_ = std::move(plan);
  return kPxOk;
}

void PlaneResampler::Run(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride) {
  if (!plan_ || !src || !dst) return;
  Plan& plan = *plan_;
  if (plan.method == 1) {
    ResizeNearest(src, srcStride, dst, dstStride, plan.g);
    return;
  }
  // The blocks are cut for one level's vector step; a level forced since then
  // (tests, benchmarks) gets its own cut, in the same arrays.
  if (plan.level != CpuLevel()) {
    plan.level = CpuLevel();
    BuildBlocks(&plan.work.table, CurrentResizeKernels().shape, plan.g.sx0, plan.g.sx1);
  }
  const RowTap* taps = plan.rowTaps;
  const std::int32_t first = plan.g.dy0;
  ResizeBilinear(src, srcStride, dst, dstStride, plan.g, plan.work.table, plan.cols, plan.work.rows,
                 [taps, first](std::int32_t i) { return taps[i - first]; });
}

}  // namespace telvor::imaging
