// The types a camera offers: from its settings and format file, and the
// lists of the hosts that need their own.
#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>

#include <algorithm>
#include <string>

#include "module/ModulePaths.h"
#include "module/ModuleStartup.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

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
  ASSERT_EQ(4u * 150, types.size());
  const GUID* order[] = {&MEDIASUBTYPE_YV12, &MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_RGB24};
  for (size_t t = 0; t < types.size(); ++t) {
    const int k = static_cast<int>(t / 4), i = k == 0 ? 7 : k <= 7 ? k - 1 : k;  // entry 7 first, then the rest
    ASSERT_TRUE(*order[t % 4] == types[t].subtype && width(i) == types[t].width && height(i) == types[t].height &&
                types[t].frameDuration == 400000)
        << "type " << t << " should be entry " << i << ": " << types[t].width << "x" << types[t].height;
  }

  // A size with a side the converter cannot produce is left out, with one line.
  WriteTextFile(file, "[CONFIG]\nFILTER.OUTPUT.W.01=16385\nFILTER.OUTPUT.H.01=8\n"
                      "FILTER.OUTPUT.W.02=16384\nFILTER.OUTPUT.H.02=8\n");
  LogCapture log;
  const FilterEntry tall = MakeVideoEntry(kVideoPinCameras, 25.0, 64, 16385);
  const std::vector<OutputFormat> large = Describe(BuildVideoOffer(HostInfo{}, tall, 25.0, 30.0, file.c_str()).types);
  ASSERT_EQ(4u, large.size());
  for (const OutputFormat& t : large) EXPECT_EQ(16384u, t.width);
  EXPECT_EQ(2u, log.Count(L"not offered"));
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
  ASSERT_EQ(6u, types.size());  // two YV12 at the producer's rate, then the file's size
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
    const FilterEntry entry = MakeVideoEntry(kVideoPinCameras + 12, 30.0, 640, 480);
    const Camera camera = Camera::Create(kVideoPinCameras + 12, &entry);
    ASSERT_TRUE(camera.pin);
    EXPECT_EQ(host.isEdius ? 14u : 4u, camera.pin->OfferedTypes().size());
    EXPECT_EQ(host.isEdius ? 0u : 1u, camera.pin->SupportedSizes().size());
    camera.pin->SetSubType(MEDIASUBTYPE_RGB32);
    const CMediaType other = VideoType(MEDIASUBTYPE_RGB24, 320, 240, 30.0);
    EXPECT_EQ(host.isEdius ? S_FALSE : S_OK, camera.pin->CheckMediaType(&other));
  }
  CoUninitialize();
}

}  // namespace
}  // namespace telvor::test
