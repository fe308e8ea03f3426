// Copies and fills: samples for the audio pin, planes and packed rows for the
// frame converter.
#include <cstring>

#include "imaging/PixelTables.h"

using namespace telvor::imaging;

namespace {

PxStatus CopyRows(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                  PxSize size, int bytesPerPixel) {
  if (!src || !dst) return kPxNullPointer;
  if (size.width < 1 || size.height < 1) return kPxSizeTooSmall;
  CopyRowFn* copy = Variant(kCopyRow);
  const std::size_t rowBytes = static_cast<std::size_t>(size.width) * bytesPerPixel;
  for (std::int32_t y = 0; y < size.height; ++y) {
    copy(src + static_cast<std::ptrdiff_t>(srcStride) * y, dst + static_cast<std::ptrdiff_t>(dstStride) * y, rowBytes);
  }
  return kPxOk;
}

}  // namespace

PxStatus PxCopyBytes(const void* src, void* dst, std::int32_t count) {
  if (!src || !dst) return kPxNullPointer;
  if (count < 1) return kPxSizeTooSmall;
  Variant(kCopyRow)(static_cast<const std::uint8_t*>(src), static_cast<std::uint8_t*>(dst),
                    static_cast<std::size_t>(count));
  return kPxOk;
}

PxStatus PxFill16(std::uint16_t value, void* dst, std::int32_t count) {
  if (!dst) return kPxNullPointer;
  if (count < 1) return kPxSizeTooSmall;
  auto* out = static_cast<std::uint8_t*>(dst);
  // Byte copies: the destination need not be aligned for 16-bit stores.
  for (std::int32_t i = 0; i < count; ++i) std::memcpy(out + 2 * static_cast<std::size_t>(i), &value, 2);
  return kPxOk;
}

PxStatus PxSetPlane(std::uint8_t value, std::uint8_t* dst, std::int32_t dstStride, PxSize size) {
  if (!dst) return kPxNullPointer;
  if (size.width < 1 || size.height < 1) return kPxSizeTooSmall;
  for (std::int32_t y = 0; y < size.height; ++y) {
    std::memset(dst + static_cast<std::ptrdiff_t>(dstStride) * y, value, static_cast<std::size_t>(size.width));
  }
  return kPxOk;
}

PxStatus PxCopyPlane(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                     PxSize size) {
  return CopyRows(src, srcStride, dst, dstStride, size, 1);
}

PxStatus PxCopyPacked422(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                         PxSize size) {
  return CopyRows(src, srcStride, dst, dstStride, size, 2);
}

PxStatus PxCopyBgra(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                    PxSize size) {
  return CopyRows(src, srcStride, dst, dstStride, size, 4);
}
