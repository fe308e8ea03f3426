#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"
#include "support/LogCapture.h"

namespace {

using telvor::test::LogCapture;
constexpr std::uint8_t kSentinel = 0x5A;

std::int64_t OutputBytes(int kind, int dw, int dh, int stride) {
  if (kind == kOutputYv12) return std::int64_t{stride} * dh + 2 * std::int64_t{stride / 2} * (dh / 2);
  return std::int64_t{stride} * dh;
}

int OutputStride(int kind, int dw) {
  switch (kind) {
    case kOutputYuy2: return 2 * dw;
    case kOutputYv12: return dw;
    case kOutputRgb24: return 3 * dw;
    default: return 4 * dw;
  }
}

int SourceStride(int mode, int sw) { return mode == kConverterYuy2 ? 2 * sw : sw; }

std::vector<std::uint8_t> RandomFrame(std::mt19937& rng, int mode, int sw, int sh) {
  std::vector<std::uint8_t> v(static_cast<size_t>(SwScaler::SourceBytes(mode, sw, sh)));
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

// A YUY2 frame of one colour.
std::vector<std::uint8_t> FlatYuy2(int sw, int sh, std::uint8_t y, std::uint8_t cb, std::uint8_t cr) {
  std::vector<std::uint8_t> v(static_cast<size_t>(2) * sw * sh);
  for (size_t i = 0; i < v.size(); i += 4) {
    v[i] = y, v[i + 1] = cb, v[i + 2] = y, v[i + 3] = cr;
  }
  return v;
}

// A YV12 frame of one colour.
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
  const int stride = OutputStride(kind, dw);
  std::vector<std::uint8_t> out(static_cast<size_t>(OutputBytes(kind, dw, dh, stride)), kSentinel);
  scaler.Scale(frame.data(), SourceStride(mode, sw), out.data(), stride);
  return out;
}

TEST(SwScaler, SourceBytesCoverTheFrameLayout) {
  EXPECT_EQ(SwScaler::SourceBytes(kConverterYuy2, 1280, 720), 1843200);
  EXPECT_EQ(SwScaler::SourceBytes(kConverterYv12, 1280, 720), 1382400);
  EXPECT_EQ(SwScaler::SourceBytes(kConverterYv12, 5, 3), 15 + 2 * 2 * 1);
  EXPECT_EQ(SwScaler::SourceBytes(3, 64, 64), 0);
  EXPECT_EQ(SwScaler::SourceBytes(kConverterYuy2, 0, 64), 0);
}

TEST(SwScaler, EqualSizesConvertTheWholeFrame) {
  const int w = 6, h = 4;
  // YUY2 to YUY2 is a byte copy of each row.
  std::mt19937 rng(5);
  const auto frame = RandomFrame(rng, kConverterYuy2, w, h);
  SwScaler copy(kConverterYuy2, w, h, kOutputYuy2, w, h, false, 2, 1);
  EXPECT_EQ(Convert(copy, frame, kConverterYuy2, w, kOutputYuy2, w, h), frame);
  // Red-ish YUY2 (Cr high): the second YV12 plane is Cr, the third Cb.
  const auto red = FlatYuy2(w, h, 81, 90, 240);
  SwScaler planar(kConverterYuy2, w, h, kOutputYv12, w, h, false, 2, 0);
  const auto yv12 = Convert(planar, red, kConverterYuy2, w, kOutputYv12, w, h);
  EXPECT_EQ(yv12, FlatYv12(w, h, 81, 240, 90));
  // And back: YV12 to YUY2, then both YUV sources to RGB give red.
  SwScaler packed(kConverterYv12, w, h, kOutputYuy2, w, h, false, 2, 0);
  EXPECT_EQ(Convert(packed, yv12, kConverterYv12, w, kOutputYuy2, w, h), red);
  SwScaler yv12Copy(kConverterYv12, w, h, kOutputYv12, w, h, false, 2, 0);
  EXPECT_EQ(Convert(yv12Copy, yv12, kConverterYv12, w, kOutputYv12, w, h), yv12);
  for (int mode : {kConverterYuy2, kConverterYv12}) {
    for (int kind : {kOutputRgb24, kOutputRgb32}) {
      SwScaler rgb(mode, w, h, kind, w, h, false, 2, 0);
      const auto out = Convert(rgb, mode == kConverterYuy2 ? red : yv12, mode, w, kind, w, h);
      const int bpp = kind == kOutputRgb24 ? 3 : 4;
      for (size_t p = 0; p < out.size(); p += bpp) {
        ASSERT_LT(out[p], 30);       // blue
        ASSERT_LT(out[p + 1], 30);   // green
        ASSERT_GT(out[p + 2], 220);  // red
        if (bpp == 4) {
          ASSERT_EQ(out[p + 3], 255);
        }
      }
    }
  }
}

TEST(SwScaler, FillPicturesLandInTheirRectangle) {
  // YV12 640 x 480 into RGB24 1280 x 720: D = (160, 0, 960, 720).
  const auto grey = FlatYv12(640, 480, 180, 128, 128);
  SwScaler rgb(kConverterYv12, 640, 480, kOutputRgb24, 1280, 720, false, 2, kScaleFill);
  EXPECT_EQ(rgb.DestinationRect().x, 160);
  const auto out = Convert(rgb, grey, kConverterYv12, 640, kOutputRgb24, 1280, 720);
  for (int y = 0; y < 720; y += 7) {
    for (int x : {160, 640, 1119}) ASSERT_GT(out[static_cast<size_t>(y) * 3840 + 3 * x + 1], 150) << x << "," << y;
  }
  // YUY2 640 x 480 into YUY2 1280 x 720: written from byte 320 of each row.
  SwScaler direct(kConverterYuy2, 640, 480, kOutputYuy2, 1280, 720, false, 2, kScaleFill);
  const auto yuy2 = Convert(direct, FlatYuy2(640, 480, 180, 128, 128), kConverterYuy2, 640, kOutputYuy2, 1280, 720);
  for (int y = 0; y < 720; y += 7) {
    ASSERT_EQ(yuy2[static_cast<size_t>(y) * 2560 + 320], 180);
    ASSERT_EQ(yuy2[static_cast<size_t>(y) * 2560 + 2238], 180);
  }
}

// Every byte outside the picture is black: Y 16 with chroma 128, RGB 0 (alpha
// 255). The picture's rectangle is widened to whole chroma samples, which a
// band pixel may share with the picture.
int NonBlackBandBytes(int kind, const std::vector<std::uint8_t>& out, int dw, int dh, const ScaleRect& d) {
  const int x0 = d.x & ~1, y0 = d.y & ~1, x1 = (d.x + d.width + 1) & ~1, y1 = (d.y + d.height + 1) & ~1;
  auto band = [&](int x, int y, int scale) {
    return x < x0 / scale || x >= x1 / scale || y < y0 / scale || y >= y1 / scale;
  };
  int wrong = 0;
  const int bpp = kind == kOutputYuy2 ? 2 : kind == kOutputYv12 ? 1 : kind == kOutputRgb24 ? 3 : 4;
  for (int y = 0; y < dh; ++y) {
    for (int x = 0; x < dw; ++x) {
      if (!band(x, y, 1)) continue;
      const std::uint8_t* p = &out[(static_cast<size_t>(y) * dw + x) * bpp];
      if (kind == kOutputYuy2) wrong += p[0] != 16 || p[1] != 128;
      if (kind == kOutputYv12) wrong += p[0] != 16;
      if (kind >= kOutputRgb24) wrong += (p[0] | p[1] | p[2]) != 0 || (bpp == 4 && p[3] != 255);
    }
  }
  if (kind != kOutputYv12) return wrong;
  const std::uint8_t* chroma = &out[static_cast<size_t>(dw) * dh];
  for (int y = 0; y < dh / 2; ++y) {
    for (int x = 0; x < dw / 2; ++x) {
      if (!band(x, y, 2)) continue;
      const size_t at = static_cast<size_t>(y) * (dw / 2) + x;
      wrong += chroma[at] != 128 || chroma[at + static_cast<size_t>(dw / 2) * (dh / 2)] != 128;
    }
  }
  return wrong;
}

TEST(SwScaler, FillBandsAreBlackInEveryOutput) {
  // Side bands, top and bottom bands, and odd band sizes and offsets (the
  // outputs are even: the 4:2:0 conversions leave an odd last column or row out).
  const struct {
    int sw, sh, dw, dh;
  } sizes[] = {{640, 480, 1280, 720}, {1920, 1080, 640, 480}, {14, 20, 30, 12}, {20, 10, 10, 16}, {6, 4, 34, 10}};
  std::mt19937 rng(7);
  for (const auto& s : sizes) {
    for (int mode : {kConverterYuy2, kConverterYv12}) {
      const auto frame = RandomFrame(rng, mode, s.sw, s.sh);
      for (int kind = kOutputYuy2; kind <= kOutputRgb32; ++kind) {
        SwScaler scaler(mode, s.sw, s.sh, kind, s.dw, s.dh, false, 2, kScaleFill);
        const auto out = Convert(scaler, frame, mode, s.sw, kind, s.dw, s.dh);
        EXPECT_EQ(NonBlackBandBytes(kind, out, s.dw, s.dh, scaler.DestinationRect()), 0)
            << s.sw << "x" << s.sh << " to " << s.dw << "x" << s.dh << " mode " << mode << " kind " << kind;
      }
    }
  }
}

TEST(SwScaler, BottomUpRgbStartsInTheLastRow) {
  const int w = 8, h = 6;
  auto frame = FlatYv12(w, h, 16, 128, 128);
  std::fill(frame.begin(), frame.begin() + w, 235);  // first row white, the rest black
  for (bool resample : {false, true}) {
    const int dw = resample ? 12 : w, dh = resample ? 10 : h;
    SwScaler scaler(kConverterYv12, w, h, kOutputRgb32, dw, dh, true, 2, kScaleStretch);
    const auto out = Convert(scaler, frame, kConverterYv12, w, kOutputRgb32, dw, dh);
    const std::uint8_t* last = &out[static_cast<size_t>(dh - 1) * dw * 4];
    EXPECT_EQ(last[0], 255) << resample;
    EXPECT_EQ(out[0], 0) << resample;
    for (size_t i = 3; i < out.size(); i += 4) ASSERT_EQ(out[i], 255);
  }
}

TEST(SwScaler, BottomUpYuvOutputsAreRefusedEachFrame) {
  std::mt19937 rng(9);
  struct {
    int mode, kind, sw, dw;
  } cases[] = {{kConverterYuy2, kOutputYuy2, 8, 8},
               {kConverterYuy2, kOutputYuy2, 8, 12},
               {kConverterYv12, kOutputYuy2, 8, 12},
               {kConverterYuy2, kOutputYv12, 8, 12},
               {kConverterYv12, kOutputYv12, 8, 8}};
  for (const auto& c : cases) {
    LogCapture log;
    SwScaler scaler(c.mode, c.sw, 4, c.kind, c.dw, 4, true, 2, kScaleStretch);
    const auto frame = RandomFrame(rng, c.mode, c.sw, 4);
    for (int frameNo = 0; frameNo < 2; ++frameNo) {
      const auto out = Convert(scaler, frame, c.mode, c.sw, c.kind, c.dw, 4);
      EXPECT_EQ(std::count(out.begin(), out.end(), kSentinel), static_cast<long>(out.size()));
    }
    const auto lines = log.Matching(L"[SwScaler::Scale], 0x");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L"[TELVOR][ERROR]: Utils("), std::wstring::npos);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 14), L" not supported");
  }
  // Resampled YV12 into YV12 ignores the flag and keeps the picture upright.
  const auto frame = RandomFrame(rng, kConverterYv12, 10, 6);
  SwScaler up(kConverterYv12, 10, 6, kOutputYv12, 16, 8, true, 2, kScaleFill);
  SwScaler plain(kConverterYv12, 10, 6, kOutputYv12, 16, 8, false, 2, kScaleFill);
  EXPECT_EQ(Convert(up, frame, kConverterYv12, 10, kOutputYv12, 16, 8),
            Convert(plain, frame, kConverterYv12, 10, kOutputYv12, 16, 8));
}

TEST(SwScaler, FitCropStartsAtTheCropOrigin) {
  // 1920 x 1080 into 640 x 480: S = (240, 0, 1440, 1080). Left of the crop is
  // dark, inside it bright: the first output column must be bright.
  std::vector<std::uint8_t> frame = FlatYuy2(1920, 1080, 200, 128, 128);
  for (int y = 0; y < 1080; ++y) std::fill_n(&frame[static_cast<size_t>(y) * 3840], 480, 0);
  SwScaler scaler(kConverterYuy2, 1920, 1080, kOutputYuy2, 640, 480, false, 2, kScaleFit);
  EXPECT_EQ(scaler.SourceRect().x, 240);
  const auto out = Convert(scaler, frame, kConverterYuy2, 1920, kOutputYuy2, 640, 480);
  for (int y = 0; y < 480; y += 13) ASSERT_EQ(out[static_cast<size_t>(y) * 1280], 200);
}

TEST(SwScaler, UnsupportedAndUnusableConvertersWriteNothing) {
  std::vector<std::uint8_t> frame(64 * 64 * 2, 1), out(64 * 64 * 4, kSentinel);
  {
    LogCapture log;
    SwScaler badMode(3, 64, 64, kOutputRgb32, 64, 64, false, 2, 0);
    EXPECT_EQ(log.Count(L"[SwScaler::SwScaler], 0x"), 1u);
    badMode.Scale(frame.data(), 128, out.data(), 256);
    badMode.Scale(frame.data(), 128, out.data(), 256);
    EXPECT_EQ(log.Count(L"[SwScaler::Scale], 0x"), 2u);
    EXPECT_EQ(log.Count(L"not supported"), 3u);
  }
  {
    LogCapture log;
    SwScaler badKind(kConverterYuy2, 64, 64, 5, 64, 64, false, 2, 0);
    badKind.Scale(frame.data(), 128, out.data(), 256);
    EXPECT_EQ(log.Count(L"[SwScaler::Scale], 0x"), 1u);
  }
  {
    // Sizes below 1 never reach the placement: logged once, then frames are dropped.
    LogCapture log;
    SwScaler empty(kConverterYuy2, 0, 64, kOutputRgb32, 64, 64, false, 2, 1);
    empty.Scale(frame.data(), 128, out.data(), 256);
    EXPECT_EQ(log.Count(L"mode: "), 0u);
    EXPECT_EQ(log.Count(L"[SwScaler::SwScaler], 0x"), 1u);
    EXPECT_EQ(log.Lines().size(), 1u);
  }
  EXPECT_EQ(std::count(out.begin(), out.end(), kSentinel), static_cast<long>(out.size()));
}

}  // namespace
