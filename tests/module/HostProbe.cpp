// Loads the module named first, creates the filter of the class identifier
// given and leaks it, as some hosts do, then frees the module ("free") or just
// ends the process holding the filter ("exit"). Copied under a host's file
// name (skype.exe, ...) so the module sees that host for real.
#include <windows.h>
#include <objbase.h>

#include <cstring>
#include <string>

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
  if (std::strcmp(argv[3], "free") == 0) FreeLibrary(module);
  return 0;
}
