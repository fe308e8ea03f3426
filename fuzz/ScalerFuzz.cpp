// The frame converter end to end: random source and output formats, sizes,
// styles, orientation and interpolation, with the source and the output held
// in blocks of exactly the bytes the video pin would hand over. A converter
// that cannot work (bad size, unknown mode or kind) must write nothing.
#include <vector>

#include "FuzzPlane.h"
#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"

using namespace telvor::fuzz;

namespace {

// Mostly ordinary sides; sometimes an edge one (then the other side of the
// picture is kept tiny so the buffers stay small).
std::int32_t DrawSide(FuzzedDataProvider& in, std::int32_t ordinary, bool* edge) {
  constexpr std::int32_t kMax = kMaxConverterSide;
  static const std::int32_t kEdges[] = {0, -1, 1, 2, 3, kMax - 1, kMax, kMax + 1, 65535, 100000, 0x7fffffff};
  if (in.ConsumeIntegralInRange(0, 15) == 0) {
    *edge = true;
    return Pick(in, kEdges);
  }
  return in.ConsumeIntegralInRange<std::int32_t>(1, ordinary);
}

bool Usable(std::int32_t side) { return side >= 1 && side <= kMaxConverterSide; }

// Row bytes of an output row as the pin lays it out: RGB24 rows are whole DWORDs.
std::int64_t OutputRowBytes(std::int32_t kind, std::int32_t width) {
  const int perPixel = kind == kOutputYuy2 ? 2 : kind == kOutputRgb24 ? 3 : kind == kOutputRgb32 ? 4 : 1;
  const std::int64_t bytes = std::int64_t{width} * perPixel;
  return kind == kOutputRgb24 ? (bytes + 3) & ~std::int64_t{3} : bytes;
}

std::int64_t OutputBytes(std::int32_t kind, std::int64_t stride, std::int32_t width, std::int32_t height) {
  if (kind == kOutputYv12 || kind == kOutputI420) return stride * height + 2 * (stride / 2) * (height / 2);
  if (kind == kOutputNv12) return stride * (height + height / 2);
  return stride * (height - 1) + OutputRowBytes(kind, width);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t bytes) {
  FuzzedDataProvider in(data, bytes);
  const std::int32_t mode = in.ConsumeIntegralInRange<std::int32_t>(0, 3);
  const std::int32_t kind = in.ConsumeIntegralInRange<std::int32_t>(0, 7);
  bool edge = false;
  std::int32_t sw = DrawSide(in, 400, &edge);
  std::int32_t sh = DrawSide(in, 200, &edge);
  const bool same = in.ConsumeIntegralInRange(0, 3) == 0;  // the output at the source's size: the copy paths
  std::int32_t dw = same ? sw : DrawSide(in, 400, &edge);
  std::int32_t dh = same ? sh : DrawSide(in, 200, &edge);
  const bool bottomUp = in.ConsumeBool();
  const std::int32_t interpolation = DrawInterpolation(in);
  const std::int32_t style = in.ConsumeIntegralInRange<std::int32_t>(-1, 3);
  // Keep an edge case's pictures small: one side extreme, the other short.
  if (edge) {
    if (std::int64_t{sw} * sh > 1 << 16) sh = sw > 16 ? 2 : sh;
    if (std::int64_t{dw} * dh > 1 << 16) dh = dw > 16 ? 2 : dh;
    if (std::int64_t{sw} * sh > 1 << 16) sw = 2;
    if (std::int64_t{dw} * dh > 1 << 16) dw = 2;
  }

  ForceCpuLevel(in.ConsumeIntegralInRange(0, kPxLevelCount - 1));
  SwScaler scaler(mode, sw, sh, kind, dw, dh, bottomUp, interpolation, style);

  // The source block: exactly one frame at the pin's stride.
  const std::int32_t srcWidth = Usable(sw) ? sw : 1;
  const std::int64_t sourceBytes = SwScaler::SourceBytes(mode, srcWidth, Usable(sh) ? sh : 1);
  Plane source(sourceBytes > 0 ? static_cast<std::int32_t>(sourceBytes) : 16, 1, Layout{});
  source.Randomize(in);
  const std::vector<std::uint8_t> sourceBefore = source.Picture();
  const std::int32_t sourceStride = mode == kConverterYuy2 ? 2 * srcWidth : srcWidth;

  const std::int32_t outWidth = Usable(dw) ? dw : 1;
  const std::int64_t stride = OutputRowBytes(kind, outWidth);
  Plane output(static_cast<std::int32_t>(OutputBytes(kind, stride, outWidth, Usable(dh) ? dh : 1)), 1, Layout{});

  // Two frames through the same converter: state kept between frames must
  // not have been disturbed by the first.
  for (int frame = 0; frame < 2; ++frame) {
    scaler.Scale(source.first(), sourceStride, output.first(), static_cast<std::int32_t>(stride));
  }
  if (source.Picture() != sourceBefore) Fail("SwScaler wrote its source", mode, kind);
  // Placement keeps both rectangles inside their pictures.
  const bool sized = Usable(sw) && Usable(sh) && Usable(dw) && Usable(dh);
  auto inside = [](const ScaleRect& r, std::int32_t w, std::int32_t h) {
    return r.x >= 0 && r.y >= 0 && r.width >= 0 && r.height >= 0 && r.x + r.width <= w && r.y + r.height <= h;
  };
  if (sized && !inside(scaler.SourceRect(), sw, sh)) Fail("source rectangle outside", sw, sh);
  if (sized && !inside(scaler.DestinationRect(), dw, dh)) Fail("destination rectangle outside", dw, dh);
  const bool workable = sized && (mode == kConverterYuy2 || mode == kConverterYv12) && kind >= kOutputYuy2 &&
                        kind <= kOutputNv12;
  // YUV outputs have no bottom-up form, except YV12 resampled into a 4:2:0 kind, which keeps its planes upright.
  const bool sameSize = sw == dw && sh == dh;
  const bool planar = kind == kOutputYv12 || kind == kOutputI420 || kind == kOutputNv12;
  const bool refused = bottomUp && (kind == kOutputYuy2 || (planar && (mode == kConverterYuy2 || sameSize)));
  if (!workable || refused) output.CheckUnwritten("SwScaler wrote without a workable format");
  return 0;
}
