// Reads telvor-feed's machine-readable bands back out of a delivered picture,
// whatever format and size the camera converted it to.
//
// telvor-feed draws the frame number as 32 black/white cells across the full
// width of its picture, centred on the middle line, each a sixteenth of the
// picture tall; with --stamp a second band of the same shape sits right
// below it, carrying the write time. The camera may have scaled and placed
// the picture (Stretch, Fill, Fit), so the reader first finds where the
// producer's picture lies in the output, then reads each cell at its centre.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capture {

enum class PixelFormat { kUnknown, kYuy2, kYv12, kRgb24, kRgb32 };

struct PictureLayout {
  PixelFormat format = PixelFormat::kUnknown;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t stride = 0;  // bytes per row of the first (or only) plane
  bool bottomUp = false;    // RGB with a positive height: the first row in memory is the bottom one
};

// Bytes a picture of this layout needs; 0 when the layout is unusable.
std::size_t PictureBytes(const PictureLayout& layout);

// The usual DirectShow row pitch for the format at that width (RGB rows are
// padded to 4 bytes).
std::int32_t DefaultStride(PixelFormat format, std::int32_t width);

// Brightness at (x, y), counted from the top-left of the picture as shown:
// the luma byte of the YUV formats, the green byte of RGB (the test picture's
// band is grey, so green follows luma). -1 outside the picture or the buffer.
int Brightness(const PictureLayout& layout, const std::uint8_t* data, std::size_t size, std::int32_t x,
               std::int32_t y);

struct ContentRect {
  std::int32_t x = 0, y = 0, width = 0, height = 0;
};

// Where the producer's picture lies in the output, found from its colour
// bars: the first bar is white, so the first bright pixel of the row at a
// quarter height is its left edge; the third bar (cyan) is bright from the
// top, so the first bright pixel of its column is the top edge. Placement is
// centred, so the other edges mirror these. False when no bar is found
// (a black picture, or not telvor-feed's).
bool FindContent(const PictureLayout& layout, const std::uint8_t* data, std::size_t size, ContentRect& content);

struct BandReading {
  bool marked = false;      // the picture carries a frame-number band
  std::uint32_t frame = 0;  // low 32 bits of the producer's frame number
  bool stamped = false;     // a write-time band is present too
  std::uint32_t stamp = 0;  // low 30 bits of the write time, 100-ns units
};

// The stamp band's first cell is always black and its last always white,
// which the colour bars under an unstamped band never are.
inline constexpr int kStampBits = 30;
inline constexpr std::uint32_t kStampMask = (1u << kStampBits) - 1;

BandReading ReadBands(const PictureLayout& layout, const std::uint8_t* data, std::size_t size);

// Elapsed 100-ns units from a stamp to `now` (a reading of the same clock),
// modulo the stamp's 30 bits: valid for latencies below about 53 s.
std::int64_t StampAge(std::uint32_t stamp, std::uint64_t now);

}  // namespace capture
