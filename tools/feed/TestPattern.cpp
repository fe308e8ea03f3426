#include "TestPattern.h"

#include <cstring>

#include "telvor_producer.h"

namespace feed {
namespace {

struct Yuv {
  std::uint8_t y, u, v;
};

// Studio-range BT.601 values of full-intensity bars.
constexpr Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                          {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};
constexpr Yuv kWhite = {235, 128, 128};
constexpr Yuv kBlack = {16, 128, 128};

// 5 x 7 digits, one row per byte, bit 4 the leftmost column.
constexpr std::uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};

// Fills [x0, x1) x [y0, y1), clipped to the picture. Chroma samples are set
// for every pixel they cover, so rectangle edges on odd positions round out.
void FillRect(const Picture& p, std::uint8_t* out, std::int64_t x0, std::int64_t y0, std::int64_t x1,
              std::int64_t y1, Yuv colour) {
  if (x0 < 0) x0 = 0;
  if (y0 < 0) y0 = 0;
  if (x1 > p.width) x1 = p.width;
  if (y1 > p.height) y1 = p.height;
  if (x0 >= x1 || y0 >= y1) return;
  const std::size_t w = p.width;
  const auto left = static_cast<std::size_t>(x0), right = static_cast<std::size_t>(x1);
  for (std::int64_t y = y0; y < y1; ++y) {
    if (p.fourcc == TELVOR_FOURCC_YUY2) {
      std::uint8_t* row = out + static_cast<std::size_t>(y) * w * 2;
      for (std::size_t x = left; x < right; ++x) {
        std::uint8_t* pair = row + (x & ~std::size_t{1}) * 2;
        pair[(x & 1) * 2] = colour.y;
        pair[1] = colour.u;
        pair[3] = colour.v;
      }
    } else {
      std::memset(out + static_cast<std::size_t>(y) * w + left, colour.y, right - left);
      const std::size_t chroma = w * p.height + static_cast<std::size_t>(y / 2) * (w / 2) + left / 2;
      const std::size_t chroma_samples = (right - 1) / 2 - left / 2 + 1;
      std::memset(out + chroma, colour.v, chroma_samples);  // YV12 stores Cr first
      std::memset(out + chroma + (w / 2) * (p.height / 2), colour.u, chroma_samples);
    }
  }
}

void DrawNumber(const Picture& p, std::uint8_t* out, std::uint64_t number) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>(number % 10);
    number /= 10;
  } while (number != 0);
  const std::int64_t scale = p.height >= 240 ? p.height / 120 : 1;
  const std::int64_t margin = 2 * scale;
  FillRect(p, out, 0, 0, margin * 2 + count * 6 * scale, margin * 2 + 7 * scale, kBlack);
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* glyph = kDigits[static_cast<int>(digits[count - 1 - i])];
    for (int row = 0; row < 7; ++row) {
      for (int column = 0; column < 5; ++column) {
        if (!(glyph[row] & (0x10 >> column))) continue;
        const std::int64_t x = margin + (i * 6 + column) * scale;
        const std::int64_t y = margin + row * scale;
        FillRect(p, out, x, y, x + scale, y + scale, kWhite);
      }
    }
  }
}

std::int64_t BandTop(const Picture& p) { return p.height / 2 - p.height / 32; }

}  // namespace

std::size_t PictureBytes(const Picture& picture) {
  const std::size_t pixels = static_cast<std::size_t>(picture.width) * picture.height;
  return picture.fourcc == TELVOR_FOURCC_YUY2 ? pixels * 2 : pixels * 3 / 2;
}

TestPattern::TestPattern(const Picture& picture) : picture_(picture), bars_(PictureBytes(picture)) {
  for (int bar = 0; bar < 8; ++bar) {
    FillRect(picture_, bars_.data(), std::int64_t{picture_.width} * bar / 8, 0,
             std::int64_t{picture_.width} * (bar + 1) / 8, picture_.height, kBars[bar]);
  }
}

void TestPattern::Draw(std::uint64_t frame_number, std::uint64_t block_phase, std::uint8_t* out) const {
  const Picture& p = picture_;
  std::memcpy(out, bars_.data(), bars_.size());
  const std::int64_t block = p.height / 6 > 2 ? p.height / 6 : 2;
  const std::int64_t travel = p.width > block ? p.width - block : 1;
  std::int64_t x = static_cast<std::int64_t>(block_phase % static_cast<std::uint64_t>(2 * travel));
  if (x > travel) x = 2 * travel - x;
  const std::int64_t y = p.height - block - p.height / 16;
  FillRect(p, out, x, y, x + block, y + block, kWhite);
  DrawNumber(p, out, frame_number);
  const std::int64_t top = BandTop(p);
  const std::int64_t rows = p.height / 16 > 0 ? p.height / 16 : 1;
  for (int cell = 0; cell < 32; ++cell) {
    const bool set = (static_cast<std::uint32_t>(frame_number) >> (31 - cell)) & 1u;
    FillRect(p, out, std::int64_t{p.width} * cell / 32, top, std::int64_t{p.width} * (cell + 1) / 32, top + rows,
             set ? kWhite : kBlack);
  }
}

void DrawTestPattern(const Picture& p, std::uint64_t frame_number, std::uint64_t block_phase, std::uint8_t* out) {
  TestPattern(p).Draw(frame_number, block_phase, out);
}

void DrawStampBand(const Picture& p, std::uint64_t stamp, std::uint8_t* out) {
  const std::int64_t rows = p.height / 16 > 0 ? p.height / 16 : 1;
  const std::int64_t top = BandTop(p) + rows;
  const std::uint32_t cells = (static_cast<std::uint32_t>(stamp & 0x3FFFFFFFu) << 1) | 1u;
  for (int cell = 0; cell < 32; ++cell) {
    const bool set = (cells >> (31 - cell)) & 1u;
    FillRect(p, out, std::int64_t{p.width} * cell / 32, top, std::int64_t{p.width} * (cell + 1) / 32, top + rows,
             set ? kWhite : kBlack);
  }
}

std::uint32_t ReadFrameBand(const Picture& p, const std::uint8_t* frame) {
  const std::size_t row = static_cast<std::size_t>(BandTop(p) + (p.height / 16 > 0 ? p.height / 32 : 0));
  std::uint32_t number = 0;
  for (int cell = 0; cell < 32; ++cell) {
    const std::size_t x = (static_cast<std::size_t>(p.width) * (2 * cell + 1)) / 64;  // cell centre
    const std::uint8_t luma = p.fourcc == TELVOR_FOURCC_YUY2 ? frame[row * p.width * 2 + x * 2]
                                                             : frame[row * p.width + x];
    number = (number << 1) | (luma >= 128 ? 1u : 0u);
  }
  return number;
}

}  // namespace feed
