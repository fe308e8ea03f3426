#include "imaging/SwScaler.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <xmmintrin.h>

#include "base/Log.h"
#include "imaging/Pixel.h"

namespace {

constexpr wchar_t kUnit[] = L"Utils";
constexpr wchar_t kNotSupported[] = L"not supported";
constexpr std::uint8_t kOpaque = 255;
// Studio-range black: what Fill's bands show in every output format (the
// colour conversions turn it into RGB 0).
constexpr std::uint8_t kBlackLuma = 16;
constexpr std::uint8_t kNeutralChroma = 128;
constexpr std::uint16_t kBlackYuy2Pixel = kBlackLuma | (kNeutralChroma << 8);  // Y, then Cb or Cr

bool SideOk(std::int32_t side) { return side >= 1 && side <= kMaxConverterSide; }

std::uint8_t* Offset(std::uint8_t* base, std::int32_t rows, std::int32_t stride, std::int32_t bytes) {
  return base + static_cast<std::ptrdiff_t>(rows) * stride + bytes;
}
const std::uint8_t* Offset(const std::uint8_t* base, std::int32_t rows, std::int32_t stride, std::int32_t bytes) {
  return base + static_cast<std::ptrdiff_t>(rows) * stride + bytes;
}

// Calls paint(row, first, count) for every run of pixels of a width x height
// plane outside `inner`: whole rows above and below it, the columns beside it
// on the rows between. Only the band area is touched.
template <class Paint>
void ForEachRunOutside(std::int32_t width, std::int32_t height, const ScaleRect& inner, Paint paint) {
  const std::int32_t top = std::clamp(inner.y, 0, height);
  const std::int32_t bottom = std::clamp(inner.y + inner.height, top, height);
  const std::int32_t left = std::clamp(inner.x, 0, width);
  const std::int32_t right = std::clamp(inner.x + inner.width, left, width);
  for (std::int32_t y = 0; y < top; ++y) paint(y, 0, width);
  for (std::int32_t y = bottom; y < height; ++y) paint(y, 0, width);
  if (left == 0 && right == width) return;
  for (std::int32_t y = top; y < bottom; ++y) {
    if (left > 0) paint(y, 0, left);
    if (right < width) paint(y, right, width - right);
  }
}

void PaintPlaneOutside(std::uint8_t* plane, std::int32_t stride, std::int32_t width, std::int32_t height,
                       const ScaleRect& inner, std::uint8_t value) {
  ForEachRunOutside(width, height, inner, [&](std::int32_t y, std::int32_t x, std::int32_t count) {
    std::memset(Offset(plane, y, stride, x), value, static_cast<std::size_t>(count));
  });
}

// A camera converts a frame a period after the last one, by when the output's
// pages have left the TLB; stores that reach such a page wait for its walk one
// page at a time. One prefetch per page first lets the walks overlap: YUY2
// 1080p into a bottom-up RGB32 1080p after 33 ms asleep took 0.51-0.59 ms, and
// 0.42-0.45 ms with them (Zen 5, bench/README.md).
void PrimePages(const std::uint8_t* first, std::int64_t bytes) {
  constexpr std::int64_t kPage = 4096;
  for (std::int64_t at = 0; at < bytes; at += kPage) _mm_prefetch(reinterpret_cast<const char*>(first) + at, _MM_HINT_T0);
}

}  // namespace

SwScaler::SwScaler(std::int32_t mode, std::int32_t sw, std::int32_t sh, std::int32_t outputKind, std::int32_t dw,
                   std::int32_t dh, bool bottomUp, std::int32_t interpolation, std::int32_t style)
    : mode_(mode),
      outputKind_(outputKind),
      sw_(sw),
      sh_(sh),
      dw_(dw),
      dh_(dh),
      bottomUp_(bottomUp),
      interpolation_(interpolation),
      style_(style),
      sameSize_(sw == dw && sh == dh),
      sourceFrame_{0, 0, sw, sh},
      outputFrame_{0, 0, dw, dh},
      sourceRect_{0, 0, sw, sh},
      destinationRect_{0, 0, dw, dh} {
  if (!SideOk(sw) || !SideOk(sh) || !SideOk(dw) || !SideOk(dh)) {
    TELVOR_ERROR_OBJ(kUnit, L"SwScaler::SwScaler", this)
        << L"unusable frame size " << sw << L'x' << sh << L" ==> " << dw << L'x' << dh;
    inert_ = true;
    return;
  }
  PlaceRects(style, sw, sh, dw, dh, &sourceRect_, &destinationRect_);
  if (mode != kConverterYuy2 && mode != kConverterYv12) {
    TELVOR_ERROR_OBJ(kUnit, L"SwScaler::SwScaler", this) << kNotSupported;
    return;
  }
  if (!Allocate()) {
    TELVOR_ERROR_OBJ(kUnit, L"SwScaler::SwScaler", this) << L"out of memory, frames will be dropped";
    inert_ = true;
  }
}

SwScaler::~SwScaler() {
  for (PlaneRef& plane : planes_) {
    PxImageFree(plane.data);
    plane = PlaneRef{};
  }
}

std::int64_t SwScaler::SourceBytes(std::int32_t mode, std::int32_t sw, std::int32_t sh) {
  if (sw < 1 || sh < 1) return 0;
  const std::int64_t w = sw;
  const std::int64_t h = sh;
  if (mode == kConverterYuy2) return 2 * w * h;
  if (mode == kConverterYv12) return w * h + 2 * (w / 2) * (h / 2);
  return 0;
}

std::int64_t SwScaler::OutputBytes(std::int32_t stride) const {
  const std::int64_t rows = dh_, bytes = rows * stride;
  if (outputKind_ == kOutputNv12) return bytes + rows / 2 * stride;
  if (PlanarOutput()) return bytes + 2 * (rows / 2) * (stride / 2);
  return bytes;
}

bool SwScaler::Allocate() { return mode_ == kConverterYuy2 ? AllocateYuy2() : AllocateYv12(); }

bool SwScaler::PlanarOutput() const {
  return outputKind_ == kOutputYv12 || outputKind_ == kOutputI420 || outputKind_ == kOutputNv12;
}

bool SwScaler::AllocatePlane(int index, std::int32_t width, std::int32_t height, std::uint8_t value) {
  // A 1-pixel-wide or -high output has no chroma samples, so no chroma plane.
  if (width < 1 || height < 1) return true;
  PlaneRef& plane = planes_[index];
  plane.data = PxImageAllocC1(width, height, &plane.stride);
  if (!plane.data) return false;
  plane.width = width;
  plane.height = height;
  // Filled once: nothing writes the bands, so they keep this value.
  PxSetPlane(value, plane.data, plane.stride, PxSize{width, height});
  return true;
}

// NV12's chroma is made as YV12's, in these two planes, and interleaved from
// them into the sample: the planar primitives then serve all three kinds.
bool SwScaler::AllocateChroma() {
  return AllocatePlane(1, dw_ / 2, dh_ / 2, kNeutralChroma) && AllocatePlane(2, dw_ / 2, dh_ / 2, kNeutralChroma);
}

bool SwScaler::AllocateYuy2() {
  PlaneRef& plane = planes_[0];
  plane.data = PxImageAllocC2(dw_, dh_, &plane.stride);
  if (!plane.data) return false;
  plane.width = dw_;
  plane.height = dh_;
  // Black: what the bands of a Fill picture show for the converter's whole life.
  PxFill16(kBlackYuy2Pixel, plane.data, plane.stride / 2 * dh_);
  return (outputKind_ != kOutputNv12 || AllocateChroma()) && (sameSize_ || PrepareYuy2Resampler());
}

bool SwScaler::AllocateYv12() {
  // At the source's size every kind is made from the source's planes. Resampled,
  // a 4:2:0 kind goes straight into the sample (NV12's chroma into the chroma
  // planes); only the others need a whole intermediate picture.
  if (sameSize_) return true;
  if (!PlanarOutput() && !AllocatePlane(0, dw_, dh_, kBlackLuma)) return false;
  if ((!PlanarOutput() || outputKind_ == kOutputNv12) && !AllocateChroma()) return false;
  return PrepareYv12Resamplers();
}

// Geometry the resamplers refuse leaves them writing nothing, as a call with
// it would; only a lack of memory makes the converter inert.
bool SwScaler::PrepareYuy2Resampler() {
  const ScaleRect& s = sourceRect_;
  const ScaleRect& d = destinationRect_;
  // The destination size counts from the placed origin (on a pixel pair), so
  // no output width can reach past the row; for every placement PlaceRects
  // makes it is the same extent the whole output size would give.
  const std::int32_t dx = d.x & ~1;
  return yuy2Resampler_.Prepare(PxSize{sw_, sh_}, sourceFrame_, PxSize{dw_ - dx, dh_ - d.y},
                                static_cast<double>(d.width) / s.width, static_cast<double>(d.height) / s.height,
                                interpolation_) != kPxNoMemory;
}

bool SwScaler::PrepareYv12Resamplers() {
  const ScaleRect& s = sourceRect_;
  const ScaleRect& d = destinationRect_;
  // The luma picture is bounded by what is left of the frame right and below
  // the crop origin: it samples the same pixels as the whole frame size would
  // (no position reaches that far) but can never read past the frame.
  const std::int32_t lumaWidth = sw_ - s.x;
  const std::int32_t lumaHeight = sh_ - s.y;
  if (lumaResampler_.Prepare(PxSize{lumaWidth, lumaHeight}, ScaleRect{0, 0, lumaWidth, lumaHeight},
                             ScaleRect{0, 0, dw_ - d.x, dh_ - d.y}, static_cast<double>(d.width) / s.width,
                             static_cast<double>(d.height) / s.height, 0.0, 0.0, interpolation_) == kPxNoMemory) {
    return false;
  }
  const PxSize chromaSource{s.width / 2, s.height / 2};
  const std::int32_t chromaWidth = d.width / 2;
  const std::int32_t chromaHeight = d.height / 2;
  if (chromaSource.width < 1 || chromaSource.height < 1 || chromaWidth < 1 || chromaHeight < 1) return true;
  return chromaResampler_.Prepare(chromaSource, ScaleRect{0, 0, chromaSource.width, chromaSource.height},
                                  ScaleRect{0, 0, dw_ / 2 - d.x / 2, dh_ / 2 - d.y / 2},
                                  static_cast<double>(chromaWidth) / chromaSource.width,
                                  static_cast<double>(chromaHeight) / chromaSource.height, 0.0, 0.0,
                                  interpolation_) != kPxNoMemory;
}

void SwScaler::ReportNotSupported() const { TELVOR_ERROR_OBJ(kUnit, L"SwScaler::Scale", this) << kNotSupported; }

void SwScaler::Scale(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride) {
  if (inert_) return;
  if ((mode_ != kConverterYuy2 && mode_ != kConverterYv12) || outputKind_ < kOutputYuy2 ||
      outputKind_ > kOutputNv12) {
    ReportNotSupported();
    return;
  }
  // YUV outputs have no bottom-up form; only YV12 resampled into a 4:2:0 kind
  // ignores the flag, because it writes the planes in their natural order anyway.
  if (bottomUp_ && (outputKind_ == kOutputYuy2 || (PlanarOutput() && mode_ == kConverterYuy2))) {
    ReportNotSupported();
    return;
  }
  if (!src || !dst) return;
  PrimePages(dst, OutputBytes(dstStride));
  // The host's code and the system run between two frames.
  ClearUpperVectorState();
  if (mode_ == kConverterYuy2) {
    ScaleFromYuy2(src, srcStride, dst, dstStride);
  } else {
    ScaleFromYv12(src, srcStride, dst, dstStride);
  }
}

SwScaler::YuvPlanes SwScaler::SourcePlanes(const std::uint8_t* src, std::int32_t stride) const {
  std::uint8_t* y = const_cast<std::uint8_t*>(src);
  std::uint8_t* cr = Offset(y, sh_, stride, 0);
  std::uint8_t* cb = Offset(cr, sh_ / 2, stride / 2, 0);
  return YuvPlanes{{y, cr, cb}, {stride, stride / 2, stride / 2}};
}

// Where the planar primitives write a 4:2:0 output: YV12's planes, I420's in
// their order, or for NV12 the Y plane and the chroma planes it is interleaved from.
SwScaler::YuvPlanes SwScaler::OutputPlanes(std::uint8_t* dst, std::int32_t stride) const {
  if (outputKind_ == kOutputNv12) {
    return YuvPlanes{{dst, planes_[1].data, planes_[2].data}, {stride, planes_[1].stride, planes_[2].stride}};
  }
  std::uint8_t* second = Offset(dst, dh_, stride, 0);
  std::uint8_t* third = Offset(second, dh_ / 2, stride / 2, 0);
  if (outputKind_ == kOutputI420) return YuvPlanes{{dst, third, second}, {stride, stride / 2, stride / 2}};
  return YuvPlanes{{dst, second, third}, {stride, stride / 2, stride / 2}};
}

void SwScaler::InterleaveChroma(const YuvPlanes& planar, std::uint8_t* dst, std::int32_t dstStride) const {
  if (outputKind_ != kOutputNv12) return;
  PxInterleavePlanes(planar.plane[2], planar.stride[2], planar.plane[1], planar.stride[1],
                     Offset(dst, dh_, dstStride, 0), dstStride, PxSize{dw_ / 2, dh_ / 2});
}

SwScaler::YuvPlanes SwScaler::IntermediatePlanes() const {
  return YuvPlanes{{planes_[0].data, planes_[1].data, planes_[2].data},
                   {planes_[0].stride, planes_[1].stride, planes_[2].stride}};
}

void SwScaler::ScaleFromYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst,
                             std::int32_t dstStride) {
  if (sameSize_) {
    FinishFromYuy2(src, srcStride, dst, dstStride);
  } else if (outputKind_ == kOutputYuy2) {
    PaintYuy2Bands(dst, dstStride);
    ResampleYuy2(src, srcStride, dst, dstStride);
  } else {
    ResampleYuy2(src, srcStride, planes_[0].data, planes_[0].stride);
    FinishFromYuy2(planes_[0].data, planes_[0].stride, dst, dstStride);
  }
}

void SwScaler::ScaleFromYv12(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst,
                             std::int32_t dstStride) {
  const YuvPlanes source = SourcePlanes(src, srcStride);
  if (sameSize_) {
    if (!PlanarOutput()) {
      FinishFromYv12(source, dst, dstStride);
      return;
    }
    if (bottomUp_) {
      ReportNotSupported();
      return;
    }
    const YuvPlanes target = OutputPlanes(dst, dstStride);
    PxCopyPlane(source.plane[0], source.stride[0], target.plane[0], target.stride[0], PxSize{dw_, dh_});
    if (outputKind_ == kOutputNv12) {  // straight from the source's planes
      InterleaveChroma(source, dst, dstStride);
      return;
    }
    for (int i = 1; i < 3; ++i) {
      PxCopyPlane(source.plane[i], source.stride[i], target.plane[i], target.stride[i], PxSize{dw_ / 2, dh_ / 2});
    }
  } else if (PlanarOutput()) {
    const YuvPlanes target = OutputPlanes(dst, dstStride);
    PaintYv12Bands(target);
    ResampleYv12(source, target);
    InterleaveChroma(target, dst, dstStride);
  } else {
    const YuvPlanes intermediate = IntermediatePlanes();
    ResampleYv12(source, intermediate);
    FinishFromYv12(intermediate, dst, dstStride);
  }
}

// The two paths that resample straight into the sample have no filled
// intermediate picture behind them: the sample's bands are painted on every
// frame (the buffers rotate, and downstream may have written into them), and
// outside the rectangles the resamplers write, so nothing is painted twice.
void SwScaler::PaintYuy2Bands(std::uint8_t* dst, std::int32_t dstStride) const {
  const ScaleRect& d = destinationRect_;
  const std::int32_t dx = d.x & ~1;  // where ResampleYuy2 starts
  ForEachRunOutside(dw_, dh_, ScaleRect{dx, d.y, d.width, d.height},
                    [&](std::int32_t y, std::int32_t x, std::int32_t count) {
                      PxFill16(kBlackYuy2Pixel, Offset(dst, y, dstStride, 2 * x), count);
                    });
}

void SwScaler::PaintYv12Bands(const YuvPlanes& target) const {
  const ScaleRect& d = destinationRect_;
  PaintPlaneOutside(target.plane[0], target.stride[0], dw_, dh_, d, kBlackLuma);
  const ScaleRect chroma{d.x / 2, d.y / 2, d.width / 2, d.height / 2};
  for (int i = 1; i < 3; ++i) {
    if (target.plane[i]) PaintPlaneOutside(target.plane[i], target.stride[i], dw_ / 2, dh_ / 2, chroma, kNeutralChroma);
  }
}

void SwScaler::ResampleYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst,
                            std::int32_t dstStride) {
  const ScaleRect& s = sourceRect_;
  const ScaleRect& d = destinationRect_;
  // Offsets into a packed picture stay on pixel pairs.
  yuy2Resampler_.Run(Offset(src, s.y, srcStride, 2 * (s.x & ~1)), srcStride,
                     Offset(dst, d.y, dstStride, 2 * (d.x & ~1)), dstStride);
}

void SwScaler::ResampleYv12(const YuvPlanes& source, const YuvPlanes& target) {
  const ScaleRect& s = sourceRect_;
  const ScaleRect& d = destinationRect_;
  lumaResampler_.Run(Offset(source.plane[0], s.y, source.stride[0], s.x), source.stride[0],
                     Offset(target.plane[0], d.y, target.stride[0], d.x), target.stride[0]);
  for (int i = 1; i < 3; ++i) {
    if (!target.plane[i]) continue;
    chromaResampler_.Run(Offset(source.plane[i], s.y / 2, source.stride[i], s.x / 2), source.stride[i],
                         Offset(target.plane[i], d.y / 2, target.stride[i], d.x / 2), target.stride[i]);
  }
}

void SwScaler::FinishFromYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst,
                              std::int32_t dstStride) {
  const PxSize size{dw_, dh_};
  if (outputKind_ == kOutputYuy2) {
    PxCopyPacked422(src, srcStride, dst, dstStride, size);
    return;
  }
  if (PlanarOutput()) {
    const YuvPlanes target = OutputPlanes(dst, dstStride);
    PxYuy2ToYv12(src, srcStride, target.plane, target.stride, size);
    InterleaveChroma(target, dst, dstStride);
    return;
  }
  if (bottomUp_) {
    dst = Offset(dst, dh_ - 1, dstStride, 0);
    dstStride = -dstStride;
  }
  if (outputKind_ == kOutputRgb24) {
    PxYuy2ToBgr(src, srcStride, dst, dstStride, size);
  } else {
    PxYuy2ToBgra(src, srcStride, dst, dstStride, size, kOpaque);
  }
}

void SwScaler::FinishFromYv12(const YuvPlanes& source, std::uint8_t* dst, std::int32_t dstStride) {
  const PxSize size{dw_, dh_};
  if (outputKind_ == kOutputYuy2) {
    PxYv12ToYuy2(source.plane, source.stride, dst, dstStride, size);
    return;
  }
  if (bottomUp_) {
    dst = Offset(dst, dh_ - 1, dstStride, 0);
    dstStride = -dstStride;
  }
  // The RGB conversions take the chroma planes as Cb, Cr.
  const std::uint8_t* const planes[3] = {source.plane[0], source.plane[2], source.plane[1]};
  const std::int32_t strides[3] = {source.stride[0], source.stride[2], source.stride[1]};
  if (outputKind_ == kOutputRgb24) {
    PxI420ToBgr(planes, strides, dst, dstStride, size);
  } else {
    PxI420ToBgra(planes, strides, dst, dstStride, size, kOpaque);
  }
}
