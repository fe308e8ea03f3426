// Where the source picture lands in the output, by the camera's scale style.
#pragma once

#include <cstdint>

// A rectangle in pixels of the picture it refers to.
struct ScaleRect {
  std::int32_t x;
  std::int32_t y;
  std::int32_t width;
  std::int32_t height;
};

// Stored per camera as "FILTER.SCALE.STYLE.%02d"; the log names are the user's.
enum ScaleStyle : std::int32_t {
  kScaleStretch = 0,  // whole source over whole output, aspect not kept
  kScaleFill = 1,     // whole source shown, aspect kept, centred, bands uncovered
  kScaleFit = 2,      // whole output covered, source cropped centrally
};

// Computes the source rectangle shown and the destination rectangle it lands
// in, and logs them. All four sizes must be at least 1.
void PlaceRects(std::int32_t style, std::int32_t sw, std::int32_t sh, std::int32_t dw, std::int32_t dh,
                ScaleRect* source, ScaleRect* destination);
