// The settings and registration checks.
#include <windows.h>
#include <dshow.h>

#include <cstring>
#include <cwchar>

#include "Checks.h"
#include "base/Log.h"
#include "filter/video/VideoOffer.h"
#include "filter/StreamWatch.h"
#include "settings/ModulePaths.h"
#include "settings/SettingsKeys.h"
#include "settings/ZentraSettings.h"

namespace doctor {
namespace {

std::vector<std::string>* g_errors = nullptr;

// "[TELVOR][ERROR]: unit(line) [function] text": the text is what a user needs.
void KeepError(const wchar_t* line) {
  if (!g_errors) return;
  std::wstring text(line);
  const size_t bracket = text.rfind(L"] ");
  if (bracket != std::wstring::npos) text = text.substr(bracket + 2);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  g_errors->push_back(Utf8(text));
}
void Ignore(const wchar_t*) {}

// Everything the module's own code logs while the doctor runs it, errors kept.
class ErrorCapture {
 public:
  explicit ErrorCapture(std::vector<std::string>* errors)
      : trace_(TraceSink), info_(InfoSink), error_(ErrorSink) {
    g_errors = errors;
    TraceSink = &Ignore;
    InfoSink = &Ignore;
    ErrorSink = &KeepError;
  }
  ~ErrorCapture() {
    TraceSink = trace_;
    InfoSink = info_;
    ErrorSink = error_;
    g_errors = nullptr;
  }

 private:
  LogSink trace_, info_, error_;
};

std::wstring ClsidText(const CLSID& id) {
  wchar_t text[64] = {};
  StringFromGUID2(id, text, 64);
  return text;
}

std::wstring RegText(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return {};
  telvor::RegistryKey holder;
  holder.Reset(key);
  // Sized by the value itself: a module registered from a deep folder has a
  // path longer than any fixed buffer, and a cut one would read as missing.
  DWORD bytes = 0, type = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');  // room for a terminator the value may lack
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return {};
  }
  text.resize(wcsnlen(text.c_str(), bytes / sizeof(wchar_t)));
  return text;
}

// The friendly name the device enumerator lists for `clsid` under `category`;
// `found` false when it lists none.
std::wstring ListedName(const CLSID& category, const std::wstring& clsid, REGSAM view, bool& found) {
  found = false;
  const std::wstring instances = L"CLSID\\" + ClsidText(category) + L"\\Instance";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, instances.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return {};
  telvor::RegistryKey holder;
  holder.Reset(key);
  wchar_t sub[256];
  for (DWORD i = 0;; ++i) {
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, sub, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return {};
    const std::wstring path = instances + L"\\" + sub;
    if (_wcsicmp(RegText(HKEY_CLASSES_ROOT, path, L"CLSID", view).c_str(), clsid.c_str()) == 0) {
      found = true;
      return RegText(HKEY_CLASSES_ROOT, path, L"FriendlyName", view);
    }
  }
}

std::wstring FullPath(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::wstring full(needed, L'\0');
  const DWORD n = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (n == 0 || n >= needed) return path;
  full.resize(n);
  return full;
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"" : path.substr(0, slash);
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Whether the module file is a 32-bit image: its applications look in the
// 32-bit registry view. Anything unreadable counts as 64-bit, the default build.
bool Is32BitModule(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                0, nullptr));
  if (!file) return false;
  unsigned char head[4096];
  DWORD got = 0;
  if (!ReadFile(file.Get(), head, sizeof head, &got, nullptr) || got < 0x40) return false;
  DWORD pe = 0;
  std::memcpy(&pe, head + 0x3C, sizeof pe);
  if (pe > got - 6 || std::memcmp(head + pe, "PE\0\0", 4) != 0) return false;
  WORD machine = 0;
  std::memcpy(&machine, head + pe + 4, sizeof machine);
  return machine == IMAGE_FILE_MACHINE_I386;
}

}  // namespace

Settings LoadSettings(const std::wstring& module, Diagnosis& diagnosis) {
  Settings settings;
  settings.module = FullPath(module);
  diagnosis.module = Utf8(settings.module);
  if (!FileExists(settings.module)) {
    diagnosis.general.push_back(Format("The module %s does not exist.", diagnosis.module.c_str()));
    diagnosis.general_fixes.push_back("Run telvor-doctor from the module's folder or name it with --module PATH.");
  }
  ModulePaths paths = {};
  DeriveSettingsPaths(settings.module.c_str(), &paths);
  settings.ini_path = paths.iniPath;
  settings.format_stem = paths.formatPath;
  const std::string ini = Utf8(settings.ini_path);
  const std::string file = Utf8(settings.ini_path.substr(settings.ini_path.find_last_of(L"\\/") + 1));
  diagnosis.settings = FileExists(settings.ini_path)
                           ? Format("read from the file %s", ini.c_str())
                           : Format("%s does not exist, so they are read from the registry, "
                                    "HKEY_CURRENT_USER\\Software\\TELVOR\\%s\\CONFIG",
                                    ini.c_str(), file.c_str());
  settings.tables = std::make_unique<FilterTable>();
  *settings.tables = {};
  ErrorCapture capture(&settings.table_errors);
  BuildCameraTable(settings.ini_path.c_str(), settings.tables.get());
  return settings;
}

void CheckSettings(const Settings& settings, int index, CameraReport& report) {
  const FilterEntry& video = settings.tables->At(index, MediaKind::kVideo);
  const FilterEntry& audio = settings.tables->At(index, MediaKind::kAudio);
  for (const FilterEntry* entry : {&video, &audio}) {
    const bool isVideo = entry == &video;
    const char* kind = isVideo ? "video" : "audio";
    if (!entry->name[0]) {
      report.Note("settings", Format("No %s device is configured.", kind));
      continue;
    }
    report.Note("settings", Format("The %s device is named \"%s\".", kind, Utf8(entry->name).c_str()));
    if (std::wcslen(entry->name) + 1 >= static_cast<size_t>(kFilterNameChars)) {
      report.Problem("settings", Format("The %s device's name is cut at %d characters.", kind, kFilterNameChars - 1),
                     "Give it a shorter name and register the module again.");
    }
  }
  if (!video.name[0]) return;
  wchar_t text[kConfigTextChars];
  GetConfigString(settings.ini_path.c_str(), settings::CameraKey(settings::kColorSpace, index).c_str(),
                  settings::kDefaultColorSpace, text);
  OutputFormat preferred = {};
  preferred.subtype = video.subtype;
  const std::string chosen = telvor::VideoWatchFormat(preferred).format;
  if (Utf8(text) != chosen) {
    report.Problem("settings", Format("The colour space \"%s\" is unknown; the camera prefers %s.", Utf8(text).c_str(),
                                      chosen.c_str()),
                   Format("Set FILTER.COLORSPACE.%02d to YUY2, RGB32, RGB24 or YV12 (upper case).", index + 1));
  }
  std::vector<std::string> refused;
  VideoOffer offer;
  {
    ErrorCapture capture(&refused);
    offer = BuildVideoOffer(HostInfo{}, video, video.fps, video.fps,
                            settings::FormatFilePath(settings.format_stem.c_str(), index).c_str());
  }
  std::string sizes;
  for (const auto& size : offer.sizes) sizes += Format("%s%ux%u", sizes.empty() ? "" : ", ", size.first, size.second);
  report.Note("settings", Format("It offers %s at %g frames per second.", sizes.c_str(), video.fps));
  for (const std::string& line : refused) {
    // Reading a format file that is not there logs too; only refusals count.
    if (line.find("not offered") == std::string::npos) continue;
    report.Problem("settings", Format("A size is refused: %s.", line.c_str()),
                   "Correct the size in the settings or the camera's format file.");
  }
}

void CheckRegistration(const Settings& settings, int index, CameraReport& report) {
  struct View {
    const char* name;
    REGSAM sam;
  };
  const View views[] = {{"64-bit", KEY_WOW64_64KEY}, {"32-bit", KEY_WOW64_32KEY}};
  const std::string module = Utf8(settings.module);
  const std::string registerAgain = Format("Register the module again: regsvr32 \"%s\" (as administrator).", module.c_str());
  // The module's own view must list it; the other view may hold the other
  // bitness's module from the same folder, or nothing.
  const REGSAM own = Is32BitModule(settings.module) ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  for (const View& view : views) {
    const bool primary = view.sam == own;
    for (const MediaKind kind : {MediaKind::kVideo, MediaKind::kAudio}) {
      const FilterEntry& entry = settings.tables->At(index, kind);
      if (!entry.name[0]) continue;
      const char* what = kind == MediaKind::kVideo ? "video" : "audio";
      const std::wstring clsid = ClsidText(kind == MediaKind::kVideo ? VideoFilterId(index) : AudioFilterId(index));
      const std::wstring server = RegText(HKEY_CLASSES_ROOT, L"CLSID\\" + clsid + L"\\InprocServer32", nullptr, view.sam);
      const std::string at = Utf8(server);
      if (server.empty()) {
        if (primary) {
          report.Problem("registration", Format("The %s device is not registered for %s applications.", what, view.name),
                         registerAgain);
        } else {
          report.Note("registration", Format("The %s device is not registered for %s applications.", what, view.name));
        }
        continue;
      }
      if (!FileExists(server)) {
        report.Problem("registration",
                       Format("The %s device is registered for %s applications at %s, which no longer exists.", what,
                              view.name, at.c_str()),
                       registerAgain);
        continue;
      }
      const bool same = primary ? _wcsicmp(FullPath(server).c_str(), settings.module.c_str()) == 0
                                : _wcsicmp(FolderOf(FullPath(server)).c_str(), FolderOf(settings.module).c_str()) == 0;
      if (!same) {
        report.Problem("registration",
                       Format("The %s device is registered for %s applications at another copy, %s.", what, view.name,
                              at.c_str()),
                       Format("Unregister that copy (regsvr32 /u \"%s\") and register this one, or give the copies "
                              "different camera numbers.",
                              at.c_str()));
        continue;
      }
      bool listed = false;
      const CLSID& category =
          kind == MediaKind::kVideo ? CLSID_VideoInputDeviceCategory : CLSID_AudioInputDeviceCategory;
      const std::wstring name = ListedName(category, clsid, view.sam, listed);
      if (!listed) {
        report.Problem("registration",
                       Format("The %s device is not listed among %s capture devices.", what, view.name), registerAgain);
      } else if (name != entry.name) {
        report.Problem("registration",
                       Format("The %s device is listed as \"%s\" for %s applications, but the settings name it \"%s\".",
                              what, Utf8(name).c_str(), view.name, Utf8(entry.name).c_str()),
                       registerAgain);
      } else {
        report.Note("registration", Format("The %s device is registered for %s applications and listed as \"%s\".",
                                           what, view.name, Utf8(name).c_str()));
      }
    }
  }
}

}  // namespace doctor
