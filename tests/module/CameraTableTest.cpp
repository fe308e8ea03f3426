#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <memory>
#include <string>

#include "module/CameraTable.h"
#include "module/ClassObjects.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"

namespace {

using telvor::test::LogCapture;
using telvor::test::TempDir;
using telvor::test::UniqueName;
using telvor::test::WriteTextFile;

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

class CameraTableBuild : public ::testing::Test {
 protected:
  CameraTableBuild() : path_(dir_.File(UniqueName(L"table") + L".INI")), tables_(std::make_unique<CameraTables>()) {}

  int Build(const std::string& config) {
    WriteTextFile(path_, "[CONFIG]\r\n" + config);
    return BuildCameraTable(path_.c_str(), tables_.get(), templates_);
  }
  const FilterEntry& Entry(int index, MediaKind kind) const { return tables_->filters.At(index, kind); }

  TempDir dir_;
  std::wstring path_;
  std::unique_ptr<CameraTables> tables_;
  CFactoryTemplate templates_[kMaxTemplates] = {};
};

std::string FullCamera(int number) {
  const std::string n = (number < 10 ? "0" : "") + std::to_string(number);
  return "FILTER.VIDEO.NAME." + n + "=Video " + std::to_string(number) + "\r\nFILTER.AUDIO.NAME." + n + "=Audio " +
         std::to_string(number) + "\r\n";
}

TEST(CameraIdentifiers, LastByteIsTheCameraIndex) {
  EXPECT_EQ(GuidText(VideoFilterId(0)), L"{992DFFB6-575E-47D4-A9CE-D763D7FF3B00}");
  EXPECT_EQ(GuidText(AudioFilterId(5)), L"{992DFFB6-575E-47D4-A9CE-D763D7FF3C05}");
  EXPECT_EQ(GuidText(PropertyPageId(63)), L"{40E573F2-0DA5-41D6-818B-0E1F9387DC3F}");
  EXPECT_TRUE(IsEqualGUID(VideoFilterId(64), GUID_NULL));
  EXPECT_TRUE(IsEqualGUID(PropertyPageId(-1), GUID_NULL));
}

TEST_F(CameraTableBuild, ThreeFullCamerasGiveNineTemplatesAndSixSetups) {
  ASSERT_EQ(Build("FILTERS=3\r\n" + FullCamera(1) + FullCamera(2) + FullCamera(3)), 9);
  ASSERT_EQ(tables_->setupCount, 6);
  for (int index = 0; index < 3; ++index) {
    const CFactoryTemplate* t = &templates_[index * 3];
    const std::wstring number = std::to_wstring(index + 1);
    EXPECT_EQ(std::wstring(t[0].m_Name), L"Video " + number);
    EXPECT_TRUE(IsEqualGUID(*t[0].m_ClsID, VideoFilterId(index)));
    EXPECT_EQ(t[0].m_lpfnNew, CameraFilterCreator(index, MediaKind::kVideo));
    EXPECT_EQ(t[0].m_pSetup, &tables_->setups[index * 2]);
    EXPECT_EQ(std::wstring(t[1].m_Name), L"Audio " + number);
    EXPECT_TRUE(IsEqualGUID(*t[1].m_ClsID, AudioFilterId(index)));
    EXPECT_EQ(t[1].m_lpfnNew, CameraFilterCreator(index, MediaKind::kAudio));
    EXPECT_EQ(t[1].m_pSetup, &tables_->setups[index * 2 + 1]);
    // The page carries the camera's video name and no setup record.
    EXPECT_EQ(std::wstring(t[2].m_Name), L"Video " + number);
    EXPECT_TRUE(IsEqualGUID(*t[2].m_ClsID, PropertyPageId(index)));
    EXPECT_EQ(t[2].m_lpfnNew, PropertyPageCreator(index));
    EXPECT_EQ(t[2].m_pSetup, nullptr);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(t[k].m_lpfnInit, nullptr);
  }
}

TEST_F(CameraTableBuild, SetupRecordsRegisterOneOutputPinUnderTheKindsCategory) {
  ASSERT_EQ(Build("FILTER.VIDEO.NAME.01=Cam\r\nFILTER.VIDEO.PINNAME.01=Capture\r\nFILTER.AUDIO.NAME.01=Mic\r\n"), 3);
  const FilterSetup& video = tables_->setups[0];
  const FilterSetup& audio = tables_->setups[1];
  EXPECT_EQ(video.clsid, &Entry(0, MediaKind::kVideo).clsid);
  EXPECT_EQ(video.name, Entry(0, MediaKind::kVideo).name);
  EXPECT_EQ(video.merit, 0x200000u);
  EXPECT_TRUE(IsEqualGUID(*video.category, CLSID_VideoInputDeviceCategory));
  EXPECT_TRUE(IsEqualGUID(*audio.category, CLSID_AudioInputDeviceCategory));
  // Registered as "Output" whatever the configured pin name says.
  EXPECT_STREQ(Entry(0, MediaKind::kVideo).videoPinName, L"Capture");
  ASSERT_EQ(video.pinCount, 1u);
  EXPECT_STREQ(video.pins->strName, L"Output");
  EXPECT_TRUE(IsEqualGUID(*video.pins->lpMediaType[0].clsMinorType, GUID_NULL));
  EXPECT_TRUE(IsEqualGUID(*audio.pins->lpMediaType[0].clsMinorType, MEDIASUBTYPE_PCM));
}

TEST_F(CameraTableBuild, FilterCountIsCappedAtSixtyFourAndNothingBelowOne) {
  std::string all = "FILTERS=100\r\n";
  for (int number = 1; number <= 66; ++number) all += FullCamera(number);
  {
    LogCapture capture;
    EXPECT_EQ(Build(all), 64 * 3);
    EXPECT_EQ(tables_->setupCount, 128);
    EXPECT_EQ(capture.Count(L"REGISTER VIDEO FILTER 64 : Video 64"), 1u);
    EXPECT_EQ(capture.Count(L"FILTER 65"), 0u);
  }
  tables_ = std::make_unique<CameraTables>();
  EXPECT_EQ(Build(FullCamera(1) + FullCamera(2)), 3);  // no count: one camera
  for (const char* count : {"FILTERS=0\r\n", "FILTERS=-4\r\n"}) {
    tables_ = std::make_unique<CameraTables>();
    LogCapture capture;
    EXPECT_EQ(Build(count + FullCamera(1)), 0) << count;
    EXPECT_EQ(tables_->setupCount, 0);
    EXPECT_EQ(Entry(0, MediaKind::kVideo).name[0], L'\0');
    EXPECT_TRUE(capture.Lines().empty());
  }
}

TEST_F(CameraTableBuild, CamerasOfOneKindKeepTheirOwnEntriesAndIdentifiers) {
  ASSERT_EQ(Build("FILTERS=3\r\nFILTER.AUDIO.NAME.01=Mic only\r\nFILTER.VIDEO.NAME.02=Cam only\r\n" + FullCamera(3)),
            6);
  // Audio-only camera 0: no page; video-only camera 1: video and page.
  EXPECT_TRUE(IsEqualGUID(*templates_[0].m_ClsID, AudioFilterId(0)));
  EXPECT_TRUE(IsEqualGUID(*templates_[1].m_ClsID, VideoFilterId(1)));
  EXPECT_TRUE(IsEqualGUID(*templates_[2].m_ClsID, PropertyPageId(1)));
  EXPECT_TRUE(IsEqualGUID(*templates_[3].m_ClsID, VideoFilterId(2)));
  EXPECT_TRUE(IsEqualGUID(*templates_[4].m_ClsID, AudioFilterId(2)));
  EXPECT_TRUE(IsEqualGUID(*templates_[5].m_ClsID, PropertyPageId(2)));

  const FilterEntry& audio = Entry(0, MediaKind::kAudio);
  EXPECT_STREQ(audio.name, L"Mic only");
  EXPECT_EQ(audio.index, 0);
  EXPECT_TRUE(IsEqualGUID(audio.subtype, MEDIASUBTYPE_PCM));
  EXPECT_STREQ(audio.audioPinName, L"");
  EXPECT_EQ(audio.fps, 0.0);
  EXPECT_EQ(Entry(0, MediaKind::kVideo).name[0], L'\0');
  EXPECT_TRUE(IsEqualGUID(tables_->propertyPageIds[0], GUID_NULL));
  EXPECT_EQ(Entry(1, MediaKind::kAudio).name[0], L'\0');
  EXPECT_EQ(Entry(1, MediaKind::kVideo).index, 1);
  EXPECT_EQ(Entry(2, MediaKind::kAudio).index, 2);
}

TEST_F(CameraTableBuild, VideoSettingsAndTheirDefaults) {
  ASSERT_EQ(Build("FILTERS=5\r\n"
                  "FILTER.VIDEO.NAME.01=A\r\n"
                  "FILTER.VIDEO.NAME.02=B\r\nFILTER.COLORSPACE.02=RGB24\r\nFILTER.FPS.02=25\r\n"
                  "FILTER.DEFAULT.OUTPUT.W.02=1280\r\nFILTER.DEFAULT.OUTPUT.H.02=720\r\nFILTER.SCALE.STYLE.02=2\r\n"
                  "FILTER.VIDEO.NAME.03=C\r\nFILTER.COLORSPACE.03=yuy2\r\nFILTER.FPS.03=29.97 fps\r\n"
                  "FILTER.VIDEO.NAME.04=D\r\nFILTER.COLORSPACE.04=RGB32\r\nFILTER.FPS.04=fast\r\n"
                  "FILTER.VIDEO.NAME.05=E\r\nFILTER.COLORSPACE.05=YUY2\r\n"),
            10);
  const FilterEntry& a = Entry(0, MediaKind::kVideo);
  EXPECT_TRUE(IsEqualGUID(a.subtype, MEDIASUBTYPE_YV12));
  EXPECT_EQ(a.fps, 30.0);
  EXPECT_EQ(a.defaultWidth, 0);
  EXPECT_EQ(a.scaleStyle, 0);
  EXPECT_STREQ(a.videoPinName, L"Output");
  const FilterEntry& b = Entry(1, MediaKind::kVideo);
  EXPECT_TRUE(IsEqualGUID(b.subtype, MEDIASUBTYPE_RGB24));
  EXPECT_EQ(b.fps, 25.0);
  EXPECT_EQ(b.defaultWidth, 1280);
  EXPECT_EQ(b.defaultHeight, 720);
  EXPECT_EQ(b.scaleStyle, 2);
  EXPECT_TRUE(IsEqualGUID(Entry(2, MediaKind::kVideo).subtype, MEDIASUBTYPE_YV12));  // case matters
  EXPECT_DOUBLE_EQ(Entry(2, MediaKind::kVideo).fps, 29.97);
  EXPECT_TRUE(IsEqualGUID(Entry(3, MediaKind::kVideo).subtype, MEDIASUBTYPE_RGB32));
  EXPECT_EQ(Entry(3, MediaKind::kVideo).fps, 0.0);
  EXPECT_TRUE(IsEqualGUID(Entry(4, MediaKind::kVideo).subtype, MEDIASUBTYPE_YUY2));
}

TEST_F(CameraTableBuild, LogsEachFilterItsColourSpaceAndTheCameraNumber) {
  LogCapture capture;
  ASSERT_EQ(Build("FILTERS=10\r\nFILTER.VIDEO.NAME.10=Ten\r\nFILTER.COLORSPACE.10=yuy2\r\n"
                  "FILTER.AUDIO.NAME.10=Ten Mic\r\n"),
            3);
  std::vector<std::wstring> lines;
  for (const auto& line : capture.Lines()) {
    EXPECT_EQ(line.sink, LogCapture::Sink::kInfo);
    lines.push_back(LogCapture::Strip(line.text));
  }
  const std::vector<std::wstring> expected = {
      L"[TELVOR] REGISTER VIDEO FILTER 10 : Ten", L"[TELVOR] COLORSPACE 10 : YV12",
      L"[TELVOR] Using virtual camera 10",        L"[TELVOR] REGISTER AUDIO FILTER 10 : Ten Mic",
      L"[TELVOR] Using virtual camera 10",
  };
  EXPECT_EQ(lines, expected);
}

TEST_F(CameraTableBuild, OverlongNamesAreCutToTheField) {
  ASSERT_EQ(Build("FILTER.VIDEO.NAME.01=" + std::string(3000, 'n') + "\r\nFILTER.VIDEO.PINNAME.01=" +
                  std::string(3000, 'p') + "\r\n"),
            2);
  EXPECT_EQ(std::wstring(Entry(0, MediaKind::kVideo).name), std::wstring(kFilterNameChars - 1, L'n'));
  EXPECT_EQ(std::wstring(Entry(0, MediaKind::kVideo).videoPinName), std::wstring(kFilterNameChars - 1, L'p'));
}

TEST_F(CameraTableBuild, HugeOrWordyCountsStayWithinTheTable) {
  std::string cameras;
  for (int number = 1; number <= 66; ++number) cameras += FullCamera(number);
  const struct {
    const char* line;
    int templates;
  } cases[] = {{"FILTERS=99999999999999999999\r\n", 192}, {"FILTERS=many\r\n", 0}, {"FILTERS=2.5\r\n", 6}};
  for (const auto& c : cases) {
    tables_ = std::make_unique<CameraTables>();
    EXPECT_EQ(Build(c.line + cameras), c.templates) << c.line;
  }
}

}  // namespace
