// A private copy of the built TELVOR.AX in a temporary folder, with its own
// settings file and log file, loaded into this process.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <string>
#include <utility>

#include "support/WinTestSupport.h"

namespace telvor::test {

class LoadedModuleCopy {
 public:
  // Copies the module as fileName into a fresh folder (or its subfolder
  // `folder`); ini, if not empty, becomes the TELVOR.INI both modules read.
  LoadedModuleCopy(const std::wstring& fileName, const std::string& ini, const std::wstring& folder = L"");
  ~LoadedModuleCopy() { Unload(); }
  LoadedModuleCopy(const LoadedModuleCopy&) = delete;
  LoadedModuleCopy& operator=(const LoadedModuleCopy&) = delete;

  // Routes the module's log to LogPath(), then loads it.
  bool Load() {
    SetLogTarget(LogPath());
    return (module_ = LoadLibraryW(modulePath_.c_str())) != nullptr;
  }
  void Unload() {
    if (module_) FreeLibrary(std::exchange(module_, nullptr));
  }
  void* Export(const char* name) const {
    return module_ ? reinterpret_cast<void*>(GetProcAddress(module_, name)) : nullptr;
  }
  HRESULT GetClassObject(const wchar_t* clsid, IUnknown** out) const;

  const TempDir& Dir() const { return dir_; }
  const std::wstring& ModulePath() const { return modulePath_; }
  std::wstring LogPath() const { return dir_.File(L"telvor.log"); }
  std::string Log() const { return ReadFileBytes(LogPath()); }
  // Points TELVOR_LOG at path for this process and the processes it starts.
  static void SetLogTarget(const std::wstring& path);

 private:
  TempDir dir_;
  std::wstring modulePath_;
  HMODULE module_ = nullptr;
};

}  // namespace telvor::test
