#include "support/ModuleFixture.h"

#include <cstdlib>

namespace telvor::test {

LoadedModuleCopy::LoadedModuleCopy(const std::wstring& fileName, const std::string& ini, const std::wstring& folder)
    : modulePath_((folder.empty() ? dir_.Path() : dir_.File(folder)) + L"\\" + fileName) {
  if (!folder.empty()) CreateDirectoryW(dir_.File(folder).c_str(), nullptr);
  CopyFileTo(BuiltModulePath(), modulePath_);
  if (!ini.empty()) WriteTextFile(modulePath_.substr(0, modulePath_.rfind(L'\\')) + L"\\TELVOR.INI", "[CONFIG]\r\n" + ini);
}

void LoadedModuleCopy::SetLogTarget(const std::wstring& path) {
  // The module's C runtime keeps its own copy of the environment, so the
  // runtime's setter is needed besides the process's.
  SetEnvironmentVariableW(L"TELVOR_LOG", path.c_str());
  _wputenv((L"TELVOR_LOG=" + path).c_str());
}

HRESULT LoadedModuleCopy::GetClassObject(const wchar_t* clsidText, IUnknown** out) const {
  using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  auto get = reinterpret_cast<GetClassObjectFn>(Export("DllGetClassObject"));
  if (!get) return E_UNEXPECTED;
  CLSID clsid;
  CLSIDFromString(const_cast<LPOLESTR>(clsidText), &clsid);
  return get(clsid, IID_IUnknown, reinterpret_cast<void**>(out));
}

}  // namespace telvor::test
