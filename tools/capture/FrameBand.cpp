#include "FrameBand.h"

namespace capture {
namespace {

constexpr int kCells = 32;
constexpr int kBright = 128;

int BytesPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::kYuy2: return 2;
    case PixelFormat::kYv12: return 1;
    case PixelFormat::kRgb24: return 3;
    case PixelFormat::kRgb32: return 4;
    default: return 0;
  }
}

// The brightness byte's offset inside a pixel: luma comes first in YUY2 and
// YV12's first plane, green sits in the middle of B, G, R(, X).
int BrightnessOffset(PixelFormat format) {
  return format == PixelFormat::kRgb24 || format == PixelFormat::kRgb32 ? 1 : 0;
}

bool IsBright(const PictureLayout& l, const std::uint8_t* data, std::size_t size, std::int32_t x, std::int32_t y) {
  return Brightness(l, data, size, x, y) >= kBright;
}

// Reads 32 cells centred on row `y` across the content's width, leftmost
// cell the most significant bit.
std::uint32_t ReadCells(const PictureLayout& l, const std::uint8_t* data, std::size_t size, const ContentRect& c,
                        std::int32_t y) {
  std::uint32_t value = 0;
  for (int cell = 0; cell < kCells; ++cell) {
    const std::int32_t x = c.x + static_cast<std::int32_t>(std::int64_t{c.width} * (2 * cell + 1) / (2 * kCells));
    value = (value << 1) | (IsBright(l, data, size, x, y) ? 1u : 0u);
  }
  return value;
}

}  // namespace

std::int32_t DefaultStride(PixelFormat format, std::int32_t width) {
  if (width <= 0) return 0;
  const std::int64_t bytes = std::int64_t{width} * BytesPerPixel(format);
  const std::int64_t stride = format == PixelFormat::kRgb24 ? (bytes + 3) & ~std::int64_t{3} : bytes;
  return stride > INT32_MAX ? 0 : static_cast<std::int32_t>(stride);
}

std::size_t PictureBytes(const PictureLayout& l) {
  const int bpp = BytesPerPixel(l.format);
  if (bpp == 0 || l.width <= 0 || l.height <= 0 || l.stride < std::int64_t{l.width} * bpp) return 0;
  const std::size_t plane = static_cast<std::size_t>(l.stride) * static_cast<std::size_t>(l.height);
  if (l.format != PixelFormat::kYv12) return plane;
  // Two chroma planes of half the pitch and half the rows follow the luma.
  return plane + 2 * (static_cast<std::size_t>(l.stride / 2) * static_cast<std::size_t>(l.height / 2));
}

int Brightness(const PictureLayout& l, const std::uint8_t* data, std::size_t size, std::int32_t x, std::int32_t y) {
  const int bpp = BytesPerPixel(l.format);
  if (!data || bpp == 0 || x < 0 || y < 0 || x >= l.width || y >= l.height || l.stride <= 0) return -1;
  const std::int32_t row = l.bottomUp ? l.height - 1 - y : y;
  const std::size_t at = static_cast<std::size_t>(row) * static_cast<std::size_t>(l.stride) +
                         static_cast<std::size_t>(x) * static_cast<std::size_t>(bpp) +
                         static_cast<std::size_t>(BrightnessOffset(l.format));
  return at < size ? data[at] : -1;
}

bool FindContent(const PictureLayout& l, const std::uint8_t* data, std::size_t size, ContentRect& content) {
  if (l.width < kCells || l.height < 16) return false;
  std::int32_t left = -1;
  for (std::int32_t x = 0; x < l.width / 2 && left < 0; ++x) {
    if (IsBright(l, data, size, x, l.height / 4)) left = x;
  }
  if (left < 0) return false;
  const std::int32_t width = l.width - 2 * left;
  const std::int32_t cyan = left + static_cast<std::int32_t>(std::int64_t{width} * 5 / 16);
  std::int32_t top = -1;
  for (std::int32_t y = 0; y < l.height / 2 && top < 0; ++y) {
    if (IsBright(l, data, size, cyan, y)) top = y;
  }
  if (top < 0) return false;
  content = {left, top, width, l.height - 2 * top};
  return content.width >= kCells && content.height >= 16;
}

BandReading ReadBands(const PictureLayout& l, const std::uint8_t* data, std::size_t size) {
  BandReading reading;
  ContentRect c;
  // A cut-off sample would read as frame 0 where its band is missing.
  const std::size_t need = PictureBytes(l);
  if (need == 0 || size < need || !FindContent(l, data, size, c)) return reading;
  // The producer's band rows: from h/2 - h/32, h/16 tall; the stamp band follows.
  const std::int32_t bandTop = c.y + c.height / 2 - c.height / 32;
  const std::int32_t rows = c.height / 16 > 0 ? c.height / 16 : 1;
  reading.marked = true;
  reading.frame = ReadCells(l, data, size, c, bandTop + rows / 2);
  const std::uint32_t stamp = ReadCells(l, data, size, c, bandTop + rows + rows / 2);
  reading.stamped = (stamp & 0x80000000u) == 0 && (stamp & 1u) == 1;
  if (reading.stamped) reading.stamp = (stamp >> 1) & kStampMask;
  return reading;
}

std::int64_t StampAge(std::uint32_t stamp, std::uint64_t now) {
  const std::uint32_t age = (static_cast<std::uint32_t>(now) - stamp) & kStampMask;
  // The upper half of the range is a stamp from the future: the two readings
  // raced, or the picture is not what it seems.
  return age > kStampMask / 2 ? static_cast<std::int64_t>(age) - (std::int64_t{1} << kStampBits) : age;
}

}  // namespace capture
