// The moving test picture telvor-feed writes, drawn straight into YUY2 or
// YV12 so that captures can be compared byte for byte with what was fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace feed {

struct Picture {
  std::uint32_t fourcc;  // YUY2 or YV12
  std::uint32_t width;   // even
  std::uint32_t height;  // even for YV12
};

std::size_t PictureBytes(const Picture& picture);

// Draws frame `frame_number`: colour bars, a block at `block_phase` (pixels
// travelled along its bouncing path), the number in digits at the top left,
// and the number again as a machine-readable band: 32 cells across the full
// width, cell i (from the left) white when bit 31 - i of the number is set,
// each width/32 wide and height/16 tall, centred on the middle line.
//
// The bars are drawn once and copied under each frame's moving parts, which
// is cheaper than drawing every pixel again: feeds share the machine with the
// cameras they are measured through.
class TestPattern {
 public:
  explicit TestPattern(const Picture& picture);
  void Draw(std::uint64_t frame_number, std::uint64_t block_phase, std::uint8_t* out) const;

 private:
  Picture picture_;
  std::vector<std::uint8_t> bars_;
};

// One frame without keeping the bars.
void DrawTestPattern(const Picture& picture, std::uint64_t frame_number, std::uint64_t block_phase,
                     std::uint8_t* out);

// Draws a write time as a second band right below the number's band: cell 0
// black, cell 31 white, cells 1..30 the low 30 bits of `stamp` (100-ns units),
// most significant first. Touches only the band, so it can be drawn last,
// just before the frame is written.
void DrawStampBand(const Picture& picture, std::uint64_t stamp, std::uint8_t* out);

// Reads the band back: the number coded in a picture drawn by DrawTestPattern.
std::uint32_t ReadFrameBand(const Picture& picture, const std::uint8_t* frame);

}  // namespace feed
