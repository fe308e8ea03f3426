#include <gtest/gtest.h>

#include <dshow.h>

#include <set>

#include "module/ClassObjects.h"

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
CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& kind, UINT camera, const FilterEntry* entry, HRESULT* hr) {
  g_last = {true, outer, kind, static_cast<int>(camera), entry, hr};
  return nullptr;
}

CUnknown* NewPropertyPage(LPUNKNOWN outer, int camera, HRESULT* hr) {
  g_last = {false, outer, GUID_NULL, camera, nullptr, hr};
  return nullptr;
}

namespace {

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
