// Colour conversion and repacking between BGRA, BGR, YUY2 and planar 4:2:0.
// Each primitive checks everything before it writes, then walks rows; the
// row functions of the selected variant do the work.
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

PxStatus EvenPartStatus(PxSize size) {
  return ((size.width | size.height) & 1) ? kPxOddSizeNotConverted : kPxOk;
}

}  // namespace

PxStatus PxBgraToBgr(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size) {
  if (PxStatus s = Check(src && dst, size, 1, 1)) return s;
  BgraToBgrRowFn* row = Variant(kBgraToBgrRow);
  for (std::int32_t y = 0; y < size.height; ++y) row(At(src, srcStride, y), At(dst, dstStride, y), size.width);
  return kPxOk;
}

PxStatus PxBgraToYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                      PxSize size) {
  if (PxStatus s = Check(src && dst, size, 2, 1)) return s;
  BgraToYuy2RowFn* row = Variant(kBgraToYuy2Row);
  for (std::int32_t y = 0; y < size.height; ++y) row(At(src, srcStride, y), At(dst, dstStride, y), size.width);
  return kPxOk;
}

PxStatus PxBgraToI420(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* const dst[3],
                      const std::int32_t dstStride[3], PxSize size) {
  if (PxStatus s = Check(src && PlanesOk(dst) && dstStride, size, 2, 2)) return s;
  BgraToI420RowsFn* rows = Variant(kBgraToI420Rows);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y + 1 < size.height; y += 2) {
    rows(At(src, srcStride, y), At(src, srcStride, y + 1), At(dst[0], dstStride[0], y),
         At(dst[0], dstStride[0], y + 1), At(dst[1], dstStride[1], y / 2), At(dst[2], dstStride[2], y / 2), width);
  }
  return EvenPartStatus(size);
}

PxStatus PxYuy2ToYv12(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* const dst[3],
                      const std::int32_t dstStride[3], PxSize size) {
  if (PxStatus s = Check(src && PlanesOk(dst) && dstStride, size, 2, 2)) return s;
  Yuy2ToYv12RowsFn* rows = Variant(kYuy2ToYv12Rows);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y + 1 < size.height; y += 2) {
    rows(At(src, srcStride, y), At(src, srcStride, y + 1), At(dst[0], dstStride[0], y),
         At(dst[0], dstStride[0], y + 1), At(dst[1], dstStride[1], y / 2), At(dst[2], dstStride[2], y / 2), width);
  }
  return kPxOk;
}

PxStatus PxYuy2ToBgr(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size) {
  if (PxStatus s = Check(src && dst, size, 2, 1)) return s;
  Yuy2ToBgrRowFn* row = Variant(kYuy2ToBgrRow);
  for (std::int32_t y = 0; y < size.height; ++y) row(At(src, srcStride, y), At(dst, dstStride, y), size.width);
  return kPxOk;
}

PxStatus PxYuy2ToBgra(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                      PxSize size, std::uint8_t alpha) {
  if (PxStatus s = Check(src && dst, size, 2, 1)) return s;
  Yuy2ToBgraRowFn* row = Variant(kYuy2ToBgraRow);
  for (std::int32_t y = 0; y < size.height; ++y) row(At(src, srcStride, y), At(dst, dstStride, y), size.width, alpha);
  return kPxOk;
}

PxStatus PxYv12ToYuy2(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                      std::int32_t dstStride, PxSize size) {
  if (PxStatus s = Check(PlanesOk(src) && srcStride && dst, size, 2, 2)) return s;
  Yv12ToYuy2RowFn* row = Variant(kYv12ToYuy2Row);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y < (size.height & ~1); ++y) {
    row(At(src[0], srcStride[0], y), At(src[1], srcStride[1], y / 2), At(src[2], srcStride[2], y / 2),
        At(dst, dstStride, y), width);
  }
  return kPxOk;
}

PxStatus PxI420ToBgr(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                     std::int32_t dstStride, PxSize size) {
  if (PxStatus s = Check(PlanesOk(src) && srcStride && dst, size, 2, 2)) return s;
  I420ToBgrRowFn* row = Variant(kI420ToBgrRow);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y < (size.height & ~1); ++y) {
    row(At(src[0], srcStride[0], y), At(src[1], srcStride[1], y / 2), At(src[2], srcStride[2], y / 2),
        At(dst, dstStride, y), width);
  }
  return EvenPartStatus(size);
}

PxStatus PxI420ToBgra(const std::uint8_t* const src[3], const std::int32_t srcStride[3], std::uint8_t* dst,
                      std::int32_t dstStride, PxSize size, std::uint8_t alpha) {
  if (PxStatus s = Check(PlanesOk(src) && srcStride && dst, size, 2, 2)) return s;
  I420ToBgraRowFn* row = Variant(kI420ToBgraRow);
  const std::int32_t width = size.width & ~1;
  for (std::int32_t y = 0; y < (size.height & ~1); ++y) {
    row(At(src[0], srcStride[0], y), At(src[1], srcStride[1], y / 2), At(src[2], srcStride[2], y / 2),
        At(dst, dstStride, y), width, alpha);
  }
  return EvenPartStatus(size);
}
