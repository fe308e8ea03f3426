// Copies and fills: samples for the audio pin, planes and packed rows for the
// frame converter.
#include <cstring>

#include "compat/compat.h"
#include "imaging/PixelTables.h"

using namespace telvor::imaging;

namespace {

// Below this a string move's start-up costs more than it saves.
constexpr std::size_t kStringCopyMinBytes = 4096;

// Whether the processor reports fast string moves (leaf 7, EBX bit 9).
bool HasFastStrings() {
  static const bool fast = [] {
    std::uint32_t regs[4] = {};
    TelvorCpuid(0, 0, regs);
    if (regs[0] < 7) return false;
    TelvorCpuid(7, 0, regs);
    return (regs[1] & (1u << 9)) != 0;
  }();
  return fast;
}

// One long block. On a processor with fast string moves they beat the vector
// loop by about 5 % on a plane that fits the L2 cache of a Xeon and tie with
// it on Zen 3 (bench/README.md); level 0 keeps the plain copy so that the
// plain variant stays the reference.
void CopyBlock(CopyRowFn* copy, const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes) {
  if (bytes >= kStringCopyMinBytes && CpuLevel() >= 1 && HasFastStrings()) {
    TelvorStringCopy(dst, src, bytes);
  } else {
    copy(src, dst, bytes);
  }
}

PxStatus CopyRows(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride,
                  PxSize size, int bytesPerPixel) {
  if (!src || !dst) return kPxNullPointer;
  if (size.width < 1 || size.height < 1) return kPxSizeTooSmall;
  CopyRowFn* copy = Variant(kCopyRow);
  const std::size_t rowBytes = static_cast<std::size_t>(size.width) * bytesPerPixel;
  // Rows that follow each other without padding in both pictures are one long
  // block: a 720-line plane is then one copy instead of 720 short ones.
  if (srcStride > 0 && static_cast<std::size_t>(srcStride) == rowBytes && srcStride == dstStride) {
    CopyBlock(copy, src, dst, rowBytes * static_cast<std::size_t>(size.height));
    return kPxOk;
  }
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
