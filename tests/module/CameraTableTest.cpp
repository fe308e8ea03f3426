#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <memory>
#include <set>
#include <string>

#include "module/CameraTable.h"
#include "filter/CameraFilterFactory.h"
#include "module/ClassObjects.h"
#include "propertypage/PropertyPageFactory.h"
#include "support/WinTestSupport.h"

namespace {

// What the last creation function passed on to the filter or page factory.
struct FactoryCall {
  bool filter;  // false: property page
  LPUNKNOWN outer;
  GUID mediaKind;
  int cameraIndex;
  const FilterEntry* entry;
  HRESULT* hr;
} g_last;

}  // namespace

// Stand-ins for the real factories, so the test sees exactly what each creation function passes on.
CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& kind, UINT camera, const FilterEntry* entry, const CameraSite&,
                          HRESULT* hr) {
  g_last = {true, outer, kind, static_cast<int>(camera), entry, hr};
  return nullptr;
}

CUnknown* NewPropertyPage(LPUNKNOWN outer, int camera, HRESULT* hr) {
  g_last = {false, outer, GUID_NULL, camera, nullptr, hr};
  return nullptr;
}

namespace {

constexpr MediaKind kVideo = MediaKind::kVideo;
constexpr MediaKind kAudio = MediaKind::kAudio;

class CameraTableBuild : public ::testing::Test {
 protected:
  int Build(const std::string& config) {
    tables_ = std::make_unique<CameraTables>();
    const std::wstring path = dir_.File(telvor::test::UniqueName(L"table") + L".INI");
    telvor::test::WriteTextFile(path, "[CONFIG]\r\n" + config);
    return BuildCameraTable(path.c_str(), tables_.get(), templates_);
  }
  const FilterEntry& Entry(int index, MediaKind kind) const { return tables_->filters.At(index, kind); }

  telvor::test::TempDir dir_;
  std::unique_ptr<CameraTables> tables_;
  CFactoryTemplate templates_[kMaxTemplates] = {};
};

std::string FullCameras(int first, int last) {
  std::string lines;
  for (int number = first; number <= last; ++number) {
    const std::string n = (number < 10 ? "0" : "") + std::to_string(number), i = std::to_string(number);
    lines += "FILTER.VIDEO.NAME." + n + "=Video " + i + "\r\nFILTER.AUDIO.NAME." + n + "=Audio " + i + "\r\n";
  }
  return lines;
}

// Per camera in order: video filter, audio filter, and with video a page
// carrying the video name and no setup record. A camera of one kind leaves
// the other kind's entry empty.
TEST_F(CameraTableBuild, TemplatesFollowTheCamerasAndTheirKindsInOrder) {
  ASSERT_EQ(Build("FILTERS=4\r\nFILTER.AUDIO.NAME.01=Mic only\r\nFILTER.VIDEO.NAME.02=Cam only\r\n" + FullCameras(3, 4)),
            9);
  ASSERT_EQ(tables_->setupCount, 6);
  enum { kV, kA, kPage };
  const struct { int index, kind; const wchar_t* name; } expected[] = {
      {0, kA, L"Mic only"}, {1, kV, L"Cam only"}, {1, kPage, L"Cam only"},
      {2, kV, L"Video 3"},  {2, kA, L"Audio 3"},  {2, kPage, L"Video 3"},
      {3, kV, L"Video 4"},  {3, kA, L"Audio 4"},  {3, kPage, L"Video 4"}};
  int setup = 0;
  for (int t = 0; t < 9; ++t) {
    SCOPED_TRACE(t);
    const int index = expected[t].index, kind = expected[t].kind;
    const CFactoryTemplate& got = templates_[t];
    EXPECT_STREQ(got.m_Name, expected[t].name);
    const GUID id = kind == kV ? VideoFilterId(index) : kind == kA ? AudioFilterId(index) : PropertyPageId(index);
    EXPECT_TRUE(IsEqualGUID(*got.m_ClsID, id));
    EXPECT_EQ(got.m_lpfnNew, kind == kPage ? PropertyPageCreator(index) : CameraFilterCreator(index, MediaKind(kind)));
    EXPECT_EQ(got.m_pSetup, kind == kPage ? nullptr : &tables_->setups[setup++]);
    EXPECT_FALSE(got.m_lpfnInit);
  }
  EXPECT_TRUE(IsEqualGUID(Entry(0, kAudio).subtype, MEDIASUBTYPE_PCM));
  EXPECT_EQ(Entry(0, kVideo).name[0], L'\0');
  EXPECT_TRUE(IsEqualGUID(tables_->propertyPageIds[0], GUID_NULL));
  EXPECT_EQ(Entry(1, kAudio).name[0], L'\0');
}

TEST_F(CameraTableBuild, FilterCountIsCappedAtSixtyFourAndNothingBelowOne) {
  const std::string cameras = FullCameras(1, 66);
  const struct { const char* line; int templates; } cases[] = {
      {"FILTERS=100\r\n", 192}, {"", 3} /* no count: one camera */, {"FILTERS=0\r\n", 0}, {"FILTERS=-4\r\n", 0},
      {"FILTERS=99999999999999999999\r\n", 192}, {"FILTERS=many\r\n", 0}, {"FILTERS=2.5\r\n", 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(Build(c.line + cameras), c.templates);
    EXPECT_EQ(tables_->setupCount, c.templates * 2 / 3);
    EXPECT_EQ(Entry(0, kVideo).name[0] == L'\0', c.templates == 0);
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
            10);
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

// The creation functions are generated per camera and kind; each must pass on its own.
TEST(CreationFunctions, EachMemberPassesItsOwnCameraAndKindAndNoneExistsOutsideTheRange) {
  std::set<LPFNNewCOMObject> distinct;
  LPUNKNOWN outer = reinterpret_cast<LPUNKNOWN>(0x1234);
  HRESULT hr = S_OK;
  for (int index = 0; index < kMaxCameras; ++index) {
    SCOPED_TRACE(index);
    for (MediaKind kind : {MediaKind::kVideo, MediaKind::kAudio}) {
      LPFNNewCOMObject create = CameraFilterCreator(index, kind);
      ASSERT_NE(create, nullptr);
      distinct.insert(create);
      EXPECT_EQ(create(outer, &hr), nullptr);
      EXPECT_TRUE(g_last.filter && g_last.outer == outer && g_last.hr == &hr && g_last.cameraIndex == index);
      EXPECT_TRUE(IsEqualGUID(g_last.mediaKind, kind == MediaKind::kVideo ? MEDIATYPE_Video : MEDIATYPE_Audio));
      EXPECT_EQ(g_last.entry, &GetFilterEntry(index, kind));
    }
    LPFNNewCOMObject page = PropertyPageCreator(index);
    ASSERT_NE(page, nullptr);
    distinct.insert(page);
    page(outer, &hr);
    EXPECT_TRUE(!g_last.filter && g_last.cameraIndex == index);
  }
  EXPECT_EQ(distinct.size(), 192u);
  EXPECT_EQ(hr, S_OK);  // the creation functions themselves leave the result alone
  EXPECT_TRUE(!CameraFilterCreator(-1, MediaKind::kVideo) && !CameraFilterCreator(64, MediaKind::kAudio));
  EXPECT_EQ(PropertyPageCreator(64), nullptr);
  EXPECT_STREQ(GetFilterEntry(64, MediaKind::kVideo).name, L"");
  EXPECT_STREQ(GetFilterEntry(-1, MediaKind::kAudio).name, L"");
}

}  // namespace
