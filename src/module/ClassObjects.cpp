#include "module/ClassObjects.h"

#include <dshow.h>

#include <array>
#include <utility>

#include "filter/CameraFilterFactory.h"
#include "propertypage/PropertyPageFactory.h"

namespace {

template <int Index, MediaKind Kind>
CUnknown* CreateCameraFilter(LPUNKNOWN outer, HRESULT* hr) {
  const GUID& mediaKind = Kind == MediaKind::kVideo ? MEDIATYPE_Video : MEDIATYPE_Audio;
  return NewCameraFilter(outer, mediaKind, Index, &GetFilterEntry(Index, Kind), ProcessCameraSite(), hr);
}

template <int Index>
CUnknown* CreatePropertyPage(LPUNKNOWN outer, HRESULT* hr) {
  return NewPropertyPage(outer, Index, hr);
}

template <MediaKind Kind, int... Index>
constexpr std::array<LPFNNewCOMObject, kMaxCameras> FilterCreators(std::integer_sequence<int, Index...>) {
  return {&CreateCameraFilter<Index, Kind>...};
}

template <int... Index>
constexpr std::array<LPFNNewCOMObject, kMaxCameras> PageCreators(std::integer_sequence<int, Index...>) {
  return {&CreatePropertyPage<Index>...};
}

constexpr auto kVideoFilterCreators = FilterCreators<MediaKind::kVideo>(std::make_integer_sequence<int, kMaxCameras>());
constexpr auto kAudioFilterCreators = FilterCreators<MediaKind::kAudio>(std::make_integer_sequence<int, kMaxCameras>());
constexpr auto kPropertyPageCreators = PageCreators(std::make_integer_sequence<int, kMaxCameras>());

bool ValidIndex(int cameraIndex) { return cameraIndex >= 0 && cameraIndex < kMaxCameras; }

}  // namespace

LPFNNewCOMObject CameraFilterCreator(int cameraIndex, MediaKind kind) {
  if (!ValidIndex(cameraIndex)) return nullptr;
  return kind == MediaKind::kVideo ? kVideoFilterCreators[cameraIndex] : kAudioFilterCreators[cameraIndex];
}

LPFNNewCOMObject PropertyPageCreator(int cameraIndex) {
  return ValidIndex(cameraIndex) ? kPropertyPageCreators[cameraIndex] : nullptr;
}
