// Resamplings whose geometry stays the same from frame to frame, as a frame
// converter's does. Prepare builds the tap tables (every output column's and
// row's positions and weights, the floating-point part) once; Run then does
// only the integer steps and allocates nothing. The bytes are those of
// PxResizePlane and PxResizeYuy2 called with the same arguments.
#pragma once

#include <cstdint>

#include "imaging/Pixel.h"

namespace telvor::imaging {

class PlaneResampler {
 public:
  PlaneResampler() = default;
  ~PlaneResampler();
  PlaneResampler(const PlaneResampler&) = delete;
  PlaneResampler& operator=(const PlaneResampler&) = delete;

  // PxResizePlane's geometry; its status, or kPxNoMemory. After a failure
  // Run writes nothing.
  PxStatus Prepare(PxSize srcSize, ScaleRect srcRoi, ScaleRect dstRoi, double xFactor, double yFactor,
                   double xShift, double yShift, std::int32_t interpolation);
  void Run(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);

  struct Plan;

 private:
  Plan* plan_ = nullptr;
};

class Yuy2Resampler {
 public:
  Yuy2Resampler() = default;
  ~Yuy2Resampler();
  Yuy2Resampler(const Yuy2Resampler&) = delete;
  Yuy2Resampler& operator=(const Yuy2Resampler&) = delete;

  // PxResizeYuy2's geometry; its status, or kPxNoMemory. After a failure
  // Run writes nothing.
  PxStatus Prepare(PxSize srcSize, ScaleRect srcRoi, PxSize dstSize, double xFactor, double yFactor,
                   std::int32_t interpolation);
  void Run(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);

  struct Plan;

 private:
  Plan* plan_ = nullptr;
};

}  // namespace telvor::imaging
