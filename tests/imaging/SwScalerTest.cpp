#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"

namespace {

constexpr std::uint8_t kSentinel = 0x5A;

// RGB24 and RGB32 are numbered by their bytes per pixel; a 4:2:0 kind's is its luma's.
int BytesPerPixel(int kind) { return kind == kOutputYuy2 ? 2 : kind == kOutputRgb24 || kind == kOutputRgb32 ? kind : 1; }

std::vector<std::uint8_t> RandomFrame(std::mt19937& rng, int mode, int sw, int sh) {
  std::vector<std::uint8_t> v(static_cast<size_t>(SwScaler::SourceBytes(mode, sw, sh)));
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// Frames of one colour.
std::vector<std::uint8_t> FlatYuy2(int sw, int sh, std::uint8_t y, std::uint8_t cb, std::uint8_t cr) {
  std::vector<std::uint8_t> v(static_cast<size_t>(2) * sw * sh);
  for (size_t i = 0; i < v.size(); i += 4) v[i] = y, v[i + 1] = cb, v[i + 2] = y, v[i + 3] = cr;
  return v;
}

std::vector<std::uint8_t> FlatYv12(int sw, int sh, std::uint8_t y, std::uint8_t cr, std::uint8_t cb) {
  std::vector<std::uint8_t> v(static_cast<size_t>(SwScaler::SourceBytes(kConverterYv12, sw, sh)));
  const size_t luma = static_cast<size_t>(sw) * sh, chroma = static_cast<size_t>(sw / 2) * (sh / 2);
  std::fill(v.begin(), v.begin() + luma, y);
  std::fill(v.begin() + luma, v.begin() + luma + chroma, cr);
  std::fill(v.begin() + luma + chroma, v.end(), cb);
  return v;
}

std::vector<std::uint8_t> Convert(SwScaler& scaler, const std::vector<std::uint8_t>& frame, int mode, int sw, int kind,
                                  int dw, int dh) {
  // Output rows without padding; YV12's and I420's chroma planes follow at
  // half stride, NV12's pairs at the full one.
  const int stride = BytesPerPixel(kind) * dw;
  const int chroma = kind == kOutputNv12 ? stride * (dh / 2) : BytesPerPixel(kind) == 1 ? 2 * (stride / 2) * (dh / 2) : 0;
  std::vector<std::uint8_t> out(static_cast<size_t>(stride) * dh + chroma, kSentinel);
  scaler.Scale(frame.data(), mode == kConverterYuy2 ? 2 * sw : sw, out.data(), stride);
  return out;
}

// One frame through a converter made for it.
std::vector<std::uint8_t> Scaled(const std::vector<std::uint8_t>& frame, int mode, int sw, int sh, int kind, int dw,
                                 int dh, int style = kScaleStretch, bool bottomUp = false) {
  SwScaler scaler(mode, sw, sh, kind, dw, dh, bottomUp, 2, style);
  return Convert(scaler, frame, mode, sw, kind, dw, dh);
}

TEST(SwScaler, EqualSizesConvertTheWholeFrame) {
  const int w = 6, h = 4;
  // YUY2 to YUY2 is a byte copy of each row.
  std::mt19937 rng(5);
  const auto frame = RandomFrame(rng, kConverterYuy2, w, h);
  EXPECT_EQ(Scaled(frame, kConverterYuy2, w, h, kOutputYuy2, w, h, kScaleFill), frame);
  // Red-ish YUY2 (Cr high): the second YV12 plane is Cr, the third Cb.
  const auto red = FlatYuy2(w, h, 81, 90, 240);
  const auto yv12 = Scaled(red, kConverterYuy2, w, h, kOutputYv12, w, h);
  EXPECT_EQ(yv12, FlatYv12(w, h, 81, 240, 90));
  // And back: YV12 to YUY2, then both YUV sources to RGB give red.
  EXPECT_EQ(Scaled(yv12, kConverterYv12, w, h, kOutputYuy2, w, h), red);
  EXPECT_EQ(Scaled(yv12, kConverterYv12, w, h, kOutputYv12, w, h), yv12);
  for (int mode : {kConverterYuy2, kConverterYv12}) {
    for (int kind : {kOutputRgb24, kOutputRgb32}) {
      const auto out = Scaled(mode == kConverterYuy2 ? red : yv12, mode, w, h, kind, w, h);
      const int bpp = BytesPerPixel(kind);
      for (size_t p = 0; p < out.size(); p += bpp) {  // blue, green, red (and alpha)
        ASSERT_TRUE(out[p] < 30 && out[p + 1] < 30 && out[p + 2] > 220 && (bpp == 3 || out[p + 3] == 255)) << p;
      }
    }
  }
}

// A grey picture placed by Fill: every byte outside it is black (Y 16 with
// chroma 128, RGB 0 with alpha 255), every pixel inside it grey. Its edges
// may move to whole chroma samples: the band check widens the rectangle to
// them, the picture check leaves its outer pixels out.
int WrongBytes(int kind, const std::vector<std::uint8_t>& out, int dw, int dh, const ScaleRect& d) {
  const int x0 = d.x & ~1, y0 = d.y & ~1, x1 = (d.x + d.width + 1) & ~1, y1 = (d.y + d.height + 1) & ~1;
  int wrong = 0;
  const int bpp = BytesPerPixel(kind);
  for (int y = 0; y < dh; ++y) {
    for (int x = 0; x < dw; ++x) {
      const std::uint8_t* p = &out[(static_cast<size_t>(y) * dw + x) * bpp];
      if (x > d.x && x < d.x + d.width - 1 && y > d.y && y < d.y + d.height - 1) {
        wrong += kind >= kOutputRgb24 ? p[1] < 150 : p[0] != 180;
        continue;
      }
      if (x >= x0 && x < x1 && y >= y0 && y < y1) continue;
      if (kind == kOutputYuy2) wrong += p[0] != 16 || p[1] != 128;
      if (kind == kOutputYv12) wrong += p[0] != 16;
      if (kind >= kOutputRgb24) wrong += (p[0] | p[1] | p[2]) != 0 || (bpp == 4 && p[3] != 255);
    }
  }
  if (kind != kOutputYv12) return wrong;
  // Both chroma planes, which fill the rest of the buffer, are grey as well as black.
  return wrong + static_cast<int>(std::count_if(out.begin() + static_cast<std::ptrdiff_t>(dw) * dh, out.end(),
                                                [](std::uint8_t c) { return c != 128; }));
}

TEST(SwScaler, FillPlacesThePictureBetweenBlackBandsInEveryOutput) {
  // Side bands, top and bottom bands, and odd band sizes and offsets (the
  // outputs are even: the 4:2:0 conversions leave an odd last column or row out).
  const struct {
    int sw, sh, dw, dh;
  } sizes[] = {{640, 480, 1280, 720}, {1920, 1080, 640, 480}, {14, 20, 30, 12}, {20, 10, 10, 16}, {6, 4, 34, 10}};
  for (const auto& s : sizes) {
    for (int mode : {kConverterYuy2, kConverterYv12}) {
      const auto grey = mode == kConverterYuy2 ? FlatYuy2(s.sw, s.sh, 180, 128, 128) : FlatYv12(s.sw, s.sh, 180, 128, 128);
      for (int kind = kOutputYuy2; kind <= kOutputRgb32; ++kind) {
        SwScaler scaler(mode, s.sw, s.sh, kind, s.dw, s.dh, false, 2, kScaleFill);
        const auto out = Convert(scaler, grey, mode, s.sw, kind, s.dw, s.dh);
        EXPECT_EQ(WrongBytes(kind, out, s.dw, s.dh, scaler.DestinationRect()), 0)
            << s.sw << "x" << s.sh << " to " << s.dw << "x" << s.dh << " mode " << mode << " kind " << kind;
      }
    }
  }
}

// Bottom-up RGB starts in the last row, resampled or not; resampled YV12 into
// YV12 ignores the flag and keeps the picture upright. (The converter fuzzer
// holds the bottom-up YUV outputs that are refused.)
TEST(SwScaler, BottomUpRgbStartsInTheLastRowAndYv12StaysUpright) {
  auto frame = FlatYv12(8, 6, 16, 128, 128);
  std::fill(frame.begin(), frame.begin() + 8, 235);  // first row white, the rest black
  for (int dw : {8, 12}) {
    const auto out = Scaled(frame, kConverterYv12, 8, 6, kOutputRgb32, dw, 10, kScaleStretch, true);
    EXPECT_TRUE(out[static_cast<size_t>(9) * dw * 4] == 255 && out[0] == 0) << dw;
    for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 255);
  }
  std::mt19937 rng(9);
  const auto yv12 = RandomFrame(rng, kConverterYv12, 10, 6);
  EXPECT_EQ(Scaled(yv12, kConverterYv12, 10, 6, kOutputYv12, 16, 8, kScaleFill, true),
            Scaled(yv12, kConverterYv12, 10, 6, kOutputYv12, 16, 8, kScaleFill));
}

// I420 and NV12 carry YV12's samples: its chroma planes swapped, or
// interleaved as Cb, Cr pairs (an odd width leaves the last byte of each NV12
// row alone). Bands and the pixels a 4:2:0 conversion leaves out included;
// resampled from YV12, a bottom-up request changes nothing either.
TEST(SwScaler, I420AndNv12CarryTheYv12Samples) {
  const struct {
    int sw, sh, dw, dh;
  } sizes[] = {{16, 12, 16, 12}, {15, 9, 15, 9}, {64, 36, 33, 21}, {20, 14, 46, 30}, {9, 7, 40, 13}, {8, 6, 1, 5}};
  std::mt19937 rng(11);
  for (const auto& s : sizes) {
    const size_t luma = static_cast<size_t>(s.dw) * s.dh, half = s.dw / 2, plane = half * (s.dh / 2);
    for (int mode : {kConverterYuy2, kConverterYv12}) {
      const auto frame = RandomFrame(rng, mode, s.sw, s.sh);
      const bool flip = mode == kConverterYv12 && (s.sw != s.dw || s.sh != s.dh);
      for (int style : {kScaleStretch, kScaleFill, kScaleFit}) {
        const auto yv12 = Scaled(frame, mode, s.sw, s.sh, kOutputYv12, s.dw, s.dh, style);
        auto i420 = yv12;
        std::copy(yv12.begin() + luma + plane, yv12.end(), i420.begin() + luma);
        std::copy(yv12.begin() + luma, yv12.begin() + luma + plane, i420.end() - plane);
        std::vector<std::uint8_t> nv12(yv12.begin(), yv12.begin() + luma);
        nv12.resize(luma + s.dw * (s.dh / 2), kSentinel);
        for (size_t i = 0; i < plane; ++i) {
          std::uint8_t* pair = &nv12[luma + i / half * s.dw + i % half * 2];
          pair[0] = i420[luma + i], pair[1] = yv12[luma + i];
        }
        SCOPED_TRACE(::testing::Message() << s.sw << "x" << s.sh << " to " << s.dw << "x" << s.dh << " mode " << mode
                                          << " style " << style);
        EXPECT_EQ(Scaled(frame, mode, s.sw, s.sh, kOutputI420, s.dw, s.dh, style, flip), i420);
        EXPECT_EQ(Scaled(frame, mode, s.sw, s.sh, kOutputNv12, s.dw, s.dh, style, flip), nv12);
      }
    }
  }
}

TEST(SwScaler, FitCropStartsAtTheCropOrigin) {
  // 1920 x 1080 into 640 x 480: S = (240, 0, 1440, 1080). Left of the crop is
  // dark, inside it bright: the first output column must be bright.
  std::vector<std::uint8_t> frame = FlatYuy2(1920, 1080, 200, 128, 128);
  for (int y = 0; y < 1080; ++y) std::fill_n(&frame[static_cast<size_t>(y) * 3840], 480, 0);
  const auto out = Scaled(frame, kConverterYuy2, 1920, 1080, kOutputYuy2, 640, 480, kScaleFit);
  for (int y = 0; y < 480; y += 13) ASSERT_EQ(out[static_cast<size_t>(y) * 1280], 200);
}

}  // namespace
