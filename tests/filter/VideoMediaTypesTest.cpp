#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "filter/VideoMediaTypes.h"
#include "support/LogCapture.h"

namespace {

using telvor::test::LogCapture;

// Owns the task-memory block the builders allocate.
struct OwnedType {
  AM_MEDIA_TYPE type = {};
  ~OwnedType() {
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
  }
  const VIDEOINFOHEADER& Info() const { return *reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat); }
  const VIDEOINFOHEADER2& Info2() const { return *reinterpret_cast<const VIDEOINFOHEADER2*>(type.pbFormat); }
  VIDEOINFOHEADER& Info() { return *reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat); }
};

bool IsAllZero(const OutputFormat& format) {
  const OutputFormat zero = {};
  return IsEqualGUID(format.subtype, GUID_NULL) && format.width == zero.width && format.height == zero.height &&
         format.stride == 0 && !format.bottomUp && format.frameDuration == 0 && !format.interlaced;
}

bool IsEmpty(const RECT& rect) { return rect.left == 0 && rect.top == 0 && rect.right == 0 && rect.bottom == 0; }

TEST(BuildVideoType, Yuy2VgaAtThirtyFillsEveryField) {
  OwnedType yuy2;
  BuildVideoType(&yuy2.type, MEDIASUBTYPE_YUY2, 640, 480, 30);
  const AM_MEDIA_TYPE& t = yuy2.type;
  EXPECT_TRUE(IsEqualGUID(t.majortype, MEDIATYPE_Video) && IsEqualGUID(t.subtype, MEDIASUBTYPE_YUY2) &&
              IsEqualGUID(t.formattype, FORMAT_VideoInfo));
  EXPECT_EQ(t.bFixedSizeSamples, TRUE);
  EXPECT_EQ(t.bTemporalCompression, FALSE);
  EXPECT_EQ(t.lSampleSize, 614400u);
  EXPECT_EQ(t.cbFormat, 88u);
  const VIDEOINFOHEADER& info = yuy2.Info();
  EXPECT_TRUE(IsEmpty(info.rcSource) && IsEmpty(info.rcTarget));
  EXPECT_EQ(info.dwBitRate, 480u * 16 * 640 * 30);
  EXPECT_EQ(info.dwBitErrorRate, 0u);
  EXPECT_EQ(info.AvgTimePerFrame, 333333);
  const BITMAPINFOHEADER expected = {40, 640, 480, 1, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), 614400, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(&info.bmiHeader, &expected, sizeof(expected)), 0);
}

TEST(BuildVideoType, OddWidthsArePaddedAndKeepThePictureInTheRectangles) {
  OwnedType odd;
  BuildVideoType(&odd.type, MEDIASUBTYPE_RGB24, 1281, 720, 30);
  EXPECT_EQ(odd.Info().bmiHeader.biWidth, 1282);
  const RECT expected = {0, 0, 1281, 720};
  EXPECT_EQ(std::memcmp(&odd.Info().rcSource, &expected, sizeof(RECT)), 0);
  EXPECT_EQ(std::memcmp(&odd.Info().rcTarget, &expected, sizeof(RECT)), 0);
  // 1282 RGB24 pixels are 3846 bytes, rounded up to 3848 per DIB row.
  EXPECT_EQ(odd.Info().bmiHeader.biSizeImage, 3848u * 720);

  OwnedType even;
  BuildVideoType(&even.type, MEDIASUBTYPE_YV12, 1282, 720, 30);
  EXPECT_EQ(even.Info().bmiHeader.biWidth, 1284);
  EXPECT_EQ(even.Info().rcSource.right, 1282);

  OwnedType aligned;
  BuildVideoType(&aligned.type, MEDIASUBTYPE_YV12, 1280, 720, 30);
  EXPECT_EQ(aligned.Info().bmiHeader.biWidth, 1280);
  EXPECT_TRUE(IsEmpty(aligned.Info().rcSource));
  EXPECT_EQ(aligned.Info().bmiHeader.biSizeImage, 1280u * 720 * 3 / 2);
  EXPECT_EQ(aligned.Info().bmiHeader.biCompression, MAKEFOURCC('Y', 'V', '1', '2'));
}

TEST(BuildVideoType, RatesGiveTruncatedDurationsAndThe32BitBitRate) {
  const struct {
    double rate;
    REFERENCE_TIME duration;
  } cases[] = {{30, 333333}, {30000.0 / 1001, 333666}, {25, 400000}, {60, 166666}, {60000.0 / 1001, 166833},
               {50, 200000}, {0, 0},  {-30, 0}, {std::nan(""), 0}, {1e-300, INT64_MAX}};
  for (const auto& c : cases) {
    OwnedType type;
    BuildVideoType(&type.type, MEDIASUBTYPE_RGB32, 320, 240, c.rate);
    EXPECT_EQ(type.Info().AvgTimePerFrame, c.duration) << c.rate;
  }
  OwnedType none;
  BuildVideoType(&none.type, MEDIASUBTYPE_RGB32, 320, 240, -30);
  EXPECT_EQ(none.Info().dwBitRate, 0u);
  // 16384 x 8192 x 32 bits is exactly 2^32: the per-frame product wraps to 0.
  OwnedType wrapped;
  BuildVideoType(&wrapped.type, MEDIASUBTYPE_RGB32, 16384, 8192, 30);
  EXPECT_EQ(wrapped.Info().dwBitRate, 0u);
  // A rate beyond 32 bits saturates instead of wrapping.
  OwnedType uhd;
  BuildVideoType(&uhd.type, MEDIASUBTYPE_RGB32, 3840, 2160, 60);
  EXPECT_EQ(uhd.Info().dwBitRate, 0xFFFFFFFFu);
}

TEST(BuildVideoType2, AddsInterlacingAndZeroesTheRest) {
  OwnedType type;
  BuildVideoType2(&type.type, MEDIASUBTYPE_NV12, 720, 576, 25);
  EXPECT_TRUE(IsEqualGUID(type.type.formattype, FORMAT_VideoInfo2));
  EXPECT_EQ(type.type.cbFormat, 112u);
  const VIDEOINFOHEADER2& info = type.Info2();
  EXPECT_EQ(info.dwInterlaceFlags, 1u);
  EXPECT_EQ(info.dwCopyProtectFlags | info.dwPictAspectRatioX | info.dwPictAspectRatioY | info.dwControlFlags |
                info.dwReserved2,
            0u);
  EXPECT_EQ(info.AvgTimePerFrame, 400000);
  EXPECT_EQ(info.bmiHeader.biCompression, MAKEFOURCC('N', 'V', '1', '2'));
  EXPECT_EQ(info.bmiHeader.biSizeImage, 720u * 576 * 3 / 2);
  EXPECT_EQ(type.type.lSampleSize, info.bmiHeader.biSizeImage);
}

TEST(BuildVideoType, SubtypesOutsideTheTableAreRefusedAndLogged) {
  LogCapture capture;
  OwnedType type;
  BuildVideoType(&type.type, MEDIASUBTYPE_YUY2, 640, 480, 30);
  EXPECT_EQ(BuildVideoType(&type.type, MEDIASUBTYPE_UYVY, 640, 480, 30), E_INVALIDARG);
  // The earlier block is released, not leaked or left half-valid.
  EXPECT_EQ(type.type.pbFormat, nullptr);
  EXPECT_EQ(type.type.cbFormat, 0u);
  const auto errors = capture.Matching(L"COM error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind(L"[TELVOR][ERROR]: Utils(", 0), 0u);
  EXPECT_NE(errors[0].find(L"): COM error, hr=-2147024809"), std::wstring::npos);

  // MPEG-2 video is the one exception: a type without pixel facts.
  BuildVideoType2(&type.type, MEDIASUBTYPE_MPEG2_VIDEO, 720, 480, 30);
  EXPECT_EQ(type.Info().bmiHeader.biBitCount, 0);
  EXPECT_EQ(type.Info().bmiHeader.biCompression, 0u);
  EXPECT_EQ(type.type.lSampleSize, 0u);
}

TEST(BuildVideoType, SizesBeyondTheLimitsAreRefusedSaneExtremesBuilt) {
  const struct {
    std::int64_t width, height;
  } refused[] = {{100000, 100000}, {65535, 65535}, {-640, 480},       {640, -480},
                 {100000, 1},      {1, 100000},    {INT_MAX, INT_MAX}, {std::int64_t{1} << 40, 1}};
  for (const auto& size : refused) {
    OwnedType type;
    EXPECT_EQ(BuildVideoType(&type.type, MEDIASUBTYPE_RGB32, size.width, size.height, 30),
              E_INVALIDARG)
        << size.width << "x" << size.height;
    EXPECT_EQ(type.type.pbFormat, nullptr);
  }
  // |INT_MIN| as a height, as a pin computing |biHeight| may pass it.
  OwnedType type;
  EXPECT_EQ(BuildVideoType(&type.type, MEDIASUBTYPE_YUY2, 640, -std::int64_t{INT_MIN}, 30),
            E_INVALIDARG);

  BuildVideoType(&type.type, MEDIASUBTYPE_RGB32, 65535, 1, 30);
  EXPECT_EQ(type.Info().bmiHeader.biWidth, 65538);
  EXPECT_EQ(type.Info().bmiHeader.biSizeImage, 65538u * 4);
  const OutputFormat wide = DescribeVideoType(type.type);
  EXPECT_EQ(wide.width, 65535u);
  EXPECT_EQ(wide.stride, 65538u * 4);
  // No pixels is no overflow: the plain arithmetic gives an empty type.
  BuildVideoType(&type.type, MEDIASUBTYPE_YUY2, 0, 0, 30);
  EXPECT_EQ(type.Info().bmiHeader.biSizeImage, 0u);
}

TEST(DescribeVideoType, BuiltTypesDescribeThemselves) {
  OwnedType rgb;
  BuildVideoType(&rgb.type, MEDIASUBTYPE_RGB24, 1281, 720, 60);
  OutputFormat format = DescribeVideoType(rgb.type);
  EXPECT_TRUE(IsEqualGUID(format.subtype, MEDIASUBTYPE_RGB24));
  EXPECT_EQ(format.width, 1281u);
  EXPECT_EQ(format.height, 720u);
  EXPECT_EQ(format.stride, 3848u);  // 3 x 1282 = 3846 rounded up to the DIB's 4 bytes
  EXPECT_TRUE(format.bottomUp);
  EXPECT_EQ(format.frameDuration, 166666);
  EXPECT_FALSE(format.interlaced);

  OwnedType yuy2;
  BuildVideoType2(&yuy2.type, MEDIASUBTYPE_YUY2, 640, 480, 30);
  format = DescribeVideoType(yuy2.type);
  EXPECT_EQ(format.stride, 1280u);
  EXPECT_FALSE(format.bottomUp);
  EXPECT_TRUE(format.interlaced);

  // Empty rectangles and a negative height: a top-down RGB picture.
  OwnedType topDown;
  BuildVideoType(&topDown.type, MEDIASUBTYPE_RGB32, 640, 480, 30);
  topDown.Info().bmiHeader.biHeight = -480;
  format = DescribeVideoType(topDown.type);
  EXPECT_EQ(format.height, 480u);
  EXPECT_EQ(format.stride, 2560u);
  EXPECT_FALSE(format.bottomUp);

  // A subtype outside the table keeps its size but has no row facts.
  topDown.type.subtype = MEDIASUBTYPE_UYVY;
  format = DescribeVideoType(topDown.type);
  EXPECT_EQ(format.width, 640u);
  EXPECT_EQ(format.stride, 0u);
}

// RGB rows are the bitmap's rows, padded to 4 bytes, whatever the width; the
// YUV layouts keep bytes per pixel times biWidth.
TEST(DescribeVideoType, RgbRowsArePaddedLikeTheBitmap) {
  const struct {
    const GUID* subtype;
    LONG biWidth;
    std::uint32_t stride;
  } cases[] = {{&MEDIASUBTYPE_RGB24, 642, 1928}, {&MEDIASUBTYPE_RGB24, 641, 1924}, {&MEDIASUBTYPE_RGB24, 640, 1920},
               {&MEDIASUBTYPE_RGB32, 641, 2564},  {&MEDIASUBTYPE_YUY2, 642, 1284},  {&MEDIASUBTYPE_YV12, 642, 642}};
  for (const auto& c : cases) {
    OwnedType type;
    BuildVideoType(&type.type, *c.subtype, 640, 481, 30);
    type.Info().bmiHeader.biWidth = c.biWidth;
    const OutputFormat format = DescribeVideoType(type.type);
    EXPECT_EQ(format.stride, c.stride) << c.biWidth;
  }
}

// Blocks too short for their format type, and sizes no picture can have.
TEST(DescribeVideoType, IncompleteBlocksAndHostileSizesGiveAllZero) {
  AM_MEDIA_TYPE noBlock = {};
  noBlock.subtype = MEDIASUBTYPE_YUY2;
  noBlock.formattype = FORMAT_VideoInfo;
  noBlock.cbFormat = 88;
  EXPECT_TRUE(IsAllZero(DescribeVideoType(noBlock)));

  const struct {
    const char* name;
    void (*spoil)(AM_MEDIA_TYPE&, VIDEOINFOHEADER&);
  } cases[] = {
      {"short block", [](AM_MEDIA_TYPE& t, VIDEOINFOHEADER&) { t.cbFormat = 80; }},
      {"VideoInfo block labelled VideoInfo2", [](AM_MEDIA_TYPE& t, VIDEOINFOHEADER&) { t.formattype = FORMAT_VideoInfo2; }},
      {"source rectangle overflows", [](AM_MEDIA_TYPE&, VIDEOINFOHEADER& i) { i.rcSource = {INT_MIN, 0, INT_MAX, 480}; }},
      {"right of left", [](AM_MEDIA_TYPE&, VIDEOINFOHEADER& i) { i.rcSource = {640, 0, 0, 480}; }},
      {"huge", [](AM_MEDIA_TYPE&, VIDEOINFOHEADER& i) { i.bmiHeader.biWidth = i.bmiHeader.biHeight = 100000; }},
      {"height INT_MIN", [](AM_MEDIA_TYPE&, VIDEOINFOHEADER& i) { i.bmiHeader.biHeight = INT_MIN; }},
      {"negative width", [](AM_MEDIA_TYPE&, VIDEOINFOHEADER& i) { i.bmiHeader.biWidth = -640; }},
  };
  for (const auto& c : cases) {
    OwnedType type;
    BuildVideoType(&type.type, MEDIASUBTYPE_RGB32, 640, 480, 30);
    c.spoil(type.type, type.Info());
    EXPECT_TRUE(IsAllZero(DescribeVideoType(type.type))) << c.name;
  }
}

TEST(IsSameVideoFormat, ComparesPictureNotLayout) {
  OwnedType a, b, c, d;
  BuildVideoType(&a.type, MEDIASUBTYPE_RGB24, 1281, 720, 30);
  BuildVideoType(&b.type, MEDIASUBTYPE_RGB24, 1281, 720, 30);
  b.Info().bmiHeader.biWidth = 1284;  // different stride, same picture
  b.Info().bmiHeader.biHeight = -720;  // different row order, same picture
  EXPECT_TRUE(IsSameVideoFormat(a.type, b.type));

  BuildVideoType(&c.type, MEDIASUBTYPE_RGB24, 1281, 720, 25);
  EXPECT_FALSE(IsSameVideoFormat(a.type, c.type));
  BuildVideoType2(&d.type, MEDIASUBTYPE_RGB24, 1281, 720, 30);
  EXPECT_FALSE(IsSameVideoFormat(a.type, d.type));
  BuildVideoType(&d.type, MEDIASUBTYPE_RGB32, 1281, 720, 30);
  EXPECT_FALSE(IsSameVideoFormat(a.type, d.type));
}

}  // namespace
