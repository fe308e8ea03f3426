#include "module/CameraTable.h"

#include <dshow.h>

#include <cwchar>

#include "base/Log.h"
#include "module/ClassObjects.h"
#include "module/SettingsKeys.h"
#include "module/ZentraSettings.h"

namespace {

constexpr DWORD kCameraMerit = 0x200000;  // MERIT_DO_NOT_USE: only capture-device enumeration offers the cameras

// The registered pin is "Output" for both kinds whatever the configured pin
// names are. REGFILTERPINS wants a non-const name.
wchar_t kRegisteredPinName[] = L"Output";

const REGPINTYPES kVideoPinTypes[] = {{&MEDIATYPE_Video, &GUID_NULL}};
const REGPINTYPES kAudioPinTypes[] = {{&MEDIATYPE_Audio, &MEDIASUBTYPE_PCM}};

const REGFILTERPINS kVideoPin = {kRegisteredPinName, FALSE, TRUE, FALSE, FALSE, &GUID_NULL, nullptr, 1, kVideoPinTypes};
const REGFILTERPINS kAudioPin = {kRegisteredPinName, FALSE, TRUE, FALSE, TRUE, &GUID_NULL, nullptr, 1, kAudioPinTypes};

struct ColorSpace {
  const wchar_t* name;
  const GUID* subtype;
};
// Compared exactly, case and all; anything else is YV12.
constexpr ColorSpace kColorSpaces[] = {
    {L"YUY2", &MEDIASUBTYPE_YUY2}, {L"RGB32", &MEDIASUBTYPE_RGB32}, {L"RGB24", &MEDIASUBTYPE_RGB24}};
constexpr ColorSpace kFallbackColorSpace = {L"YV12", &MEDIASUBTYPE_YV12};

const ColorSpace& MatchColorSpace(const wchar_t* text) {
  for (const ColorSpace& space : kColorSpaces) {
    if (wcscmp(text, space.name) == 0) return space;
  }
  return kFallbackColorSpace;
}

CLSID NumberedId(CLSID base, int cameraIndex) {
  if (cameraIndex < 0 || cameraIndex >= kMaxCameras) return GUID_NULL;
  base.Data4[7] = static_cast<unsigned char>(cameraIndex);
  return base;
}

void CopyCut(const wchar_t* text, wchar_t* out, size_t capacity) {
  size_t length = 0;
  while (length + 1 < capacity && text[length]) ++length;
  wmemcpy(out, text, length);
  out[length] = L'\0';
}

// The leading decimal number of a frame-rate text ("29.97", "25", "30 fps").
// Written out rather than wcstod so that a host's locale cannot change what
// the decimal point is. No number gives 0.
double LeadingDecimal(const wchar_t* text) {
  while (*text == L' ' || *text == L'\t') ++text;
  const bool negative = *text == L'-';
  if (*text == L'+' || *text == L'-') ++text;
  double value = 0.0;
  for (; *text >= L'0' && *text <= L'9'; ++text) value = value * 10.0 + (*text - L'0');
  if (*text == L'.') {
    double scale = 1.0;
    unsigned long long fraction = 0;
    for (++text; *text >= L'0' && *text <= L'9'; ++text) {
      // Beyond 18 digits the fraction no longer changes a double.
      if (scale < 1e18) {
        fraction = fraction * 10 + static_cast<unsigned>(*text - L'0');
        scale *= 10.0;
      }
    }
    value += static_cast<double>(fraction) / scale;
  }
  return negative ? -value : value;
}

class TableBuilder {
 public:
  TableBuilder(const wchar_t* iniPath, CameraTables* tables, CFactoryTemplate* templates)
      : iniPath_(iniPath), tables_(tables), templates_(templates) {}

  void AddCamera(int index) {
    const bool hasVideo = AddVideo(index);
    AddAudio(index);
    if (hasVideo) {
      tables_->propertyPageIds[index] = PropertyPageId(index);
      const FilterEntry& video = tables_->filters.At(index, MediaKind::kVideo);
      templates_[templateCount_++] = {video.name, &tables_->propertyPageIds[index], PropertyPageCreator(index),
                                      nullptr, nullptr};
    }
  }
  int TemplateCount() const { return templateCount_; }

 private:
  std::wstring Key(const wchar_t* pattern, int index) const { return settings::CameraKey(pattern, index); }

  bool AddVideo(int index) {
    wchar_t text[kConfigTextChars];
    GetConfigString(iniPath_, Key(settings::kVideoName, index).c_str(), L"", text);
    if (!text[0]) return false;
    const int number = index + 1;
    telvor::Info() << L"REGISTER VIDEO FILTER " << number << L" : " << text;
    FilterEntry& entry = tables_->filters.At(index, MediaKind::kVideo);
    CopyCut(text, entry.name, kFilterNameChars);

    GetConfigString(iniPath_, Key(settings::kColorSpace, index).c_str(), settings::kDefaultColorSpace, text);
    const ColorSpace& space = MatchColorSpace(text);
    entry.subtype = *space.subtype;
    telvor::Info() << L"COLORSPACE " << number << L" : " << space.name;

    entry.defaultWidth = GetConfigInt(Key(settings::kDefaultOutputWidth, index).c_str(), 0, iniPath_);
    entry.defaultHeight = GetConfigInt(Key(settings::kDefaultOutputHeight, index).c_str(), 0, iniPath_);
    GetConfigString(iniPath_, Key(settings::kFps, index).c_str(), settings::kDefaultFps, text);
    entry.fps = LeadingDecimal(text);
    entry.scaleStyle = GetConfigInt(Key(settings::kScaleStyle, index).c_str(), 0, iniPath_);
    GetConfigString(iniPath_, Key(settings::kVideoPinName, index).c_str(), settings::kDefaultVideoPinName,
                    entry.videoPinName);
    telvor::Info() << L"Using virtual camera " << number;

    entry.index = index;
    entry.clsid = VideoFilterId(index);
    AppendFilter(entry, MediaKind::kVideo);
    return true;
  }

  void AddAudio(int index) {
    wchar_t text[kConfigTextChars];
    GetConfigString(iniPath_, Key(settings::kAudioName, index).c_str(), L"", text);
    if (!text[0]) return;
    const int number = index + 1;
    telvor::Info() << L"REGISTER AUDIO FILTER " << number << L" : " << text;
    FilterEntry& entry = tables_->filters.At(index, MediaKind::kAudio);
    CopyCut(text, entry.name, kFilterNameChars);
    entry.subtype = MEDIASUBTYPE_PCM;
    telvor::Info() << L"Using virtual camera " << number;

    entry.index = index;
    entry.clsid = AudioFilterId(index);
    AppendFilter(entry, MediaKind::kAudio);
  }

  void AppendFilter(const FilterEntry& entry, MediaKind kind) {
    const bool video = kind == MediaKind::kVideo;
    FilterSetup& setup = tables_->setups[tables_->setupCount++];
    setup = {&entry.clsid,
             entry.name,
             kCameraMerit,
             1,
             video ? &kVideoPin : &kAudioPin,
             video ? &CLSID_VideoInputDeviceCategory : &CLSID_AudioInputDeviceCategory};
    templates_[templateCount_++] = {entry.name, &entry.clsid, CameraFilterCreator(entry.index, kind), nullptr, &setup};
  }

  const wchar_t* iniPath_;
  CameraTables* tables_;
  CFactoryTemplate* templates_;
  int templateCount_ = 0;
};

}  // namespace

CLSID VideoFilterId(int cameraIndex) {
  constexpr CLSID kBase = {0x992DFFB6, 0x575E, 0x47D4, {0xA9, 0xCE, 0xD7, 0x63, 0xD7, 0xFF, 0x3B, 0x00}};
  return NumberedId(kBase, cameraIndex);
}

CLSID AudioFilterId(int cameraIndex) {
  constexpr CLSID kBase = {0x992DFFB6, 0x575E, 0x47D4, {0xA9, 0xCE, 0xD7, 0x63, 0xD7, 0xFF, 0x3C, 0x00}};
  return NumberedId(kBase, cameraIndex);
}

CLSID PropertyPageId(int cameraIndex) {
  constexpr CLSID kBase = {0x40E573F2, 0x0DA5, 0x41D6, {0x81, 0x8B, 0x0E, 0x1F, 0x93, 0x87, 0xDC, 0x00}};
  return NumberedId(kBase, cameraIndex);
}

int BuildCameraTable(const wchar_t* iniPath, CameraTables* tables, CFactoryTemplate* templates) {
  int count = GetConfigInt(settings::kFilters, settings::kDefaultFilterCount, iniPath);
  if (count > kMaxCameras) count = kMaxCameras;
  TableBuilder builder(iniPath, tables, templates);
  for (int index = 0; index < count; ++index) builder.AddCamera(index);
  return builder.TemplateCount();
}
