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
} g_lastFactoryCall;

}  // namespace

// Stand-ins for the real factories, so the test sees exactly what each creation function passes on.
CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry,
                          HRESULT* hr) {
  g_lastFactoryCall = {true, outer, mediaKind, static_cast<int>(cameraIndex), entry, hr};
  return nullptr;
}

CUnknown* NewPropertyPage(LPUNKNOWN outer, int cameraIndex, HRESULT* hr) {
  g_lastFactoryCall = {false, outer, GUID_NULL, cameraIndex, nullptr, hr};
  return nullptr;
}

namespace {

// The creation functions are generated per camera and kind; each must pass on its own.
TEST(CreationFunctions, EachMemberPassesItsOwnCameraAndKindAndNoneExistsOutsideTheRange) {
  std::set<LPFNNewCOMObject> distinct;
  LPUNKNOWN outer = reinterpret_cast<LPUNKNOWN>(0x1234);
  HRESULT hr = S_OK;
  for (int index = 0; index < kMaxCameras; ++index) {
    for (MediaKind kind : {MediaKind::kVideo, MediaKind::kAudio}) {
      LPFNNewCOMObject create = CameraFilterCreator(index, kind);
      ASSERT_NE(create, nullptr);
      distinct.insert(create);
      EXPECT_EQ(create(outer, &hr), nullptr);
      const auto& call = g_lastFactoryCall;
      EXPECT_TRUE(call.filter && call.outer == outer && call.hr == &hr && call.cameraIndex == index);
      EXPECT_TRUE(IsEqualGUID(call.mediaKind, kind == MediaKind::kVideo ? MEDIATYPE_Video : MEDIATYPE_Audio));
      EXPECT_EQ(call.entry, &GetFilterEntry(index, kind));
    }
    LPFNNewCOMObject page = PropertyPageCreator(index);
    ASSERT_NE(page, nullptr);
    distinct.insert(page);
    page(outer, &hr);
    EXPECT_TRUE(!g_lastFactoryCall.filter && g_lastFactoryCall.cameraIndex == index);
  }
  EXPECT_EQ(distinct.size(), 192u);
  EXPECT_EQ(hr, S_OK);  // the creation functions themselves leave the result alone

  EXPECT_EQ(CameraFilterCreator(-1, MediaKind::kVideo), nullptr);
  EXPECT_EQ(CameraFilterCreator(64, MediaKind::kAudio), nullptr);
  EXPECT_EQ(PropertyPageCreator(64), nullptr);
  EXPECT_STREQ(GetFilterEntry(64, MediaKind::kVideo).name, L"");
  EXPECT_STREQ(GetFilterEntry(-1, MediaKind::kAudio).name, L"");
}

}  // namespace
