#include "module/ClassObjects.h"

#include <dshow.h>

#include <array>
#include <utility>

#include "filter/CameraFilterFactory.h"
#include "module/ModuleStartup.h"
#include "propertypage/PropertyPageFactory.h"

namespace {

constexpr DWORD kCameraMerit = 0x200000;  // MERIT_DO_NOT_USE: only capture-device enumeration offers the cameras

// The registered pin is "Output" for both kinds whatever the configured pin
// names are. REGFILTERPINS wants a non-const name.
wchar_t kRegisteredPinName[] = L"Output";

const REGPINTYPES kVideoPinTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const REGPINTYPES kAudioPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};

const REGFILTERPINS kVideoPin = {kRegisteredPinName, FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoPinTypes};
const REGFILTERPINS kAudioPin = {kRegisteredPinName, FALSE, TRUE, FALSE, TRUE, &GUID_NULL, nullptr, 1, kAudioPinTypes};

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

class TemplateBuilder {
 public:
  TemplateBuilder(ClassRecords* records, CFactoryTemplate* templates) : records_(records), templates_(templates) {}

  void AddCamera(const FilterTable& filters, int index) {
    const FilterEntry& video = filters.At(index, MediaKind::kVideo);
    if (video.name[0]) AddFilter(video, MediaKind::kVideo);
    const FilterEntry& audio = filters.At(index, MediaKind::kAudio);
    if (audio.name[0]) AddFilter(audio, MediaKind::kAudio);
    if (!video.name[0]) return;
    records_->propertyPageIds[index] = PropertyPageId(index);
    templates_[count_++] = {video.name, &records_->propertyPageIds[index], PropertyPageCreator(index), nullptr,
                            nullptr};
  }
  int Count() const { return count_; }

 private:
  void AddFilter(const FilterEntry& entry, MediaKind kind) {
    const bool video = kind == MediaKind::kVideo;
    FilterSetup& setup = records_->setups[records_->setupCount++];
    setup = {&entry.clsid,
             entry.name,
             kCameraMerit,
             1,
             video ? &kVideoPin : &kAudioPin,
             video ? &CLSID_VideoInputDeviceCategory : &CLSID_AudioInputDeviceCategory};
    templates_[count_++] = {entry.name, &entry.clsid, CameraFilterCreator(entry.index, kind), nullptr, &setup};
  }

  ClassRecords* records_;
  CFactoryTemplate* templates_;
  int count_ = 0;
};

}  // namespace

int BuildClassTemplates(const FilterTable& filters, int cameraCount, ClassRecords* records,
                        CFactoryTemplate* templates) {
  TemplateBuilder builder(records, templates);
  for (int index = 0; index < cameraCount && index < kMaxCameras; ++index) builder.AddCamera(filters, index);
  return builder.Count();
}

LPFNNewCOMObject CameraFilterCreator(int cameraIndex, MediaKind kind) {
  if (!ValidIndex(cameraIndex)) return nullptr;
  return kind == MediaKind::kVideo ? kVideoFilterCreators[cameraIndex] : kAudioFilterCreators[cameraIndex];
}

LPFNNewCOMObject PropertyPageCreator(int cameraIndex) {
  return ValidIndex(cameraIndex) ? kPropertyPageCreators[cameraIndex] : nullptr;
}
