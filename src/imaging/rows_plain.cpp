// The reference rows: the integer formulas exactly as the conversions are
// defined. Vector rows are measured against these.
#include <cstring>

#include "imaging/PixelRows.h"

namespace telvor::imaging::plain {
namespace {

std::uint8_t Clamp255(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Studio-range BT.601; the offset 16 and the rounding half are folded in.
std::uint8_t Luma(int b, int g, int r) { return static_cast<std::uint8_t>((6423 * b + 33030 * g + 16843 * r + 1081344) >> 16); }

// Packed source: constants fold in the offsets and round down.
void Yuy2Pixel(int y, int cb, int cr, std::uint8_t* out) {
  out[0] = Clamp255((76284 * y + 132186 * cb - 18140365) >> 16);
  out[1] = Clamp255((76284 * y - 25690 * cb - 53281 * cr + 8887730) >> 16);
  out[2] = Clamp255((76284 * y + 104595 * cr - 14608761) >> 16);
}

// Planar source: offsets subtracted first, rounded to nearest.
void I420Pixel(int y, int cb, int cr, std::uint8_t* out) {
  const int yy = 76284 * (y - 16), u = cb - 128, v = cr - 128;
  out[0] = Clamp255((yy + 132186 * u + 32768) >> 16);
  out[1] = Clamp255((yy - 25690 * u - 53281 * v + 32768) >> 16);
  out[2] = Clamp255((yy + 104595 * v + 32768) >> 16);
}

template <int kOutBytes>
void Yuy2ToRgb(const std::uint8_t* src, std::uint8_t* dst, int width, std::uint8_t alpha) {
  int x = 0;
  for (; x + 1 < width; x += 2, src += 4, dst += 2 * kOutBytes) {
    Yuy2Pixel(src[0], src[1], src[3], dst);
    Yuy2Pixel(src[2], src[1], src[3], dst + kOutBytes);
    if (kOutBytes == 4) dst[3] = dst[7] = alpha;
  }
  if (x < width) {
    Yuy2Pixel(src[0], src[1], src[-1], dst);
    if (kOutBytes == 4) dst[3] = alpha;
  }
}

template <int kOutBytes>
void I420ToRgb(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* dst, int width,
               std::uint8_t alpha) {
  for (int x = 0; x + 1 < width; x += 2, y += 2, ++cb, ++cr, dst += 2 * kOutBytes) {
    I420Pixel(y[0], *cb, *cr, dst);
    I420Pixel(y[1], *cb, *cr, dst + kOutBytes);
    if (kOutBytes == 4) dst[3] = dst[7] = alpha;
  }
}

}  // namespace

void CopyRow(const std::uint8_t* src, std::uint8_t* dst, std::size_t bytes) { std::memcpy(dst, src, bytes); }

void InterleaveRow(const std::uint8_t* first, const std::uint8_t* second, std::uint8_t* dst, int width) {
  for (int x = 0; x < width; ++x, dst += 2) {
    dst[0] = first[x];
    dst[1] = second[x];
  }
}

void BgraToBgrRow(const std::uint8_t* src, std::uint8_t* dst, int width) {
  int x = 0;
  // Four pixels in three 32-bit stores, where each took a 16-bit and a byte
  // store: the stores were the row's whole cost. Little-endian, as every
  // target of this library.
  for (; x + 4 <= width; x += 4, src += 16, dst += 12) {
    std::uint32_t p[4];
    std::memcpy(p, src, sizeof p);
    // One store each: words gathered in an array were copied out through the stack.
    const std::uint32_t first = (p[0] & 0xffffff) | p[1] << 24, second = (p[1] >> 8 & 0xffff) | p[2] << 16,
                        third = (p[2] >> 16 & 0xff) | p[3] << 8;
    std::memcpy(dst, &first, 4);
    std::memcpy(dst + 4, &second, 4);
    std::memcpy(dst + 8, &third, 4);
  }
  for (; x < width; ++x, src += 4, dst += 3) {
    // Read before writing: the compiler may then merge the stores.
    const std::uint8_t b = src[0], g = src[1], r = src[2];
    dst[0] = b;
    dst[1] = g;
    dst[2] = r;
  }
}

void BgraToYuy2Row(const std::uint8_t* src, std::uint8_t* dst, int width) {
  int x = 0;
  for (; x + 1 < width; x += 2, src += 8, dst += 4) {
    const int b = src[0] + src[4], g = src[1] + src[5], r = src[2] + src[6];
    dst[0] = Luma(src[0], src[1], src[2]);
    dst[1] = static_cast<std::uint8_t>(128 + ((28770 * b - 19071 * g - 9699 * r + 16384) >> 17));
    dst[2] = Luma(src[4], src[5], src[6]);
    dst[3] = static_cast<std::uint8_t>(128 + ((28770 * r - 24117 * g - 4653 * b + 16384) >> 17));
  }
  if (x < width) {
    dst[0] = Luma(src[0], src[1], src[2]);
    dst[1] = static_cast<std::uint8_t>(128 + ((28770 * src[0] - 19071 * src[1] - 9699 * src[2] + 8192) >> 16));
  }
}

void BgraToI420Rows(const std::uint8_t* src0, const std::uint8_t* src1, std::uint8_t* y0, std::uint8_t* y1,
                    std::uint8_t* cb, std::uint8_t* cr, int width) {
  for (int x = 0; x + 1 < width; x += 2, src0 += 8, src1 += 8, y0 += 2, y1 += 2, ++cb, ++cr) {
    y0[0] = Luma(src0[0], src0[1], src0[2]);
    y0[1] = Luma(src0[4], src0[5], src0[6]);
    y1[0] = Luma(src1[0], src1[1], src1[2]);
    y1[1] = Luma(src1[4], src1[5], src1[6]);
    const int b = src0[0] + src0[4] + src1[0] + src1[4];
    const int g = src0[1] + src0[5] + src1[1] + src1[5];
    const int r = src0[2] + src0[6] + src1[2] + src1[6];
    *cb = static_cast<std::uint8_t>(128 + ((28770 * b - 19071 * g - 9699 * r + 32768) >> 18));
    *cr = static_cast<std::uint8_t>(128 + ((28770 * r - 24117 * g - 4653 * b + 32768) >> 18));
  }
}

void Yuy2ToYv12Rows(const std::uint8_t* src0, const std::uint8_t* src1, std::uint8_t* y0, std::uint8_t* y1,
                    std::uint8_t* cr, std::uint8_t* cb, int width) {
  for (int x = 0; x + 1 < width; x += 2, src0 += 4, src1 += 4, y0 += 2, y1 += 2, ++cb, ++cr) {
    y0[0] = src0[0];
    y0[1] = src0[2];
    y1[0] = src1[0];
    y1[1] = src1[2];
    *cb = src0[1];
    *cr = src0[3];
  }
}

void Yuy2ToBgraRow(const std::uint8_t* src, std::uint8_t* dst, int width, std::uint8_t alpha, const BottomUpRow*) {
  Yuy2ToRgb<4>(src, dst, width, alpha);
}

void Yuy2ToBgrRow(const std::uint8_t* src, std::uint8_t* dst, int width) { Yuy2ToRgb<3>(src, dst, width, 0); }

void Yv12ToYuy2Row(const std::uint8_t* y, const std::uint8_t* cr, const std::uint8_t* cb, std::uint8_t* dst,
                   int width) {
  for (int x = 0; x + 1 < width; x += 2, y += 2, ++cb, ++cr, dst += 4) {
    dst[0] = y[0];
    dst[1] = *cb;
    dst[2] = y[1];
    dst[3] = *cr;
  }
}

void I420ToBgraRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* dst,
                   int width, std::uint8_t alpha, const BottomUpRow*) {
  I420ToRgb<4>(y, cb, cr, dst, width, alpha);
}

void I420ToBgrRow(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::uint8_t* dst,
                  int width) {
  I420ToRgb<3>(y, cb, cr, dst, width, 0);
}

}  // namespace telvor::imaging::plain
