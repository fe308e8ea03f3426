// The module entry point: builds everything the cameras need once, when a
// host loads the module, and hands over to the framework's entry point.
#include <windows.h>

#include "base/AccessGuard.h"
#include "base/Log.h"
#include "filter/Corvane.h"
#include "framework/LazyWindow.h"
#include "framework/ModuleEntry.h"
#include "imaging/Pixel.h"
#include "module/ModuleStartup.h"

namespace {
constexpr wchar_t kUnit[] = L"dllmain";
constexpr wchar_t kFunction[] = L"DllMain";
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      TELVOR_TRACE_AT(kUnit, kFunction) << L"DLL_PROCESS_ATTACH";
      SelectCpuLevel();
      StartModule(instance);
      Tessel::LazyWindow::Initialize();
      break;
    case DLL_PROCESS_DETACH:
      TELVOR_TRACE_AT(kUnit, kFunction) << L"DLL_PROCESS_DETACH";
      // A host that frees the module with filters it leaked (FFmpeg's
      // -list_options does) gets them released. When the process is ending
      // (reserved is set) other modules may still hold them and release them
      // after us, so they are left alone.
      if (!reserved) ReleaseLiveCameraFilters();
      telvor::ShutdownAccessGuard();
      Tessel::LazyWindow::Uninitialize();
      break;
    case DLL_THREAD_ATTACH:
      TELVOR_TRACE_AT(kUnit, kFunction) << L"DLL_THREAD_ATTACH";
      break;
    case DLL_THREAD_DETACH:
      TELVOR_TRACE_AT(kUnit, kFunction) << L"DLL_THREAD_DETACH";
      break;
    default:
      break;
  }
  return DllEntryPoint(instance, reason, reserved);
}
