#include "module/Registration.h"

#include <dshow.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Handle.h"
#include "base/Log.h"
#include "framework/ClassFactory.h"
#include "framework/ComPtr.h"
#include "module/ClassObjects.h"

namespace {

// The longest path the system's file functions take, terminator included.
constexpr size_t kLongestPathChars = 32768;

// The filter mapper answers this when the entry is not there.
constexpr HRESULT kEntryMissing = static_cast<HRESULT>(0x80070002);

HRESULT FromWin32(DWORD error) { return static_cast<HRESULT>((error & 0xFFFFu) | 0x80070000u); }

HRESULT FromStatus(LONG status) { return status == ERROR_SUCCESS ? S_OK : FromWin32(static_cast<DWORD>(status)); }

HRESULT CountMissingAsSuccess(HRESULT hr) { return hr == kEntryMissing ? S_OK : hr; }

// The HMODULE of whatever image this code is linked into.
HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// Wide, so that a folder named outside the ANSI code page is registered as it
// is, and grown past MAX_PATH for installs in deep folders.
HRESULT ModulePath(std::wstring* path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(buffer.size());
    const DWORD length = GetModuleFileNameW(ThisModule(), buffer.data(), capacity);
    if (length == 0) return FromWin32(GetLastError());
    if (length < capacity) {
      buffer.resize(length);
      break;
    }
    // A full buffer means the name was cut.
    if (capacity >= kLongestPathChars) return FromWin32(ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(std::min<size_t>(2 * static_cast<size_t>(capacity), kLongestPathChars));
  }
  path->swap(buffer);
  return S_OK;
}

std::wstring ClassKeyPath(const CLSID& clsid) {
  wchar_t text[40];
  StringFromGUID2(clsid, text, 40);
  return std::wstring(L"CLSID\\") + text;
}


LONG SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

HRESULT WriteServerEntry(const CFactoryTemplate& entry, const std::wstring& modulePath) {
  telvor::RegistryKey classKey;
  LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, ClassKeyPath(*entry.m_ClsID).c_str(), 0, nullptr, 0, KEY_WRITE,
                                nullptr, classKey.Put(), nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  status = SetText(classKey.Get(), nullptr, entry.m_Name);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  telvor::RegistryKey serverKey;
  status = RegCreateKeyExW(classKey.Get(), L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr, serverKey.Put(),
                           nullptr);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  status = SetText(serverKey.Get(), nullptr, modulePath);
  if (status != ERROR_SUCCESS) return FromStatus(status);
  return FromStatus(SetText(serverKey.Get(), L"ThreadingModel", L"Both"));
}

// Depth first; a key that cannot be opened is left alone.
void DeleteKeyTree(HKEY parent, const std::wstring& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return;
  // Names first, deletions after: deleting while enumerating shifts the indexes.
  std::vector<std::wstring> children;
  wchar_t child[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    if (RegEnumKeyExW(key, index, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(child, length);
  }
  for (const std::wstring& each : children) DeleteKeyTree(key, each);
  RegCloseKey(key);
  RegDeleteKeyW(parent, name.c_str());
}

HRESULT UpdateFilter(IFilterMapper2* mapper, const FilterSetup& setup, bool registering) {
  // Registering removes the old entry first, so registering twice leaves one.
  const HRESULT removed = mapper->UnregisterFilter(setup.category, nullptr, *setup.clsid);
  if (!registering) return CountMissingAsSuccess(removed);
  REGFILTER2 filter = {};
  filter.dwVersion = 1;
  filter.dwMerit = setup.merit;
  filter.cPins = setup.pinCount;
  filter.rgPins = setup.pins;
  return CountMissingAsSuccess(
      mapper->RegisterFilter(*setup.clsid, setup.name, nullptr, setup.category, nullptr, &filter));
}

// The older mapper knows no categories.
HRESULT UpdateFilter(IFilterMapper* mapper, const FilterSetup& setup, bool registering) {
  const HRESULT removed = mapper->UnregisterFilter(*setup.clsid);
  if (!registering) return CountMissingAsSuccess(removed);
  HRESULT hr = mapper->RegisterFilter(*setup.clsid, setup.name, setup.merit);
  for (UINT p = 0; SUCCEEDED(hr) && p < setup.pinCount; ++p) {
    const REGFILTERPINS& pin = setup.pins[p];
    hr = mapper->RegisterPin(*setup.clsid, pin.strName, pin.bRendered, pin.bOutput, pin.bZero, pin.bMany,
                             *pin.clsConnectsToFilter, pin.strConnectsToPin);
    for (UINT t = 0; SUCCEEDED(hr) && t < pin.nMediaTypes; ++t) {
      hr = mapper->RegisterPinType(*setup.clsid, pin.strName, *pin.lpMediaType[t].clsMajorType,
                                   *pin.lpMediaType[t].clsMinorType);
    }
  }
  return CountMissingAsSuccess(hr);
}

template <typename Mapper>
HRESULT UpdateFilters(Mapper* mapper, bool registering) {
  for (int i = 0; i < g_cTemplates; ++i) {
    if (!g_Templates[i].m_pSetup) continue;
    const HRESULT hr = UpdateFilter(mapper, *g_Templates[i].m_pSetup, registering);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT UpdateFilterMapper(bool registering) {
  ComPtr<IFilterMapper2> mapper2;
  HRESULT hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                mapper2.PutVoid());
  if (SUCCEEDED(hr)) return UpdateFilters(mapper2.Get(), registering);
  ComPtr<IFilterMapper> mapper;
  hr = CoCreateInstance(CLSID_FilterMapper, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper, mapper.PutVoid());
  if (SUCCEEDED(hr)) return UpdateFilters(mapper.Get(), registering);
  return hr;
}

HRESULT RegisterAllServers(bool registering) {
  std::wstring modulePath;
  HRESULT hr = ModulePath(&modulePath);
  if (FAILED(hr)) return hr;
  if (registering) {
    for (int i = 0; i < g_cTemplates; ++i) {
      hr = WriteServerEntry(g_Templates[i], modulePath);
      if (FAILED(hr)) return hr;
    }
  }
  // A registration tool may have initialised COM already (S_FALSE) or in
  // another apartment; either way the mapper can be created.
  const HRESULT initialised = CoInitialize(nullptr);
  hr = UpdateFilterMapper(registering);
  CoFreeUnusedLibraries();
  if (SUCCEEDED(initialised)) CoUninitialize();
  if (FAILED(hr) || registering) return hr;
  for (int i = 0; i < g_cTemplates; ++i) DeleteKeyTree(HKEY_CLASSES_ROOT, ClassKeyPath(*g_Templates[i].m_ClsID));
  return S_OK;
}

}  // namespace

HRESULT STDAPICALLTYPE DllRegisterServer() {
  telvor::Info() << L"Register server(s): " << g_cTemplates;
  return RegisterAllServers(true);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  telvor::Info() << L"Unregister server(s): " << g_cTemplates;
  return RegisterAllServers(false);
}
