// Resamplings whose geometry stays the same from frame to frame, as a frame
// converter's does. Prepare builds the tap tables (every output column's and
// row's positions and weights, the floating-point part) once; Run then does
// only the integer steps and allocates nothing. The bytes are those of
// PxResizePlane and PxResizeYuy2 called with the same arguments.
#pragma once

#include <cstdint>

#include <memory>

#include "imaging/Pixel.h"

namespace telvor::imaging {

class PlaneResampler {
 public:
  PlaneResampler();
  ~PlaneResampler();  // where Plan is whole

  // PxResizePlane's geometry; its status, or kPxNoMemory. After a failure
  // Run writes nothing.
  PxStatus Prepare(PxSize srcSize, ScaleRect srcRoi, ScaleRect dstRoi, double xFactor, double yFactor,
                   double xShift, double yShift, std::int32_t interpolation);
  void Run(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);

  struct Plan;

 private:
  std::unique_ptr<Plan> plan_;
};

class Yuy2Resampler {
 public:
  Yuy2Resampler();
  ~Yuy2Resampler();  // where Plan is whole

  // PxResizeYuy2's geometry; its status, or kPxNoMemory. After a failure
  // Run writes nothing.
  PxStatus Prepare(PxSize srcSize, ScaleRect srcRoi, PxSize dstSize, double xFactor, double yFactor,
                   std::int32_t interpolation);
  void Run(const std::uint8_t* src, std::int32_t srcStride, std::uint8_t* dst, std::int32_t dstStride);

  struct Plan;

 private:
  std::unique_ptr<Plan> plan_;
};

}  // namespace telvor::imaging
