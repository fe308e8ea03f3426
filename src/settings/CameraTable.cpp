#include "settings/CameraTable.h"

#include <dshow.h>

#include <cwchar>

#include "base/Log.h"
#include "settings/SettingsKeys.h"
#include "settings/ZentraSettings.h"

namespace {

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
  TableBuilder(const wchar_t* iniPath, FilterTable* table) : iniPath_(iniPath), table_(table) {}

  void AddCamera(int index) {
    AddVideo(index);
    AddAudio(index);
  }

 private:
  std::wstring Key(const wchar_t* pattern, int index) const { return settings::CameraKey(pattern, index); }

  // The camera's filter of `kind` when the settings name one (logged), else null.
  FilterEntry* NamedEntry(int index, MediaKind kind, const wchar_t* nameKey, const wchar_t* label, wchar_t* text) {
    GetConfigString(iniPath_, Key(nameKey, index).c_str(), L"", text);
    if (!text[0]) return nullptr;
    telvor::Info() << L"REGISTER " << label << L" FILTER " << index + 1 << L" : " << text;
    FilterEntry& entry = table_->At(index, kind);
    CopyCut(text, entry.name, kFilterNameChars);
    return &entry;
  }

  void AddVideo(int index) {
    wchar_t text[kConfigTextChars];
    FilterEntry* named = NamedEntry(index, MediaKind::kVideo, settings::kVideoName, L"VIDEO", text);
    if (!named) return;
    FilterEntry& entry = *named;
    const int number = index + 1;

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
  }

  void AddAudio(int index) {
    wchar_t text[kConfigTextChars];
    FilterEntry* entry = NamedEntry(index, MediaKind::kAudio, settings::kAudioName, L"AUDIO", text);
    if (!entry) return;
    entry->subtype = MEDIASUBTYPE_PCM;
    telvor::Info() << L"Using virtual camera " << index + 1;

    entry->index = index;
    entry->clsid = AudioFilterId(index);
  }

  const wchar_t* iniPath_;
  FilterTable* table_;
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

int BuildCameraTable(const wchar_t* iniPath, FilterTable* table) {
  int count = GetConfigInt(settings::kFilters, settings::kDefaultFilterCount, iniPath);
  if (count > kMaxCameras) count = kMaxCameras;
  if (count < 0) count = 0;
  TableBuilder builder(iniPath, table);
  for (int index = 0; index < count; ++index) builder.AddCamera(index);
  return count;
}
