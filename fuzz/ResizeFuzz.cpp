// The two resamplers with random pictures, regions, factors, shifts and
// processor levels. They may refuse anything, but whatever they accept they
// must do without reading outside the source picture or writing outside the
// destination region.
#include <algorithm>
#include <vector>

#include "FuzzPlane.h"
#include "imaging/Pixel.h"

using namespace telvor::fuzz;

namespace {

std::int32_t Positive(std::int32_t v) { return v > 0 ? v : 1; }
std::int32_t NonNegative(std::int32_t v) { return v > 0 ? v : 0; }

ScaleRect DrawSourceRoi(FuzzedDataProvider& in, PxSize size) {
  if (in.ConsumeBool()) return ScaleRect{0, 0, size.width, size.height};
  return ScaleRect{in.ConsumeIntegralInRange<std::int32_t>(-40, size.width + 40),
                   in.ConsumeIntegralInRange<std::int32_t>(-40, size.height + 40),
                   in.ConsumeIntegralInRange<std::int32_t>(-2, size.width + 60),
                   in.ConsumeIntegralInRange<std::int32_t>(-2, size.height + 60)};
}

// Columns left of, and rows above, the destination region stay untouched.
void CheckOutsideRegion(const Plane& dst, std::int32_t x0, std::int32_t y0, const char* name) {
  for (std::int32_t r = 0; r < dst.rows(); ++r) {
    const std::uint8_t* row = dst.first() + static_cast<std::ptrdiff_t>(dst.stride()) * r;
    const std::int32_t limit = r < y0 ? dst.rowBytes() : std::min(x0, dst.rowBytes());
    for (std::int32_t c = 0; c < limit; ++c) {
      if (row[c] != kSentinel) Fail(name, r, c);
    }
  }
}

// One of the two resamplers; YUY2 takes two bytes a pixel, an output size
// instead of a region, and neither shifts nor a work buffer.
void FuzzResize(FuzzedDataProvider& in, bool yuy2) {
  const char* name = yuy2 ? "PxResizeYuy2" : "PxResizePlane";
  std::int32_t width = in.ConsumeIntegralInRange<std::int32_t>(1, 300);
  // YUY2 refuses odd widths and regions at odd columns: try them rarely.
  const bool even = yuy2 && in.ConsumeIntegralInRange(0, 7) != 0;
  if (even) width = (width + 1) & ~1;
  const PxSize srcSize{width, in.ConsumeIntegralInRange<std::int32_t>(1, 120)};
  ScaleRect srcRoi = DrawSourceRoi(in, srcSize);
  if (even) {
    srcRoi.x &= ~1;
    srcRoi.width &= ~1;
  }
  const std::int32_t x = in.ConsumeIntegralInRange<std::int32_t>(-3, 40);
  const std::int32_t y = in.ConsumeIntegralInRange<std::int32_t>(-3, 40);
  const ScaleRect dstRoi{yuy2 ? 0 : x, yuy2 ? 0 : y, in.ConsumeIntegralInRange<std::int32_t>(-2, 400),
                         in.ConsumeIntegralInRange<std::int32_t>(-2, 160)};
  const double xFactor = DrawFactor(in, static_cast<double>(Positive(dstRoi.width)) / Positive(srcRoi.width));
  const double yFactor = DrawFactor(in, static_cast<double>(Positive(dstRoi.height)) / Positive(srcRoi.height));
  const double xShift = DrawShift(in), yShift = DrawShift(in);
  const std::int32_t interpolation = DrawInterpolation(in);
  const int bytes = yuy2 ? 2 : 1;

  Plane src(bytes * srcSize.width, srcSize.height, Layout::Draw(in));
  src.Randomize(in);
  const std::vector<std::uint8_t> srcBefore = src.Picture();
  Plane dst(bytes * (NonNegative(dstRoi.x) + Positive(dstRoi.width)), NonNegative(dstRoi.y) + Positive(dstRoi.height),
            Layout::Draw(in));
  std::int32_t bufferBytes = 0;
  const bool sized = PxResizeBufferSize(srcRoi, dstRoi, 1, interpolation, &bufferBytes) == kPxOk;
  std::vector<std::uint8_t> storage(sized ? static_cast<std::size_t>(bufferBytes) : 1);
  // Now and then a null source, destination or work buffer, to be refused.
  const int nulled = in.ConsumeIntegralInRange(0, 15);
  const std::uint8_t* source = nulled == 0 ? nullptr : src.first();
  std::uint8_t* target = nulled == 1 ? nullptr : dst.first();

  ForceCpuLevel(in.ConsumeIntegralInRange(0, kPxLevelCount - 1));
  const PxStatus status =
      yuy2 ? PxResizeYuy2(source, srcSize, src.stride(), srcRoi, target, dst.stride(),
                          PxSize{dstRoi.width, dstRoi.height}, xFactor, yFactor, interpolation)
           : PxResizePlane(source, srcSize, src.stride(), srcRoi, target, dst.stride(), dstRoi, xFactor, yFactor, xShift,
                           yShift, interpolation, nulled == 2 ? nullptr : storage.data());
  if (!yuy2 && status == kPxOk && !sized) Fail("PxResizePlane ran without a buffer size", srcRoi.width, dstRoi.width);
  if (nulled < (yuy2 ? 2 : 3) && status >= 0) Fail("a null pointer taken", nulled, status);
  // The source untouched, nothing written beside the destination region, and
  // nothing at all after a refusal or with no source pixel in the region.
  if (src.Picture() != srcBefore) Fail(name, status, 0);
  dst.CheckMargins(name);
  if (status < 0 || status == kPxNothingToDo) dst.CheckUnwritten(name);
  CheckOutsideRegion(dst, NonNegative(dstRoi.x), NonNegative(dstRoi.y), name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes) {
  FuzzedDataProvider in(data, bytes);
  FuzzResize(in, in.ConsumeBool());
  return 0;
}
