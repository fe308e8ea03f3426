#include "framework/ModuleEntry.h"

#include "framework/ClassFactory.h"

HINSTANCE g_hInst = nullptr;

namespace {
OSVERSIONINFOW g_osVersion = {};

void RecordOsVersion() {
  g_osVersion = OSVERSIONINFOW{};
  g_osVersion.dwOSVersionInfoSize = sizeof(g_osVersion);
  // GetVersionExW is deprecated for feature tests, but it is what a log line
  // or a support report wants: the version the process is told it runs on.
  if (!GetVersionExW(&g_osVersion)) g_osVersion = OSVERSIONINFOW{};
}

void CallInitRoutines(BOOL loading) {
  for (int i = 0; i < g_cTemplates; ++i) {
    const CFactoryTemplate& entry = g_Templates[i];
    if (entry.m_lpfnInit) entry.m_lpfnInit(loading, entry.m_ClsID);
  }
}
}  // namespace

const OSVERSIONINFOW& OsVersion() { return g_osVersion; }

BOOL WINAPI DllEntryPoint(HINSTANCE instance, ULONG reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      DisableThreadLibraryCalls(instance);
      g_hInst = instance;
      RecordOsVersion();
      CallInitRoutines(TRUE);
      break;
    case DLL_PROCESS_DETACH:
      CallInitRoutines(FALSE);
      break;
    default:
      break;
  }
  return TRUE;
}
