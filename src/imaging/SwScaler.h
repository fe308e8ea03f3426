// The frame converter: one producer frame (YUY2 or YV12, any size) into one
// output frame of the negotiated format and size, placed by the camera's scale
// style. Built whenever either format changes; Scale runs once per frame and
// allocates nothing.
#pragma once

#include <cstdint>

#include "imaging/Placement.h"
#include "imaging/Resampler.h"

// The longest side the converter takes or produces. Placement multiplies two
// sides in 32 bits; 16384 keeps every such product in range, and no camera
// format comes near it. Negotiation refuses outputs beyond it.
inline constexpr std::int32_t kMaxConverterSide = 16384;

// Source format.
enum ConverterMode : std::int32_t {
  kConverterYuy2 = 1,  // one packed picture, rows of srcStride bytes
  kConverterYv12 = 2,  // Y; Cr at sh * stride (stride / 2); Cb (sh / 2) * (stride / 2) further
};

// Output format. The three 4:2:0 kinds carry the same samples for the same
// source, sizes and style, and have no bottom-up form.
enum OutputKind : std::int32_t {
  kOutputYuy2 = 1,
  kOutputYv12 = 2,  // Y; Cr at dh * stride (stride / 2); Cb (dh / 2) * (stride / 2) further
  kOutputRgb24 = 3,
  kOutputRgb32 = 4,  // fourth byte 255
  kOutputI420 = 5,   // YV12 with Cb first: Y; Cb at dh * stride; Cr (dh / 2) * (stride / 2) further
  kOutputNv12 = 6,   // Y; at dh * stride, dh / 2 rows of stride bytes of Cb, Cr pairs
};

// One plane of a picture.
struct PlaneRef {
  std::uint8_t* data;
  std::int32_t stride;  // bytes
  std::int32_t width;   // pixels of this plane
  std::int32_t height;
};

class SwScaler {
 public:
  // style: 0 Stretch, 1 Fill, 2 Fit (see PlaceRects). interpolation is handed
  // to the resamplers (2, bilinear). Sizes below 1, an unknown mode or a failed
  // allocation leave a converter that writes nothing (each logged).
  SwScaler(std::int32_t mode, std::int32_t sw, std::int32_t sh, std::int32_t outputKind, std::int32_t dw,
           std::int32_t dh, bool bottomUp, std::int32_t interpolation, std::int32_t style);
  virtual ~SwScaler();
  SwScaler(const SwScaler&) = delete;
  SwScaler& operator=(const SwScaler&) = delete;

  // Converts one frame. With the source stride the video pin passes (2 * sw
  // for YUY2, sw for YV12) Scale reads exactly the first SourceBytes(mode, sw,
  // sh) bytes at src and nothing outside them, whatever the style: a caller
  // holding a shorter frame must not call it.
  virtual void Scale(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);

  // Bytes of one source frame at the pin's stride: 2 * sw * sh for YUY2;
  // sw * sh + 2 * (sw / 2) * (sh / 2) for YV12. 0 for an unknown mode or a
  // size below 1.
  static std::int64_t SourceBytes(std::int32_t mode, std::int32_t sw, std::int32_t sh);
  // False when construction left a converter that writes nothing (bad size or no memory).
  bool Working() const { return !inert_; }

  const ScaleRect& SourceRect() const { return sourceRect_; }
  const ScaleRect& DestinationRect() const { return destinationRect_; }

 private:
  struct YuvPlanes {
    std::uint8_t* plane[3];  // Y, Cr, Cb
    std::int32_t stride[3];
  };

  // Bytes of one output picture at `stride` (planar kinds with their chroma).
  std::int64_t OutputBytes(std::int32_t stride) const;
  bool Allocate();
  bool AllocateYuy2();
  bool AllocateYv12();
  bool AllocatePlane(int index, std::int32_t width, std::int32_t height, std::uint8_t value);
  bool AllocateChroma();
  bool PrepareYuy2Resampler();
  bool PrepareYv12Resamplers();
  bool PlanarOutput() const;
  void ReportNotSupported() const;
  YuvPlanes SourcePlanes(const std::uint8_t* src, std::int32_t stride) const;
  YuvPlanes OutputPlanes(std::uint8_t* dst, std::int32_t stride) const;
  YuvPlanes IntermediatePlanes() const;
  void ScaleFromYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);
  void ScaleFromYv12(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);
  void PaintYuy2Bands(std::uint8_t* dst, std::int32_t dstStride) const;
  void PaintYv12Bands(const YuvPlanes& target) const;
  void ResampleYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);
  void ResampleYv12(const YuvPlanes& source, const YuvPlanes& target);
  void FinishFromYuy2(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);
  void FinishFromYv12(const YuvPlanes& source, std::uint8_t* dst, std::int32_t dstStride);
  void InterleaveChroma(const YuvPlanes& planar, std::uint8_t* dst, std::int32_t dstStride) const;

  std::int32_t mode_;
  std::int32_t outputKind_;
  std::int32_t sw_, sh_;
  std::int32_t dw_, dh_;
  bool bottomUp_;
  std::int32_t interpolation_;
  std::int32_t style_;
  bool sameSize_;
  ScaleRect sourceFrame_;
  ScaleRect outputFrame_;
  ScaleRect sourceRect_;
  ScaleRect destinationRect_;
  // Made with the converter, so a frame builds no tables and allocates nothing.
  telvor::imaging::Yuy2Resampler yuy2Resampler_;
  telvor::imaging::PlaneResampler lumaResampler_;
  telvor::imaging::PlaneResampler chromaResampler_;  // both chroma planes
  // The intermediate picture (YUY2 in [0], or Y, Cr, Cb); for NV12, Cr and
  // Cb in [1] and [2], made as YV12's and interleaved into the sample.
  PlaneRef planes_[4] = {};
  // Set when construction could not build a working converter (bad size or
  // no memory): frames are then dropped rather than written through null.
  bool inert_ = false;
};
