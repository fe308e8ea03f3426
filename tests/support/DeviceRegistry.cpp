#include "support/DeviceRegistry.h"

#include <dshow.h>

#include "framework/ComPtr.h"

namespace telvor::test {
namespace {

std::wstring ClassId(const wchar_t* stem, int index) {
  const wchar_t hex[] = L"0123456789ABCDEF";  // <dshow.h> bans swprintf
  return std::wstring(stem) + hex[(index >> 4) & 15] + hex[index & 15] + L"}";
}

// Calls visit(bag) for every moniker until it returns true.
template <typename Visit>
void ForEachBag(IEnumMoniker* monikers, Visit visit) {
  ComPtr<IMoniker> moniker;
  for (bool done = false; !done && monikers && monikers->Next(1, moniker.Put(), nullptr) == S_OK;) {
    ComPtr<IPropertyBag> bag;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.PutVoid()))) done = visit(bag.Get());
  }
}

std::wstring ReadBagText(IPropertyBag* bag, const wchar_t* name) {
  VARIANT value = {};  // VT_EMPTY
  std::wstring text;
  if (SUCCEEDED(bag->Read(name, &value, nullptr)) && value.vt == VT_BSTR) text = value.bstrVal;
  VariantClear(&value);
  return text;
}

}  // namespace

std::wstring VideoFilterIdText(int index) { return ClassId(L"{992DFFB6-575E-47D4-A9CE-D763D7FF3B", index); }
std::wstring AudioFilterIdText(int index) { return ClassId(L"{992DFFB6-575E-47D4-A9CE-D763D7FF3C", index); }
std::wstring PropertyPageIdText(int index) { return ClassId(L"{40E573F2-0DA5-41D6-818B-0E1F9387DC", index); }

std::wstring RegistryText(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t text[1024] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) return L"";
  return text;
}

bool ClassKeyExists(const std::wstring& clsid) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

size_t DeviceListed(const CLSID& category, const std::wstring& name) {
  ComPtr<ICreateDevEnum> devices;
  ComPtr<IEnumMoniker> monikers;
  size_t count = 0;
  if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                 devices.PutVoid())) &&
      devices->CreateClassEnumerator(category, monikers.Put(), 0) == S_OK) {
    ForEachBag(monikers.Get(), [&](IPropertyBag* bag) {
      count += ReadBagText(bag, L"FriendlyName") == name;
      return false;
    });
  }
  return count;
}

bool MapperFindsByOutput(const std::wstring& clsid, const GUID& major, const GUID& minor) {
  ComPtr<IFilterMapper2> mapper;
  ComPtr<IEnumMoniker> monikers;
  const GUID types[2] = {major, minor};
  bool found = false;
  if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                 mapper.PutVoid())) &&
      SUCCEEDED(mapper->EnumMatchingFilters(monikers.Put(), 0, FALSE, MERIT_DO_NOT_USE, FALSE, 0, nullptr, nullptr,
                                            nullptr, FALSE, TRUE, 1, types, nullptr, nullptr))) {
    ForEachBag(monikers.Get(), [&](IPropertyBag* bag) {
      return found = CompareStringOrdinal(ReadBagText(bag, L"CLSID").c_str(), -1, clsid.c_str(), -1, TRUE) == CSTR_EQUAL;
    });
  }
  return found;
}

}  // namespace telvor::test
