// telvor-appcheck: opens a camera the way one application does and reports
// what that application would show. Run with --help for the options.
#include <windows.h>
#include <shellapi.h>
#include <dshow.h>

#include <cstdio>

#include "Apps.h"
#include "CommandLine.h"

namespace {

using namespace appcheck;

void ListAll() {
  for (const GUID* category : {&CLSID_VideoInputDeviceCategory, &CLSID_AudioInputDeviceCategory}) {
    HRESULT hr = S_OK;
    const std::vector<DeviceEntry> devices = EnumerateDevices(*category, hr);
    std::printf("%s capture devices:\n", category == &CLSID_VideoInputDeviceCategory ? "video" : "audio");
    if (devices.empty()) std::printf("  (none)\n");
    for (std::size_t i = 0; i < devices.size(); ++i) {
      std::printf("  %zu: %s\n", i, tools::Utf8(devices[i].friendlyName).c_str());
    }
  }
}

int Main(int argc, wchar_t** argv) {
  AppOptions options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) return tools::RefuseCommandLine("telvor-appcheck", error, kExitUsage);
  if (options.help) {
    std::fputs(kAppCheckHelp, stdout);
    return 0;
  }
  if (options.list) {
    ListAll();
    return 0;
  }
  StartWatchdog();
  switch (options.app) {
    case App::kChromium: Out().Add("app", "chromium"); return Out().Finish(RunChromium(options));
    case App::kObs: Out().Add("app", "obs"); return Out().Finish(RunObs(options));
    case App::kCapGraph: Out().Add("app", "capgraph"); return Out().Finish(RunCapGraph(options));
    case App::kOpenCv: Out().Add("app", "opencv"); return Out().Finish(RunOpenCv(options));
    default: return kExitUsage;
  }
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return kExitUsage;
  // Each of these applications drives its camera from a single-threaded
  // apartment (a user-interface or capture thread of its own).
  const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int code = kExitFailed;
  if (SUCCEEDED(init)) {
    code = Main(argc, argv);
    CoUninitialize();
  } else {
    std::fprintf(stderr, "telvor-appcheck: COM does not start (%s)\n", HrText(init).c_str());
  }
  LocalFree(argv);
  return code;
}
