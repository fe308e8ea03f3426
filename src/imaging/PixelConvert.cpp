// Colour conversion and repacking between BGRA, BGR, YUY2 and planar 4:2:0.
// Each primitive checks everything before it writes, then walks rows; the
// row functions of the selected variant do the work.
#include <algorithm>
#include <initializer_list>
#include <utility>

#include "compat/compat.h"
#include "imaging/PixelTables.h"

using namespace telvor::imaging;

namespace {

template <typename T>
T* At(T* base, std::int32_t stride, std::int32_t row) {
  return base + static_cast<std::ptrdiff_t>(stride) * row;
}

PxStatus Check(bool pointersOk, PxSize size, std::int32_t minWidth, std::int32_t minHeight) {
  if (!pointersOk) return kPxNullPointer;
  if (size.width < minWidth || size.height < minHeight) return kPxSizeTooSmall;
  return kPxOk;
}

bool PlanesOk(const std::uint8_t* const planes[3]) { return planes && planes[0] && planes[1] && planes[2]; }

// The walkers are forced inline, so each primitive compiles to the one
// function it was when written out by hand.

// Rows that follow each other without padding in every picture are walked as
// longer rows, a band at a time: a 720-line picture is then one call instead
// of 720, each paying its set-up and its tail once. The limit keeps every byte
// offset the row functions compute within an int.
constexpr std::int32_t kBandPixels = 1 << 20;

// Rows per call: a band where every stride is exactly its row's bytes (and
// the width even, so that no 4:2:2 pair straddles two rows), else one.
std::int32_t RowsPerCall(PxSize size, std::initializer_list<std::pair<std::int32_t, std::int32_t>> strideAndBytes) {
  if (size.width & 1) return 1;
  for (const auto& [stride, bytesPerPixel] : strideAndBytes) {
    if (static_cast<std::int64_t>(stride) != std::int64_t{size.width} * bytesPerPixel) return 1;
  }
  return std::max(1, std::min(size.height, kBandPixels / size.width));
}

// One packed row in, one packed row out.
template <int kSrcBytes, int kDstBytes, typename RowFn, typename... Extra>
TELVOR_FORCE_INLINE PxStatus PackedToPacked(RowFn* const (&table)[kPxLevelCount], const std::uint8_t* src,
                                            std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                                            PxSize size, std::int32_t minWidth, Extra... extra) {
  if (PxStatus s = Check(src && dst, size, minWidth, 1)) return s;
  RowFn* row = Variant(table);
  const std::int32_t band = RowsPerCall(size, {{srcStride, kSrcBytes}, {dstStride, kDstBytes}});
  for (std::int32_t y = 0; y < size.height; y += band) {
    const std::int32_t rows = std::min(band, size.height - y);
    row(At(src, srcStride, y), At(dst, dstStride, y), size.width * rows, extra...);
  }
  return kPxOk;
}

// Two packed rows in, two luma rows and one row of each chroma plane out; a
// last odd row or column is left alone.
template <typename RowsFn>
TELVOR_FORCE_INLINE PxStatus PackedToPlanar(RowsFn* const (&table)[kPxLevelCount], const std::uint8_t* src,
                                            std::int32_t srcStride, std::uint8_t* const dst[3],
                                            const std::int32_t dstStride[3], PxSize size) {
  if (PxStatus s = Check(src && PlanesOk(dst) && dstStride, size, 2, 2)) return s;
  RowsFn* rows = Variant(table);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y + 1 < size.height; y += 2) {
    rows(At(src, srcStride, y), At(src, srcStride, y + 1), At(dst[0], dstStride[0], y),
         At(dst[0], dstStride[0], y + 1), At(dst[1], dstStride[1], y / 2), At(dst[2], dstStride[2], y / 2), width);
  }
  return kPxOk;
}

// Planar 4:2:0 in, one packed row out, each chroma row serving two rows; a
// last odd row or column is left alone.
template <typename RowFn, typename... Extra>
TELVOR_FORCE_INLINE PxStatus PlanarToPacked(RowFn* const (&table)[kPxLevelCount], const std::uint8_t* const src[3],
                                            const std::int32_t srcStride[3], std::uint8_t* dst,
                                            std::int32_t dstStride, PxSize size, Extra... extra) {
  if (PxStatus s = Check(PlanesOk(src) && srcStride && dst, size, 2, 2)) return s;
  RowFn* row = Variant(table);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y < (size.height & ~1); ++y) {
    row(At(src[0], srcStride[0], y), At(src[1], srcStride[1], y / 2), At(src[2], srcStride[2], y / 2),
        At(dst, dstStride, y), width, extra...);
  }
  return kPxOk;
}

// A bottom-up BGRA output this large is written around the caches (see
// BottomUpRow): a core's own cache holds 1 to 2 MB, so a larger picture
// reaches its client from the shared cache or from memory either way.
constexpr std::int64_t kStreamedOutputBytes = std::int64_t{2} << 20;

bool StreamsOutput(PxSize size, std::int32_t dstStride) {
  return std::int64_t{size.height} * -std::int64_t{dstStride} >= kStreamedOutputBytes;
}

// A 4:2:0 conversion that went through has left an odd last row or column
// alone; its callers say so.
PxStatus EvenPart(PxStatus status, PxSize size) {
  if (status) return status;
  return ((size.width | size.height) & 1) ? kPxOddSizeNotConverted : kPxOk;
}

}  // namespace

PxStatus PxInterleavePlanes(const std::uint8_t* first, std::int32_t firstStride, const std::uint8_t* second,
                            std::int32_t secondStride, std::uint8_t* dst, std::int32_t dstStride, PxSize size) {
  if (PxStatus s = Check(first && second && dst, size, 1, 1)) return s;
  InterleaveRowFn* row = Variant(kInterleaveRow);
  const std::int32_t band = RowsPerCall(size, {{firstStride, 1}, {secondStride, 1}, {dstStride, 2}});
  for (std::int32_t y = 0; y < size.height; y += band) {
    const std::int32_t rows = std::min(band, size.height - y);
    row(At(first, firstStride, y), At(second, secondStride, y), At(dst, dstStride, y), size.width * rows);
  }
  return kPxOk;
}

PxStatus PxBgraToBgr(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size) {
  return PackedToPacked<4, 3>(kBgraToBgrRow, src, srcStride, dst, dstStride, size, 1);
}

PxStatus PxBgraToYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                      PxSize size) {
  return PackedToPacked<4, 2>(kBgraToYuy2Row, src, srcStride, dst, dstStride, size, 2);
}

PxStatus PxBgraToI420(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* const dst[3],
                      const std::int32_t dstStride[3], PxSize size) {
  return EvenPart(PackedToPlanar(kBgraToI420Rows, src, srcStride, dst, dstStride, size), size);
}

PxStatus PxYuy2ToYv12(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* const dst[3],
                      const std::int32_t dstStride[3], PxSize size) {
  return PackedToPlanar(kYuy2ToYv12Rows, src, srcStride, dst, dstStride, size);
}

PxStatus PxYuy2ToBgr(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size) {
  return PackedToPacked<2, 3>(kYuy2ToBgrRow, src, srcStride, dst, dstStride, size, 2);
}

PxStatus PxYuy2ToBgra(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                      PxSize size, std::uint8_t alpha) {
  if (dstStride >= 0) {
    return PackedToPacked<2, 4>(kYuy2ToBgraRow, src, srcStride, dst, dstStride, size, 2, alpha, nullptr);
  }
  if (PxStatus s = Check(src && dst, size, 2, 1)) return s;
  Yuy2ToBgraRowFn* row = Variant(kYuy2ToBgraRow);
  BottomUpRow walk{{}, StreamsOutput(size, dstStride), false};
  for (std::int32_t y = 0; y < size.height; ++y) {
    walk.next[0] = At(src, srcStride, std::min(y + 1, size.height - 1));
    walk.last = y + 1 == size.height;
    row(At(src, srcStride, y), At(dst, dstStride, y), size.width, alpha, &walk);
  }
  return kPxOk;
}

PxStatus PxYv12ToYuy2(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                      std::int32_t dstStride, PxSize size) {
  return PlanarToPacked(kYv12ToYuy2Row, src, srcStride, dst, dstStride, size);
}

PxStatus PxI420ToBgr(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                     std::int32_t dstStride, PxSize size) {
  return EvenPart(PlanarToPacked(kI420ToBgrRow, src, srcStride, dst, dstStride, size), size);
}

PxStatus PxI420ToBgra(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                      std::int32_t dstStride, PxSize size, std::uint8_t alpha) {
  if (dstStride >= 0) {
    return EvenPart(PlanarToPacked(kI420ToBgraRow, src, srcStride, dst, dstStride, size, alpha, nullptr), size);
  }
  if (PxStatus s = Check(PlanesOk(src) && srcStride && dst, size, 2, 2)) return s;
  I420ToBgraRowFn* row = Variant(kI420ToBgraRow);
  BottomUpRow walk{{}, StreamsOutput(size, dstStride), false};
  const std::int32_t rows = size.height & ~1;
  for (std::int32_t y = 0; y < rows; ++y) {
    const std::int32_t ahead = std::min(y + 1, rows - 1);
    for (int i = 0; i < 3; ++i) walk.next[i] = At(src[i], srcStride[i], i == 0 ? ahead : ahead / 2);
    walk.last = y + 1 == rows;
    row(At(src[0], srcStride[0], y), At(src[1], srcStride[1], y / 2), At(src[2], srcStride[2], y / 2),
        At(dst, dstStride, y), size.width & ~1, alpha, &walk);
  }
  return EvenPart(kPxOk, size);
}
