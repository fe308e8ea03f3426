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

// The source untouched, nothing written beside the destination picture, and
// nothing at all after a refusal or with no source pixel in the region.
void CheckResult(const char* name, PxStatus status, const Plane& src, const std::vector<std::uint8_t>& srcBefore,
                 const Plane& dst) {
  if (src.Picture() != srcBefore) Fail(name, status, 0);
  dst.CheckMargins(name);
  if (status < 0 || status == kPxNothingToDo) dst.CheckUnwritten(name);
}

void FuzzResizePlane(FuzzedDataProvider& in) {
  const PxSize srcSize{in.ConsumeIntegralInRange<std::int32_t>(1, 300), in.ConsumeIntegralInRange<std::int32_t>(1, 120)};
  const ScaleRect srcRoi = DrawSourceRoi(in, srcSize);
  const ScaleRect dstRoi{in.ConsumeIntegralInRange<std::int32_t>(-3, 40), in.ConsumeIntegralInRange<std::int32_t>(-3, 40),
                         in.ConsumeIntegralInRange<std::int32_t>(-2, 400), in.ConsumeIntegralInRange<std::int32_t>(-2, 160)};
  const double xFactor = DrawFactor(in, static_cast<double>(Positive(dstRoi.width)) / Positive(srcRoi.width));
  const double yFactor = DrawFactor(in, static_cast<double>(Positive(dstRoi.height)) / Positive(srcRoi.height));
  const double xShift = DrawShift(in);
  const double yShift = DrawShift(in);
  const std::int32_t interpolation = DrawInterpolation(in);

  Plane src(srcSize.width, srcSize.height, Layout::Draw(in));
  src.Randomize(in);
  const std::vector<std::uint8_t> srcBefore = src.Picture();
  Plane dst(NonNegative(dstRoi.x) + Positive(dstRoi.width), NonNegative(dstRoi.y) + Positive(dstRoi.height),
            Layout::Draw(in));
  std::int32_t bufferBytes = 0;
  const bool sized = PxResizeBufferSize(srcRoi, dstRoi, 1, interpolation, &bufferBytes) == kPxOk;
  std::vector<std::uint8_t> storage(sized ? static_cast<std::size_t>(bufferBytes) : 1);

  // Now and then a null source, destination or work buffer, to be refused.
  const int nulled = in.ConsumeIntegralInRange(0, 15);

  ForceCpuLevel(in.ConsumeIntegralInRange(0, kPxLevelCount - 1));
  const PxStatus status = PxResizePlane(nulled == 0 ? nullptr : src.first(), srcSize, src.stride(), srcRoi,
                                        nulled == 1 ? nullptr : dst.first(), dst.stride(), dstRoi, xFactor, yFactor,
                                        xShift, yShift, interpolation, nulled == 2 ? nullptr : storage.data());
  if (status == kPxOk && !sized) Fail("PxResizePlane ran without a buffer size", srcRoi.width, dstRoi.width);
  if (nulled < 3 && status >= 0) Fail("PxResizePlane took a null pointer", nulled, status);
  CheckResult("PxResizePlane", status, src, srcBefore, dst);
  CheckOutsideRegion(dst, NonNegative(dstRoi.x), NonNegative(dstRoi.y), "PxResizePlane outside region");
}

void FuzzResizeYuy2(FuzzedDataProvider& in) {
  std::int32_t width = in.ConsumeIntegralInRange<std::int32_t>(1, 300);
  if (in.ConsumeIntegralInRange(0, 7) != 0) width = (width + 1) & ~1;  // odd widths are refused; try them rarely
  const PxSize srcSize{width, in.ConsumeIntegralInRange<std::int32_t>(1, 120)};
  ScaleRect srcRoi = DrawSourceRoi(in, srcSize);
  if (in.ConsumeIntegralInRange(0, 7) != 0) {
    srcRoi.x &= ~1;
    srcRoi.width &= ~1;
  }
  const PxSize dstSize{in.ConsumeIntegralInRange<std::int32_t>(-1, 400), in.ConsumeIntegralInRange<std::int32_t>(-1, 160)};
  const double xFactor = DrawFactor(in, static_cast<double>(Positive(dstSize.width)) / Positive(srcRoi.width));
  const double yFactor = DrawFactor(in, static_cast<double>(Positive(dstSize.height)) / Positive(srcRoi.height));
  const std::int32_t interpolation = DrawInterpolation(in);

  Plane src(2 * srcSize.width, srcSize.height, Layout::Draw(in));
  src.Randomize(in);
  const std::vector<std::uint8_t> srcBefore = src.Picture();
  Plane dst(2 * Positive(dstSize.width), Positive(dstSize.height), Layout::Draw(in));

  ForceCpuLevel(in.ConsumeIntegralInRange(0, kPxLevelCount - 1));
  const PxStatus status = PxResizeYuy2(src.first(), srcSize, src.stride(), srcRoi, dst.first(), dst.stride(), dstSize,
                                       xFactor, yFactor, interpolation);
  CheckResult("PxResizeYuy2", status, src, srcBefore, dst);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes) {
  FuzzedDataProvider in(data, bytes);
  if (in.ConsumeBool()) {
    FuzzResizePlane(in);
  } else {
    FuzzResizeYuy2(in);
  }
  return 0;
}
