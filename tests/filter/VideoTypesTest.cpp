// The video media types a camera builds and reads back out of clients' types;
// those it offers, from its settings and format file, and hosts' own lists.
#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "filter/video/VideoMediaTypes.h"
#include "module/ModuleStartup.h"
#include "settings/ModulePaths.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"
#include "support/VideoPinFixture.h"

namespace telvor::test {
namespace {

// Owns the task-memory block the builders allocate.
struct OwnedType {
  AM_MEDIA_TYPE type = {};
  ~OwnedType() { CoTaskMemFree(type.pbFormat); }
  VIDEOINFOHEADER& Info() { return *reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat); }
};

bool IsAllZero(const OutputFormat& f) {
  return IsEqualGUID(f.subtype, GUID_NULL) && f.width == 0 && f.height == 0 && f.stride == 0 && !f.bottomUp &&
         f.frameDuration == 0 && !f.interlaced;
}

// A camera without a picture sends studio black: Y 16 with chroma 128 in the
// YUV layouts (YUY2's bytes alternate), all zero in RGB, padding included,
// and not a byte past the picture.
TEST(BlackPicture, EachLayoutsOwnBlackToItsLastByte) {
  const struct {
    const GUID* subtype;
    int width;
    bool packedYuv;
  } cases[] = {{&MEDIASUBTYPE_YUY2, 322, true},  {&MEDIASUBTYPE_YV12, 322, false}, {&kMediaSubtypeI420, 322, false},
               {&MEDIASUBTYPE_NV12, 322, false}, {&MEDIASUBTYPE_RGB24, 321, false}, {&MEDIASUBTYPE_RGB32, 321, false}};
  for (const auto& c : cases) {
    OwnedType type;
    ASSERT_EQ(S_OK, BuildVideoType(&type.type, *c.subtype, c.width, 6, 30));
    const OutputFormat format = DescribeVideoType(type.type);
    const std::int64_t bytes = PictureBytes(format);
    SCOPED_TRACE(testing::Message() << type.Info().bmiHeader.biBitCount << " bits, " << bytes << " bytes");
    ASSERT_GT(bytes, 0);
    std::vector<std::uint8_t> buffer(static_cast<size_t>(bytes) + 64, 0xEE);
    FillBlack(format, buffer.data());
    const bool rgb = type.Info().bmiHeader.biCompression == BI_RGB;
    const size_t luma = static_cast<size_t>(format.stride) * format.height;
    for (size_t i = 0; i < buffer.size(); ++i) {
      const int expected = i >= static_cast<size_t>(bytes) ? 0xEE
                           : rgb                          ? 0
                           : c.packedYuv                  ? (i % 2 ? 128 : 16)
                                                          : (i < luma ? 16 : 128);
      ASSERT_EQ(expected, buffer[i]) << "byte " << i;
    }
  }
}

// Every field a client reads; widths not a multiple of 4 are padded, the
// picture in the rectangles. What is built describes itself again.
TEST(BuildVideoType, FieldsPaddedWidthsAndRowsDescribeThemselves) {
  const struct {
    const GUID* subtype;
    std::int64_t width, height;
    LONG biWidth;
    WORD bits;
    DWORD compression, sizeImage;
    LONG pictureRight;  // 0: empty rectangles
    std::uint32_t stride;
    bool bottomUp;
  } cases[] = {
      {&MEDIASUBTYPE_YUY2, 640, 480, 640, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), 614400, 0, 1280, false},
      {&MEDIASUBTYPE_RGB24, 1281, 720, 1282, 24, BI_RGB, 3848 * 720, 1281, 3848, true},  // 3846 bytes padded
      {&MEDIASUBTYPE_YV12, 1282, 720, 1284, 12, MAKEFOURCC('Y', 'V', '1', '2'), 1284 * 720 + 2 * 644 * 360, 1282,
       1284, false},  // chroma rows of 644
      {&MEDIASUBTYPE_YV12, 1280, 720, 1280, 12, MAKEFOURCC('Y', 'V', '1', '2'), 1280 * 720 * 3 / 2, 0, 1280, false},
      {&MEDIASUBTYPE_RGB32, 65535, 1, 65538, 32, BI_RGB, 65538 * 4, 65535, 65538 * 4, true},
      {&MEDIASUBTYPE_YUY2, 0, 0, 0, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), 0, 0, 0, false},  // no pixels is no overflow
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    OwnedType type;
    ASSERT_EQ(S_OK, BuildVideoType(&type.type, *c.subtype, c.width, c.height, 60));
    const AM_MEDIA_TYPE& t = type.type;
    EXPECT_TRUE(IsEqualGUID(t.majortype, MEDIATYPE_Video) && IsEqualGUID(t.subtype, *c.subtype) &&
                IsEqualGUID(t.formattype, FORMAT_VideoInfo) && t.cbFormat == 88u);
    EXPECT_TRUE(t.bFixedSizeSamples && !t.bTemporalCompression && t.lSampleSize == c.sizeImage);
    EXPECT_TRUE(type.Info().AvgTimePerFrame == 166666 && type.Info().dwBitErrorRate == 0u);
    const BITMAPINFOHEADER expected = {40, c.biWidth, LONG(c.height), 1, c.bits, c.compression, c.sizeImage, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&type.Info().bmiHeader, &expected, sizeof(expected)), 0);
    const RECT picture = {0, 0, c.pictureRight, c.pictureRight ? LONG(c.height) : 0};
    EXPECT_EQ(std::memcmp(&type.Info().rcSource, &picture, sizeof(RECT)), 0);
    EXPECT_EQ(std::memcmp(&type.Info().rcTarget, &picture, sizeof(RECT)), 0);
    if (!c.width) continue;
    const OutputFormat format = DescribeVideoType(t);
    EXPECT_TRUE(IsEqualGUID(format.subtype, *c.subtype));
    EXPECT_TRUE(format.width == c.width && format.height == c.height && format.stride == c.stride);
    EXPECT_TRUE(format.bottomUp == c.bottomUp && format.frameDuration == 166666 && !format.interlaced);
  }
}

// The bit rate counts 32 bits a pixel: 2^32 bits a frame wrap to 0, beyond 32 bits a second saturates.
TEST(BuildVideoType, RatesGiveTruncatedDurationsAndThe32BitBitRate) {
  constexpr DWORD kQvga30 = 320 * 240 * 32 * 30;
  const struct {
    double rate;
    REFERENCE_TIME duration;
    DWORD bitRate = 0;
    int width = 320, height = 240;
  } cases[] = {{30, 333333, kQvga30}, {30000.0 / 1001, 333666, 73654345}, {25, 400000, kQvga30 / 6 * 5},
               {60, 166666, 2 * kQvga30}, {60000.0 / 1001, 166833, 147308691}, {50, 200000, kQvga30 / 3 * 5},
               {0, 0}, {-30, 0}, {std::nan(""), 0}, {1e-300, INT64_MAX, 0},
               {30, 333333, 0, 16384, 8192}, {60, 166666, 0xFFFFFFFFu, 3840, 2160}};
  for (const auto& c : cases) {
    OwnedType type;
    BuildVideoType(&type.type, MEDIASUBTYPE_RGB32, c.width, c.height, c.rate);
    EXPECT_TRUE(type.Info().AvgTimePerFrame == c.duration && type.Info().dwBitRate == c.bitRate)
        << c.rate << " " << c.width << ": " << type.Info().AvgTimePerFrame << " " << type.Info().dwBitRate;
  }
}

// Subtypes outside the table and sizes no picture can have are refused, and
// an earlier block is released, not leaked or left half-valid.
TEST(BuildVideoType, SubtypesAndSizesBeyondTheLimitsAreRefused) {
  OwnedType type;
  BuildVideoType(&type.type, MEDIASUBTYPE_YUY2, 640, 480, 30);
  EXPECT_EQ(BuildVideoType(&type.type, MEDIASUBTYPE_UYVY, 640, 480, 30), E_INVALIDARG);
  EXPECT_TRUE(type.type.pbFormat == nullptr && type.type.cbFormat == 0u);
  const struct {
    std::int64_t width, height;
  } refused[] = {{100000, 100000}, {65535, 65535},     {-640, 480},
                 {640, -480},      {100000, 1},        {1, 100000},
                 {INT_MAX, INT_MAX}, {std::int64_t{1} << 40, 1}, {640, -std::int64_t{INT_MIN}}};
  for (const auto& size : refused) {
    BuildVideoType(&type.type, MEDIASUBTYPE_YUY2, 64, 48, 30);
    EXPECT_EQ(BuildVideoType(&type.type, MEDIASUBTYPE_RGB32, size.width, size.height, 30), E_INVALIDARG)
        << size.width << "x" << size.height;
    EXPECT_EQ(type.type.pbFormat, nullptr);
  }
}

// Client types, built and then changed: RGB rows are the bitmap's whatever
// the width, a negative height is top-down; a subtype outside the table has
// no row facts. Broken blocks and impossible sizes give all zero.
TEST(DescribeVideoType, RowsOfClientTypesAndAllZeroForBrokenOnes) {
  using T = AM_MEDIA_TYPE&;
  using V = VIDEOINFOHEADER&;
  const struct {
    const char* name;
    const GUID* subtype;
    void (*change)(T, V);
    std::int64_t stride;  // -1: all zero
    bool bottomUp = false;
  } cases[] = {
      {"RGB24 641 wide", &MEDIASUBTYPE_RGB24, [](T, V i) { i.bmiHeader.biWidth = 641; }, 1924, true},
      {"RGB32 top-down", &MEDIASUBTYPE_RGB32, [](T, V i) { i.bmiHeader.biHeight = -481; }, 2560, false},
      {"YUY2 642 wide", &MEDIASUBTYPE_YUY2, [](T, V i) { i.bmiHeader.biWidth = 642; }, 1284, false},
      {"YV12 642 wide", &MEDIASUBTYPE_YV12, [](T, V i) { i.bmiHeader.biWidth = 642; }, 642, false},
      {"UYVY", &MEDIASUBTYPE_RGB32, [](T t, V) { t.subtype = MEDIASUBTYPE_UYVY; }, 0, false},
      {"short block", &MEDIASUBTYPE_RGB32, [](T t, V) { t.cbFormat = 80; }, -1},
      {"no block", &MEDIASUBTYPE_YUY2,
       [](T t, V) {
         CoTaskMemFree(t.pbFormat);
         t.pbFormat = nullptr;
       },
       -1},
      {"VideoInfo block as VideoInfo2", &MEDIASUBTYPE_RGB32, [](T t, V) { t.formattype = FORMAT_VideoInfo2; }, -1},
      {"source overflows", &MEDIASUBTYPE_RGB32, [](T, V i) { i.rcSource = {INT_MIN, 0, INT_MAX, 481}; }, -1},
      {"right of left", &MEDIASUBTYPE_RGB32, [](T, V i) { i.rcSource = {640, 0, 0, 481}; }, -1},
      {"huge", &MEDIASUBTYPE_RGB32, [](T, V i) { i.bmiHeader.biWidth = i.bmiHeader.biHeight = 100000; }, -1},
      {"height INT_MIN", &MEDIASUBTYPE_RGB32, [](T, V i) { i.bmiHeader.biHeight = INT_MIN; }, -1},
      {"negative width", &MEDIASUBTYPE_RGB32, [](T, V i) { i.bmiHeader.biWidth = -640; }, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OwnedType type;
    ASSERT_EQ(S_OK, BuildVideoType(&type.type, *c.subtype, 640, 481, 30));
    c.change(type.type, type.Info());
    const OutputFormat format = DescribeVideoType(type.type);
    if (c.stride < 0) {
      EXPECT_TRUE(IsAllZero(format));
    } else {
      EXPECT_TRUE(format.stride == c.stride && format.bottomUp == c.bottomUp && format.height == 481u);
    }
  }
}

// A header left over from another subtype is told apart from a right one,
// and setting it right keeps the client's size, orientation and rate.
TEST(NormaliseVideoType, StaleHeadersAreToldApartAndSetRight) {
  using V = VIDEOINFOHEADER&;
  const struct {
    const char* name;
    const GUID* subtype;
    void (*change)(V);
    bool consistent, normalisable;
  } cases[] = {
      {"as built", &MEDIASUBTYPE_NV12, [](V) {}, true, true},
      {"YV12's bit count", &MEDIASUBTYPE_RGB24, [](V i) { i.bmiHeader.biBitCount = 12; }, false, true},
      {"YV12's compression", &MEDIASUBTYPE_RGB32, [](V i) { i.bmiHeader.biCompression = MAKEFOURCC('Y', 'V', '1', '2'); },
       false, true},
      {"bit fields", &MEDIASUBTYPE_RGB32, [](V i) { i.bmiHeader.biCompression = BI_BITFIELDS; }, true, true},
      {"unpadded image size", &MEDIASUBTYPE_RGB24, [](V i) { i.bmiHeader.biSizeImage = 641 * 3 * 480; }, true, true},
      {"flipped", &telvor::kMediaSubtypeI420, [](V i) { i.bmiHeader.biHeight = -480; }, true, true},
      {"no width", &MEDIASUBTYPE_YUY2, [](V i) { i.bmiHeader.biWidth = 0; }, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OwnedType type;
    ASSERT_EQ(S_OK, BuildVideoType(&type.type, *c.subtype, 641, 480, 25));
    c.change(type.Info());
    type.type.lSampleSize = 1;
    const LONG height = type.Info().bmiHeader.biHeight;
    EXPECT_EQ(c.consistent, IsConsistentVideoType(type.type));
    ASSERT_EQ(c.normalisable, NormaliseVideoType(&type.type));
    if (!c.normalisable) continue;
    const BITMAPINFOHEADER& bitmap = type.Info().bmiHeader;
    const telvor::VideoSubtypeInfo* info = telvor::FindVideoSubtype(*c.subtype);
    EXPECT_TRUE(IsConsistentVideoType(type.type) && bitmap.biCompression == info->compression &&
                bitmap.biBitCount == info->bitCount && bitmap.biHeight == height && bitmap.biWidth == 642 &&
                type.Info().AvgTimePerFrame == 400000);
    EXPECT_EQ(telvor::DibRowBytes(642, info->bitCount) * 480, bitmap.biSizeImage);
    EXPECT_EQ(bitmap.biSizeImage, type.type.lSampleSize);
  }
}

std::vector<OutputFormat> Describe(const std::vector<CMediaType>& offer) {
  std::vector<OutputFormat> out;
  for (const CMediaType& type : offer) out.push_back(DescribeVideoType(type));
  return out;
}

// Thousands of sizes, most of them repeats: each format is offered once, at
// its first appearance, while the size list keeps every entry.
TEST(VideoOffer, DefaultSizeThenFormatFileSizesOnceEachAndNoneBeyondTheConverter) {
  constexpr int kEntries = 20000;
  // Entry i is 2 x (i mod 50) wider and 2 x (i mod 3) taller than 320 x 240:
  // entries 0..149 are all different, every later one repeats one of them.
  auto width = [](int i) { return 320u + 2u * static_cast<UINT>(i % 50); };
  auto height = [](int i) { return 240u + 2u * static_cast<UINT>(i % 3); };
  std::string text = "[CONFIG]\n";
  for (int i = 0; i < kEntries; ++i) {
    const std::string n = (i < 9 ? "0" : "") + std::to_string(i + 1);
    text += "FILTER.OUTPUT.W." + n + "=" + std::to_string(width(i)) + "\nFILTER.OUTPUT.H." + n + "=" +
            std::to_string(height(i)) + "\n";
  }
  // A zero width ends the list, whatever follows.
  text += "FILTER.OUTPUT.W.20001=0\nFILTER.OUTPUT.H.20001=200\nFILTER.OUTPUT.W.20002=64\nFILTER.OUTPUT.H.20002=64\n";
  TempDir dir;
  const std::wstring file = dir.File(L"cam.26.INI");
  WriteTextFile(file, text);
  // The default size is entry 7's: that entry adds no type of its own.
  const FilterEntry entry = MakeVideoEntry(kVideoPinCameras, 25.0, width(7), height(7));
  const VideoOffer offer = BuildVideoOffer(HostInfo{}, entry, 25.0, 30.0, file.c_str());
  ASSERT_EQ(static_cast<size_t>(kEntries) + 1, offer.sizes.size());
  EXPECT_EQ(offer.sizes[0], offer.sizes[8]);

  const std::vector<OutputFormat> types = Describe(offer.types);
  const GUID* order[] = {&MEDIASUBTYPE_YV12,  &MEDIASUBTYPE_YUY2,         &MEDIASUBTYPE_RGB32,
                         &MEDIASUBTYPE_RGB24, &telvor::kMediaSubtypeI420, &MEDIASUBTYPE_NV12};
  constexpr size_t kPerSize = std::size(order);
  ASSERT_EQ(kPerSize * 150, types.size());
  for (size_t t = 0; t < types.size(); ++t) {
    const int k = static_cast<int>(t / kPerSize), i = k == 0 ? 7 : k <= 7 ? k - 1 : k;  // entry 7 first, then the rest
    ASSERT_TRUE(*order[t % kPerSize] == types[t].subtype && width(i) == types[t].width && height(i) == types[t].height &&
                types[t].frameDuration == 400000)
        << "type " << t << " should be entry " << i << ": " << types[t].width << "x" << types[t].height;
  }

  // A size with a side the converter cannot produce, or a negative one, is
  // left out with one line each.
  WriteTextFile(file, "[CONFIG]\nFILTER.OUTPUT.W.01=16385\nFILTER.OUTPUT.H.01=8\n"
                      "FILTER.OUTPUT.W.02=70000\nFILTER.OUTPUT.H.02=8\nFILTER.OUTPUT.W.03=-64\nFILTER.OUTPUT.H.03=8\n"
                      "FILTER.OUTPUT.W.04=16384\nFILTER.OUTPUT.H.04=8\n");
  LogCapture log;
  const FilterEntry tall = MakeVideoEntry(kVideoPinCameras, 25.0, 64, 16385);
  const std::vector<OutputFormat> large = Describe(BuildVideoOffer(HostInfo{}, tall, 25.0, 30.0, file.c_str()).types);
  ASSERT_EQ(6u, large.size());
  for (const OutputFormat& t : large) EXPECT_EQ(16384u, t.width);
  EXPECT_EQ(4u, log.Count(L"not offered"));
}

TEST(VideoOffer, HostListsForSkypeEdiusAndYyMixer) {
  TempDir dir;
  const std::wstring file = dir.File(L"cam.INI");
  WriteTextFile(file, "[CONFIG]\nFILTER.OUTPUT.W.01=640\nFILTER.OUTPUT.H.01=480\n");
  const FilterEntry entry = MakeVideoEntry(kVideoPinCameras, 30.0, 800, 600);

  HostInfo skype = {};
  skype.isSkype = true;
  const VideoOffer forSkype = BuildVideoOffer(skype, entry, 30.0, 25.0, file.c_str());
  std::vector<OutputFormat> types = Describe(forSkype.types);
  ASSERT_EQ(8u, types.size());  // two YV12 at the producer's rate, then the file's size
  EXPECT_TRUE(types[0].subtype == MEDIASUBTYPE_YV12 && types[0].width == 1920 && types[0].frameDuration == 400000);
  EXPECT_TRUE(types[1].width == 1280 && types[2].width == 640);
  const std::vector<std::pair<UINT, UINT>> skypeSizes = {{1920, 1080}, {1280, 720}, {640, 480}};
  EXPECT_EQ(skypeSizes, forSkype.sizes);

  HostInfo edius = {};
  edius.isEdius = true;
  const VideoOffer forEdius = BuildVideoOffer(edius, entry, 30.0, 30.0, file.c_str());
  types = Describe(forEdius.types);
  ASSERT_EQ(14u, types.size());
  EXPECT_TRUE(forEdius.sizes.empty());
  for (const OutputFormat& t : types) EXPECT_EQ(MEDIASUBTYPE_YUY2, t.subtype);
  EXPECT_TRUE(types[3].interlaced && types[13].interlaced && types[9].frameDuration == 166833);
  // Interlaced types carry a whole VIDEOINFOHEADER2 (whose other fields stay zero).
  const auto& edius2 = *reinterpret_cast<const VIDEOINFOHEADER2*>(forEdius.types[3].pbFormat);
  EXPECT_TRUE(forEdius.types[3].formattype == FORMAT_VideoInfo2 && forEdius.types[3].cbFormat == 112u);
  EXPECT_EQ(0u, edius2.dwCopyProtectFlags | edius2.dwPictAspectRatioX | edius2.dwControlFlags | edius2.dwReserved2);

  HostInfo yyMixer = {};
  yyMixer.isYyMixer = true;
  types = Describe(BuildVideoOffer(yyMixer, entry, 30.0, 30.0, file.c_str()).types);
  ASSERT_EQ(2u, types.size());
  EXPECT_TRUE(types[0].subtype == MEDIASUBTYPE_YUY2 && types[0].width == 800u);
}

// The pin must find its host: this program, copied under a host's name, runs the test below.
TEST(VideoOffer, RenamedProgramsGetTheirHostLists) {
  for (const wchar_t* host : {L"EDIUS.exe", L"DVStreamsie.exe"}) {
    TempDir dir;
    const std::wstring exe = dir.File(host), out = dir.File(L"out.txt");
    ASSERT_TRUE(CopyFileTo(BuildTreePath(L"tests\\filter\\telvor_filter_tests.exe"), exe));
    RunProcess(L"\"" + exe + L"\" --gtest_filter=VideoOffer.OfferedToTheHostThisProgramIsNamedFor", 30000, out);
    const std::string text = ReadFileBytes(out);
    EXPECT_NE(std::string::npos, text.find("[  PASSED  ] 1 test.")) << text;
  }
}

// With a forced type, DVStreamsie alone takes a proposal of another kind.
TEST(VideoOffer, OfferedToTheHostThisProgramIsNamedFor) {
  StartModule(nullptr);  // records this program's name as the host
  const HostInfo& host = GetHostInfo();
  if (!host.isEdius && !host.isDvStreamsie) GTEST_SKIP() << "run by RenamedProgramsGetTheirHostLists";
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  {
    const FilterEntry entry = MakeVideoEntry(kVideoPinCameras + 4, 30.0, 640, 480);
    const Camera camera = Camera::Create(kVideoPinCameras + 4, &entry);
    ASSERT_TRUE(camera.pin);
    EXPECT_EQ(host.isEdius ? 14u : 6u, camera.pin->OfferedTypes().size());
    EXPECT_EQ(host.isEdius ? 0u : 1u, camera.pin->SupportedSizes().size());
    camera.pin->SetSubType(MEDIASUBTYPE_RGB32);
    const CMediaType other = VideoType(MEDIASUBTYPE_RGB24, 320, 240, 30.0);
    EXPECT_EQ(host.isEdius ? S_FALSE : S_OK, camera.pin->CheckMediaType(&other));
  }
  CoUninitialize();
}

}  // namespace
}  // namespace telvor::test
