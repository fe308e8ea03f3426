#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <memory>
#include <string>

#include "settings/CameraTable.h"
#include "support/WinTestSupport.h"

namespace {

constexpr MediaKind kVideo = MediaKind::kVideo;
constexpr MediaKind kAudio = MediaKind::kAudio;

class CameraTableBuild : public ::testing::Test {
 protected:
  int Build(const std::string& config) {
    table_ = std::make_unique<FilterTable>();
    const std::wstring path = dir_.File(telvor::test::UniqueName(L"table") + L".INI");
    telvor::test::WriteTextFile(path, "[CONFIG]\r\n" + config);
    return BuildCameraTable(path.c_str(), table_.get());
  }
  const FilterEntry& Entry(int index, MediaKind kind) const { return table_->At(index, kind); }

  telvor::test::TempDir dir_;
  std::unique_ptr<FilterTable> table_;
};

std::string FullCameras(int first, int last) {
  std::string lines;
  for (int number = first; number <= last; ++number) {
    const std::string n = (number < 10 ? "0" : "") + std::to_string(number), i = std::to_string(number);
    lines += "FILTER.VIDEO.NAME." + n + "=Video " + i + "\r\nFILTER.AUDIO.NAME." + n + "=Audio " + i + "\r\n";
  }
  return lines;
}

// Each camera has the kinds it names, found by its index and kind, with its
// own class identifier; a camera of one kind leaves the other kind's entry empty.
TEST_F(CameraTableBuild, EntriesFollowTheCamerasAndTheirKinds) {
  ASSERT_EQ(Build("FILTERS=4\r\nFILTER.AUDIO.NAME.01=Mic only\r\nFILTER.VIDEO.NAME.02=Cam only\r\n" + FullCameras(3, 4)),
            4);
  const struct { int index; MediaKind kind; const wchar_t* name; } expected[] = {
      {0, kVideo, L""},        {0, kAudio, L"Mic only"}, {1, kVideo, L"Cam only"}, {1, kAudio, L""},
      {2, kVideo, L"Video 3"}, {2, kAudio, L"Audio 3"},  {3, kVideo, L"Video 4"},  {3, kAudio, L"Audio 4"}};
  for (const auto& e : expected) {
    SCOPED_TRACE(e.index * 2 + static_cast<int>(e.kind));
    const FilterEntry& got = Entry(e.index, e.kind);
    EXPECT_STREQ(got.name, e.name);
    if (!e.name[0]) continue;
    EXPECT_EQ(got.index, e.index);
    EXPECT_TRUE(IsEqualGUID(got.clsid, e.kind == kVideo ? VideoFilterId(e.index) : AudioFilterId(e.index)));
  }
  EXPECT_TRUE(IsEqualGUID(Entry(0, kAudio).subtype, MEDIASUBTYPE_PCM));
  EXPECT_STREQ(Entry(4, kVideo).name, L"");
}

TEST_F(CameraTableBuild, FilterCountIsCappedAtSixtyFourAndNothingBelowOne) {
  const std::string cameras = FullCameras(1, 66);
  const struct { const char* line; int cameras; } cases[] = {
      {"FILTERS=100\r\n", 64}, {"", 1} /* no count: one camera */, {"FILTERS=0\r\n", 0}, {"FILTERS=-4\r\n", 0},
      {"FILTERS=99999999999999999999\r\n", 64}, {"FILTERS=many\r\n", 0}, {"FILTERS=2.5\r\n", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Build(c.line + cameras), c.cameras);
    int present = 0;
    for (const FilterEntry& entry : table_->entries) present += entry.name[0] != L'\0';
    EXPECT_EQ(present, 2 * c.cameras);
    EXPECT_EQ(Entry(0, kVideo).name[0] == L'\0', c.cameras == 0);
  }
}

// Camera 1's overlong name and pin name are cut to the field.
TEST_F(CameraTableBuild, VideoSettingsAndTheirDefaults) {
  ASSERT_EQ(Build("FILTERS=5\r\nFILTER.VIDEO.NAME.01=" + std::string(3000, 'n') + "\r\nFILTER.VIDEO.PINNAME.01=" +
                  std::string(3000, 'p') + "\r\n"
                  "FILTER.VIDEO.NAME.02=B\r\nFILTER.COLORSPACE.02=RGB24\r\nFILTER.FPS.02=25\r\n"
                  "FILTER.DEFAULT.OUTPUT.W.02=1280\r\nFILTER.DEFAULT.OUTPUT.H.02=720\r\nFILTER.SCALE.STYLE.02=2\r\n"
                  "FILTER.VIDEO.NAME.03=C\r\nFILTER.COLORSPACE.03=yuy2\r\nFILTER.FPS.03=29.97 fps\r\n"
                  "FILTER.VIDEO.NAME.04=D\r\nFILTER.COLORSPACE.04=RGB32\r\nFILTER.FPS.04=fast\r\n"
                  "FILTER.VIDEO.NAME.05=E\r\nFILTER.COLORSPACE.05=YUY2\r\n"),
            5);
  const struct { GUID subtype; double fps; int width, height, style; } expected[] = {
      {MEDIASUBTYPE_YV12, 30.0, 0, 0, 0},  {MEDIASUBTYPE_RGB24, 25.0, 1280, 720, 2},
      {MEDIASUBTYPE_YV12, 29.97, 0, 0, 0},  // the colour space's case matters
      {MEDIASUBTYPE_RGB32, 0.0, 0, 0, 0},  {MEDIASUBTYPE_YUY2, 30.0, 0, 0, 0}};
  for (int index = 0; index < 5; ++index) {
    SCOPED_TRACE(index);
    const FilterEntry& e = Entry(index, kVideo);
    EXPECT_TRUE(IsEqualGUID(e.subtype, expected[index].subtype));
    EXPECT_DOUBLE_EQ(e.fps, expected[index].fps);
    EXPECT_EQ(e.defaultWidth * 10000 + e.defaultHeight, expected[index].width * 10000 + expected[index].height);
    EXPECT_EQ(e.scaleStyle, expected[index].style);
    EXPECT_EQ(std::wstring(e.videoPinName), index ? L"Output" : std::wstring(kFilterNameChars - 1, L'p'));
  }
  EXPECT_EQ(std::wstring(Entry(0, kVideo).name), std::wstring(kFilterNameChars - 1, L'n'));
}

}  // namespace
