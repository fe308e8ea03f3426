// Packed YUY2, corner-aligned bilinear or nearest. Luma and the two chroma
// channels are sampled on their own grids but filtered in one pass over the
// interleaved bytes.
#include <algorithm>
#include <cmath>

#include "imaging/Pixel.h"
#include "imaging/ResizeRows.h"

namespace {

using namespace telvor::imaging;

// Output bytes filtered per strip; the tables of one strip live on the stack
// (about 86 KB). A row up to 2048 pixels wide is one strip: each further
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
  BuildBlocks(table, shape, base, base + 2 * g.width);
}

void ResizeBilinear(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* dst, std::ptrdiff_t dstStride,
                    const Yuy2Geometry& g, double fx, double fy) {
  alignas(64) std::int32_t first[kStripBytes];
  alignas(64) std::int32_t second[kStripBytes];
  alignas(64) std::int16_t weights[2 * kStripBytes];
  alignas(64) std::int32_t blockBase[kStripBytes / kBlock];
  alignas(64) std::uint8_t blockSel[kSelectorBytes * kStripBytes];
  alignas(64) std::int16_t rows[2][kStripBytes];
  TapTable table{0, first, second, weights, blockBase, blockSel, BlockShape{}};
  const ResizeKernels kernels = CurrentResizeKernels();
  const double rowStep = CornerStep(g.height, g.height * fy);
  const std::uint8_t* region = src + g.y0 * srcStride;
  const std::int32_t outBytes = 2 * g.outWidth;
  // Strips of equal width: each strip walks every row once more.
  const std::int32_t strips = (outBytes + kStripBytes - 1) / kStripBytes;
  const std::int32_t stripBytes = (outBytes / strips + 63) & ~63;
  // One strip reads the source from its first byte to its last, which the
  // processor's own prefetcher follows; strips jump from row to row and would
  // wait on memory at the start of each without a hint.
  const bool prefetch = strips > 1;
  for (std::int32_t begin = 0; begin < outBytes; begin += stripBytes) {
    const std::int32_t end = std::min(outBytes, begin + stripBytes);
    BuildStrip(g, fx, begin, end, kernels.shape, &table);
    RowPairCache cache(rows[0], rows[1]);
    std::int32_t prefetched = -1;
    for (std::int32_t i = 0; i < g.outHeight; ++i) {
      const Tap rowTap = CornerTap(i, rowStep, g.height);
      if (prefetch) {
        // The rows two output rows ahead: far enough for memory to answer.
        const std::int32_t ahead = CornerTap(std::min(i + kPrefetchRows, g.outHeight - 1), rowStep, g.height).second;
        for (; prefetched < ahead; ++prefetched) kernels.prefetch(region + (prefetched + 1) * srcStride, table);
      }
      const std::int16_t* upper = nullptr;
      const std::int16_t* lower = nullptr;
      cache.Get(region, srcStride, table, kernels, rowTap.first, rowTap.second, &upper, &lower);
      kernels.vertical(upper, lower, rowTap.weight, dst + i * dstStride + begin, end - begin);
    }
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

}  // namespace

PxStatus PxResizeYuy2(const std::uint8_t* src, PxSize srcSize, std::int32_t srcStride, ScaleRect srcRoi,
                      std::uint8_t* dst, std::int32_t dstStride, PxSize dstSize, double xFactor, double yFactor,
                      std::int32_t interpolation) {
  if (!src || !dst) return kPxNullPointer;
  if (srcSize.width < 1 || srcSize.height < 1 || srcRoi.width < 1 || srcRoi.height < 1 || dstSize.height < 1 ||
      (srcSize.width & 1) || (srcRoi.x & 1) || (srcRoi.width & 1) || dstSize.width < 2) {
    return kPxSizeTooSmall;
  }
  if (!(xFactor > 0) || !(yFactor > 0) || !std::isfinite(xFactor) || !std::isfinite(yFactor)) return kPxBadFactor;
  std::int32_t method = interpolation;
  if (method != 1 && method != 2 && method != 4 && method != 8) return kPxBadInterpolation;

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

  if (method == 4 && (srcSize.width < 8 || srcSize.height < 4)) method = 2;
  if (srcSize.width < 4 || srcSize.height < 2) method = 1;
  if (method == 1) {
    ResizeNearest(src, srcStride, dst, dstStride, g, xFactor, yFactor);
  } else {
    // The higher-order codes resample bilinearly here: nothing in this
    // system asks for them, and bilinear is the closest safe answer.
    ResizeBilinear(src, srcStride, dst, dstStride, g, xFactor, yFactor);
  }
  return kPxOk;
}
