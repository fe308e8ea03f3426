#include "module/ModuleStartup.h"

#include <new>
#include <string>
#include <utility>

#include "base/Log.h"
#include "base/ModuleFileName.h"
#include "framework/ClassFactory.h"
#include "module/CameraTable.h"
#include "module/ModulePaths.h"
#include "telvor_version.h"

CFactoryTemplate g_Templates[kMaxTemplates];
int g_cTemplates = 0;

namespace {

CameraTables g_cameraTables;  // zero until process attach
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
  // Before the table: reading it reads the settings file through them.
  RecordModulePaths(host, std::move(paths));
  try {
    g_cTemplates = BuildCameraTable(GetModulePaths().iniPath, &g_cameraTables, g_Templates);
  } catch (const std::bad_alloc&) {
    // The host stays up; it just sees no cameras from this module.
    g_cameraTables = CameraTables();
    g_cTemplates = 0;
    telvor::Error() << L"Out of memory while building the camera table; no cameras offered";
  }
}

const FilterEntry& GetFilterEntry(int cameraIndex, MediaKind kind) {
  if (cameraIndex < 0 || cameraIndex >= kMaxCameras) return kNoEntry;
  return g_cameraTables.filters.At(cameraIndex, kind);
}
