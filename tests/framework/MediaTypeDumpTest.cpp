#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <cstring>
#include <vector>

#include "framework/MediaTypeDump.h"
#include "support/LogCapture.h"

namespace {

using telvor::test::LogCapture;

// A media type whose format block is a byte vector owned by the test.
struct TestType {
  AM_MEDIA_TYPE type = {};
  std::vector<BYTE> block;

  template <typename Header>
  TestType(const GUID& major, const GUID& sub, const GUID& format, const Header& header, ULONG length = sizeof(Header)) {
    block.resize(sizeof(Header));
    std::memcpy(block.data(), &header, sizeof(Header));
    type.majortype = major;
    type.subtype = sub;
    type.formattype = format;
    type.bFixedSizeSamples = TRUE;
    type.cbFormat = length;
    type.pbFormat = block.data();
  }
};

std::vector<std::wstring> Dump(const AM_MEDIA_TYPE* type) {
  LogCapture capture;
  DumpMediaType(type);
  for (const auto& line : capture.Lines()) EXPECT_EQ(line.sink, LogCapture::Sink::kTrace);
  return capture.Texts();
}

const WAVEFORMATEX kStereo = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};

VIDEOINFOHEADER Yuy2Vga() {
  VIDEOINFOHEADER header = {};
  header.AvgTimePerFrame = 333333;
  header.bmiHeader = {sizeof(BITMAPINFOHEADER), 640, 480, 1, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), 614400, 0, 0, 0, 0};
  return header;
}

// Which header each format type is read as, and that a block is read only
// as far as its declared length reaches; the field-by-field text is the
// dump's own business.
TEST(DumpMediaType, EachBlockAsItsHeaderAndNeverPastItsLength) {
  TestType yuy2(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga());
  VIDEOINFOHEADER2 header = {};
  header.bmiHeader = {sizeof(BITMAPINFOHEADER), 1282, -720, 1, 32, BI_RGB, 3691520, -5, 7, 0, 0};
  TestType rgb(MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo2, header);
  TestType pcm(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, kStereo);
  TestType stream(MEDIATYPE_Stream, GUID_NULL, GUID_NULL, Yuy2Vga());  // unknown identifiers, no header
  TestType shortVideo(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga(), 80);
  // A VIDEOINFOHEADER-sized block labelled as VIDEOINFOHEADER2 must not be read past its end.
  TestType shortVideo2(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, Yuy2Vga());
  TestType shortWave(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, kStereo, 17);
  TestType noBlock(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga());
  noBlock.type.pbFormat = nullptr;
  const struct {
    TestType* type;
    const wchar_t* first;  // how the first line begins
    const wchar_t* second;
  } cases[] = {
      {&yuy2, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video MEDIASUBTYPE_YUY2 FORMAT_VideoInfo 1,0,",
       L"[TELVOR] VIDEOINFOHEADER = {0,0,0,0 0,0,0,0 0,0,333333 BITMAPINFOHEADER = {40,640,480,1,16,"},
      {&rgb, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video MEDIASUBTYPE_RGB32 FORMAT_VideoInfo2 ",
       L"[TELVOR] VIDEOINFOHEADER2 = {"},
      {&pcm, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Audio MEDIASUBTYPE_PCM FORMAT_WaveFormatEx ",
       L"[TELVOR] WAVEFORMATEX = {1,2,48000,192000,4,16,0}"},
      {&stream, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_{E436EB83-524F-11CE-9F53-0020AF0BA770} ", L"[TELVOR] }"},
      {&shortVideo, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
      {&shortVideo2, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
      {&shortWave, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
      {&noBlock, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
  };
  for (const auto& c : cases) {
    const auto lines = Dump(&c.type->type);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(c.first, 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(c.second, 0), 0u) << lines[1];
  }
  EXPECT_TRUE(Dump(nullptr).empty());
}

}  // namespace
