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

TEST(DumpMediaType, EachFormatBlockByteForByte) {
  TestType yuy2(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga());
  yuy2.type.lSampleSize = 614400;
  VIDEOINFOHEADER2 header = {};
  header.rcSource = {-1, 2, 1281, 720};
  header.rcTarget = {0, 0, 1281, 720};
  header.dwBitRate = 4000000000u;
  header.AvgTimePerFrame = 166833;
  header.dwInterlaceFlags = 1;
  header.dwPictAspectRatioX = 16;
  header.dwPictAspectRatioY = 9;
  header.bmiHeader = {sizeof(BITMAPINFOHEADER), 1282, -720, 1, 32, BI_RGB, 3691520, -5, 7, 0, 0};
  TestType rgb(MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo2, header);
  TestType pcm(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, kStereo);
  pcm.type.lSampleSize = 4;
  const GUID unknownSubtype = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  TestType stream(MEDIATYPE_Stream, unknownSubtype, GUID_NULL, Yuy2Vga());
  stream.type.bFixedSizeSamples = -1;
  stream.type.bTemporalCompression = TRUE;
  stream.type.lSampleSize = 4294967295u;
  const struct {
    TestType* type;
    const wchar_t* lines[2];
  } cases[] = {
      {&yuy2,
       {L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video MEDIASUBTYPE_YUY2 FORMAT_VideoInfo 1,0,614400,88}\n",
        L"[TELVOR] VIDEOINFOHEADER = {0,0,0,0 0,0,0,0 0,0,333333 "
        L"BITMAPINFOHEADER = {40,640,480,1,16,844715353,614400,0,0,0,0} }\n"}},
      {&rgb,
       {L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video MEDIASUBTYPE_RGB32 FORMAT_VideoInfo2 1,0,0,112}\n",
        L"[TELVOR] VIDEOINFOHEADER2 = {-1,2,1281,720,0,0,1281,720,4000000000,0,166833,1,0,16,9,0 "
        L"BITMAPINFOHEADER = {40,1282,-720,1,32,0,3691520,-5,7,0,0} }\n"}},
      {&pcm,
       {L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Audio MEDIASUBTYPE_PCM FORMAT_WaveFormatEx 1,0,4,18}\n",
        L"[TELVOR] WAVEFORMATEX = {1,2,48000,192000,4,16,0}\n"}},
      // Unknown identifiers in registry form.
      {&stream,
       {L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_{E436EB83-524F-11CE-9F53-0020AF0BA770} "
        L"MEDIASUBTYPE_{12345678-9ABC-DEF0-0123-456789ABCDEF} "
        L"FORMAT_{00000000-0000-0000-0000-000000000000} -1,1,4294967295,88}\n",
        L"[TELVOR] }\n"}},
  };
  for (const auto& c : cases) {
    const auto lines = Dump(&c.type->type);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], c.lines[0]);
    EXPECT_EQ(lines[1], c.lines[1]);
  }
  EXPECT_TRUE(Dump(nullptr).empty());
}

TEST(DumpMediaType, BlocksShorterThanTheirHeaderPrintOnlyTheBrace) {
  TestType shortVideo(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga(), 80);
  // A VIDEOINFOHEADER-sized block labelled as VIDEOINFOHEADER2 must not be read past its end.
  TestType shortVideo2(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, Yuy2Vga());
  TestType shortWave(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, kStereo, 17);
  TestType noBlock(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga());
  noBlock.type.pbFormat = nullptr;
  for (TestType* test : {&shortVideo, &shortVideo2, &shortWave, &noBlock}) {
    const auto lines = Dump(&test->type);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], L"[TELVOR] }\n");
  }
}

}  // namespace
