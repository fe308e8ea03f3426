#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <memory>
#include <set>

#include "filter/CameraFilterFactory.h"
#include "module/ClassObjects.h"
#include "module/ModuleStartup.h"
#include "propertypage/PropertyPageFactory.h"

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

// Per camera in order: video filter, audio filter, and with video a page
// carrying the video name and no setup record. Cameras past the count read
// give nothing.
TEST(ClassTemplates, FollowTheCamerasAndTheirKindsInOrder) {
  auto filters = std::make_unique<FilterTable>();
  auto records = std::make_unique<ClassRecords>();
  CFactoryTemplate templates[kMaxTemplates] = {};
  const struct { int index; MediaKind kind; const wchar_t* name; } named[] = {
      {0, kAudio, L"Mic only"}, {1, kVideo, L"Cam only"}, {2, kVideo, L"Video 3"}, {2, kAudio, L"Audio 3"},
      {3, kVideo, L"Video 4"},  {3, kAudio, L"Audio 4"},  {4, kVideo, L"Unread"}};
  for (const auto& n : named) {
    FilterEntry& entry = filters->At(n.index, n.kind);
    lstrcpynW(entry.name, n.name, kFilterNameChars);
    entry.index = n.index;
    entry.clsid = n.kind == kVideo ? VideoFilterId(n.index) : AudioFilterId(n.index);
  }
  ASSERT_EQ(BuildClassTemplates(*filters, 4, records.get(), templates), 9);
  ASSERT_EQ(records->setupCount, 6);
  enum { kV, kA, kPage };
  const struct { int index, kind; const wchar_t* name; } expected[] = {
      {0, kA, L"Mic only"}, {1, kV, L"Cam only"}, {1, kPage, L"Cam only"},
      {2, kV, L"Video 3"},  {2, kA, L"Audio 3"},  {2, kPage, L"Video 3"},
      {3, kV, L"Video 4"},  {3, kA, L"Audio 4"},  {3, kPage, L"Video 4"}};
  int setup = 0;
  for (int t = 0; t < 9; ++t) {
    SCOPED_TRACE(t);
    const int index = expected[t].index, kind = expected[t].kind;
    const CFactoryTemplate& got = templates[t];
    EXPECT_STREQ(got.m_Name, expected[t].name);
    const GUID id = kind == kV ? VideoFilterId(index) : kind == kA ? AudioFilterId(index) : PropertyPageId(index);
    EXPECT_TRUE(IsEqualGUID(*got.m_ClsID, id));
    EXPECT_EQ(got.m_lpfnNew, kind == kPage ? PropertyPageCreator(index) : CameraFilterCreator(index, MediaKind(kind)));
    EXPECT_FALSE(got.m_lpfnInit);
    if (kind == kPage) {
      EXPECT_EQ(got.m_pSetup, nullptr);
      continue;
    }
    const FilterSetup& record = records->setups[setup++];
    EXPECT_EQ(got.m_pSetup, &record);
    EXPECT_TRUE(record.clsid == got.m_ClsID && record.name == got.m_Name && record.pinCount == 1);
    EXPECT_EQ(record.category, kind == kV ? &CLSID_VideoInputDeviceCategory : &CLSID_AudioInputDeviceCategory);
  }
  EXPECT_TRUE(IsEqualGUID(records->propertyPageIds[0], GUID_NULL));
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
