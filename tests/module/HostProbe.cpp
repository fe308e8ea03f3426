// Loads the module named first, creates the filter of the class identifier
// given and leaks it, as some hosts do, then frees the module ("free") or just
// ends the process holding the filter ("exit"); "run" first leaks a graph
// running the filter into a null renderer, then frees the module. Copied
// under a host's file name (skype.exe, ...) so the module sees that host for
// real.
#include <windows.h>
#include <dshow.h>
#include <objbase.h>

#include <cstring>
#include <string>

namespace {

const CLSID kNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

// The graph and everything in it stay referenced for the rest of the process.
bool LeakRunningGraph(IUnknown* filter_unknown) {
  IBaseFilter *filter = nullptr, *renderer = nullptr;
  IGraphBuilder* graph = nullptr;
  IMediaControl* control = nullptr;
  IEnumPins* pins = nullptr;
  IPin* output = nullptr;
  if (FAILED(filter_unknown->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter))) ||
      FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                              reinterpret_cast<void**>(&graph))) ||
      FAILED(CoCreateInstance(kNullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                              reinterpret_cast<void**>(&renderer))) ||
      FAILED(graph->AddFilter(filter, L"camera")) || FAILED(graph->AddFilter(renderer, L"renderer")) ||
      FAILED(filter->EnumPins(&pins)) || pins->Next(1, &output, nullptr) != S_OK || FAILED(graph->Render(output)) ||
      FAILED(graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control))) ||
      FAILED(control->Run())) {
    return false;
  }
  Sleep(300);  // streaming
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  HMODULE module = LoadLibraryA(argv[1]);
  if (!module) return 3;
  using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  const std::wstring text(argv[2], argv[2] + std::strlen(argv[2]));
  CLSID clsid;
  IClassFactory* factory = nullptr;
  IUnknown* leaked = nullptr;
  if (!get || FAILED(CLSIDFromString(text.c_str(), &clsid)) ||
      FAILED(get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
    return 4;
  const HRESULT hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&leaked));
  factory->Release();
  if (FAILED(hr)) return 4;
  if (std::strcmp(argv[3], "run") == 0 && !LeakRunningGraph(leaked)) return 6;
  if (std::strcmp(argv[3], "exit") != 0) FreeLibrary(module);
  Sleep(300);  // the leaked graph may still be running code of the module
  return 0;
}
