#include "module/ModuleStartup.h"

#include <new>
#include <string>
#include <utility>

#include "base/Log.h"
#include "base/ModuleFileName.h"
#include "framework/ClassFactory.h"
#include "module/ClassObjects.h"
#include "telvor_version.h"

CFactoryTemplate g_Templates[kMaxTemplates];
int g_cTemplates = 0;

namespace {

HostInfo g_hostInfo;
ModulePaths g_modulePaths;
FilterTable g_filterTable;     // zero until process attach
ClassRecords g_classRecords;  // likewise
const FilterEntry kNoEntry = {};

// Whole, whatever its length: relative names in the settings are taken from
// the module's folder. Empty when there is no memory for it.
std::wstring WholeFileName(HMODULE module) {
  try {
    return telvor::ModuleFileName(module);
  } catch (const std::bad_alloc&) {
    return std::wstring();
  }
}

}  // namespace

void StartModule(HMODULE module) {
  HostInfo host;
  ModulePaths paths;
  std::wstring path = WholeFileName(nullptr);
  SetHostFileName(path.c_str(), &paths);
  telvor::Info() << L"Host file name: " << paths.hostFileName;
  host = DetectHost(paths.hostFileName);
  LogHostTags(host);

  path = WholeFileName(module);
  telvor::Info() << L"TELVOR " << TELVOR_VERSION_W << (sizeof(void*) == 8 ? L" (64-bit)" : L" (32-bit)")
                 << L" loaded from " << path;
  DeriveSettingsPaths(path.c_str(), &paths);
  // Moved, not copied: nothing to allocate while the loader is locked.
  g_hostInfo = host;
  g_modulePaths = std::move(paths);
  try {
    const int cameras = BuildCameraTable(g_modulePaths.iniPath, &g_filterTable);
    g_cTemplates = BuildClassTemplates(g_filterTable, cameras, &g_classRecords, g_Templates);
  } catch (const std::bad_alloc&) {
    // The host stays up; it just sees no cameras from this module.
    g_filterTable = FilterTable();
    g_classRecords = ClassRecords();
    g_cTemplates = 0;
    telvor::Error() << L"Out of memory while building the camera table; no cameras offered";
  }
}

const HostInfo& GetHostInfo() { return g_hostInfo; }

const ModulePaths& GetModulePaths() { return g_modulePaths; }

CameraSite ProcessCameraSite() { return {g_hostInfo, &g_modulePaths}; }

const FilterEntry& GetFilterEntry(int cameraIndex, MediaKind kind) {
  if (cameraIndex < 0 || cameraIndex >= kMaxCameras) return kNoEntry;
  return g_filterTable.At(cameraIndex, kind);
}
