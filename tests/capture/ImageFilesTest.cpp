// The PNG and WAV writers, read back the way a decoder reads them.
#include "ImageFiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace capture {
namespace {

// `bytes` bytes at `at`, most significant first (big) or last.
std::uint32_t Read(const std::vector<std::uint8_t>& b, std::size_t at, int bytes, bool big) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | b[at + static_cast<std::size_t>(big ? i : bytes - 1 - i)];
  return v;
}

struct Chunk {
  std::string type;
  std::vector<std::uint8_t> body;
};

// Splits a PNG into chunks, checking each CRC on the way.
std::vector<Chunk> ReadChunks(const std::vector<std::uint8_t>& png) {
  std::vector<Chunk> chunks;
  const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  EXPECT_EQ(0, std::memcmp(png.data(), signature, 8));
  for (std::size_t at = 8; at + 12 <= png.size();) {
    const std::uint32_t length = Read(png, at, 4, true);
    chunks.push_back({std::string(png.begin() + at + 4, png.begin() + at + 8),
                      std::vector<std::uint8_t>(png.begin() + at + 8, png.begin() + at + 8 + length)});
    EXPECT_EQ(Crc32(png.data() + at + 4, length + 4), Read(png, at + 8 + length, 4, true)) << chunks.back().type;
    at += 12 + length;
  }
  return chunks;
}

// Inflates a zlib stream made only of stored blocks; checks its Adler-32.
std::vector<std::uint8_t> InflateStored(const std::vector<std::uint8_t>& z) {
  std::vector<std::uint8_t> out;
  EXPECT_EQ(0, ((z[0] << 8) | z[1]) % 31);  // the header's check bits
  std::size_t at = 2;
  for (bool final = false; !final;) {
    final = z[at] & 1;
    EXPECT_EQ(0, z[at] & 6);  // block type: stored
    const std::uint32_t n = Read(z, at + 1, 2, false);
    EXPECT_EQ(0xFFFFu, n ^ Read(z, at + 3, 2, false));
    out.insert(out.end(), z.begin() + at + 5, z.begin() + at + 5 + n);
    at += 5 + n;
  }
  EXPECT_EQ(Adler32(out.data(), out.size()), Read(z, at, 4, true));
  EXPECT_EQ(z.size(), at + 4);
  return out;
}

TEST(ImageFiles, PngHoldsTheRowsInStoredBlocksAcrossTheBlockLimit) {
  // The checksums a decoder recomputes, against their known values first.
  const auto* digits = reinterpret_cast<const std::uint8_t*>("123456789");
  EXPECT_EQ(0xCBF43926u, Crc32(digits, 9));
  EXPECT_EQ(0x11E60398u, Adler32(reinterpret_cast<const std::uint8_t*>("Wikipedia"), 9));
  EXPECT_EQ(Crc32(digits, 9), Crc32(digits + 4, 5, Crc32(digits, 4)));  // running checksums continue
  // 200 x 120 RGB: 72,120 bytes of rows, more than one stored block holds.
  const std::int32_t w = 200, h = 120;
  std::vector<std::uint8_t> rgb(std::size_t(w) * h * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 7 + i / 600);
  const std::vector<Chunk> chunks = ReadChunks(EncodePng(w, h, rgb));
  ASSERT_EQ(3u, chunks.size());
  EXPECT_EQ("IHDR IDAT IEND", chunks[0].type + " " + chunks[1].type + " " + chunks[2].type);
  // 200 x 120, 8-bit RGB, no interlace.
  EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 200, 0, 0, 0, 120, 8, 2, 0, 0, 0}), chunks[0].body);
  std::vector<std::uint8_t> rows;  // each after its filter byte: 0, none
  for (auto row = rgb.begin(); row != rgb.end(); row += w * 3) {
    rows.push_back(0);
    rows.insert(rows.end(), row, row + w * 3);
  }
  EXPECT_EQ(rows, InflateStored(chunks[1].body));
  EXPECT_TRUE(EncodePng(0, 5, rgb).empty());
  EXPECT_TRUE(EncodePng(w, h + 1, rgb).empty());  // fewer bytes than the size needs
}

// Two rows: white on top, black below, in each format's own coding. The
// fixed-point YUV conversion may land one step short of full scale.
TEST(ImageFiles, PicturesBecomeTopDownRgbFromEveryFormat) {
  const std::int32_t w = 4, h = 2;
  auto rows = [](std::uint8_t first, std::uint8_t second, std::size_t bytes) {
    std::vector<std::uint8_t> v(bytes, first);
    v.insert(v.end(), bytes, second);
    return v;
  };
  const struct {
    PictureLayout layout;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {{PixelFormat::kYuy2, w, h, 8, false}, {235, 128, 235, 128, 235, 128, 235, 128, 16, 128, 16, 128, 16, 128, 16, 128}},
      {{PixelFormat::kYv12, w, h, 4, false}, {235, 235, 235, 235, 16, 16, 16, 16, 128, 128, 128, 128}},
      {{PixelFormat::kRgb32, w, h, 16, true}, rows(0, 255, 16)},  // bottom-up: the black row first in memory
      {{PixelFormat::kRgb24, w, h, 12, false}, rows(255, 0, 12)},
  };
  std::vector<std::uint8_t> rgb;
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.layout.format));
    ASSERT_TRUE(PictureToRgb(c.layout, c.bytes.data(), c.bytes.size(), rgb));
    ASSERT_EQ(std::size_t(w) * h * 3, rgb.size());
    for (int i = 0; i < w * 3; ++i) EXPECT_GE(rgb[std::size_t(i)], 254) << i;
    for (int i = w * 3; i < 2 * w * 3; ++i) EXPECT_LE(rgb[std::size_t(i)], 1) << i;
  }
  // Red stays red: B, G, R in memory becomes R, G, B in the file.
  const std::vector<std::uint8_t> red = {0, 0, 255, 0, 0, 0, 255, 0};
  ASSERT_TRUE(PictureToRgb({PixelFormat::kRgb32, 2, 1, 8, false}, red.data(), red.size(), rgb));
  EXPECT_EQ((std::vector<std::uint8_t>{255, 0, 0, 255, 0, 0}), rgb);
  EXPECT_FALSE(PictureToRgb(cases[2].layout, cases[2].bytes.data(), cases[2].bytes.size() - 1, rgb));
  EXPECT_FALSE(PictureToRgb({PixelFormat::kUnknown, w, h, 16, false}, cases[2].bytes.data(), 32, rgb));
}

TEST(ImageFiles, WavHeaderDescribesPcm) {
  const std::vector<std::uint8_t> expected = {
      'R', 'I', 'F', 'F', 0x24, 0xEE, 0x02, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',  // 36 + 192000
      16, 0, 0, 0, 1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 0x02, 0,                  // PCM, 2, 48000, 192000
      4, 0, 16, 0, 'd', 'a', 't', 'a', 0x00, 0xEE, 0x02, 0};
  EXPECT_EQ(expected, WavHeader(2, 48000, 16, 192000));
  // A data size near the limit does not wrap the RIFF size.
  EXPECT_EQ(0xFFFFFFFFu, Read(WavHeader(2, 48000, 16, 0xFFFFFFF0u), 4, 4, false));
}

}  // namespace
}  // namespace capture
