#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ModuleFixture.h"

namespace {

using telvor::test::LoadedModuleCopy;
using telvor::test::RunProcess;
using telvor::test::UniqueName;

// Cameras 8 and 9: registration tests hold the "devices" lock, and the other
// programs that register cameras use other indexes.
const wchar_t* const kClassIds[] = {
    L"{992DFFB6-575E-47D4-A9CE-D763D7FF3B08}", L"{992DFFB6-575E-47D4-A9CE-D763D7FF3C08}",
    L"{40E573F2-0DA5-41D6-818B-0E1F9387DC08}", L"{992DFFB6-575E-47D4-A9CE-D763D7FF3B09}",
    L"{992DFFB6-575E-47D4-A9CE-D763D7FF3C09}", L"{40E573F2-0DA5-41D6-818B-0E1F9387DC09}",
};

std::wstring ReadText(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t text[1024] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) return L"<none>";
  return text;
}

bool ClassKeyExists(const wchar_t* clsid) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (std::wstring(L"CLSID\\") + clsid).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

// Friendly names the system device enumerator lists under a category.
std::vector<std::wstring> DeviceNames(const CLSID& category) {
  std::vector<std::wstring> names;
  ICreateDevEnum* devices = nullptr;
  if (FAILED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                              reinterpret_cast<void**>(&devices))))
    return names;
  IEnumMoniker* monikers = nullptr;
  if (devices->CreateClassEnumerator(category, &monikers, 0) == S_OK) {
    IMoniker* moniker = nullptr;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
      IPropertyBag* bag = nullptr;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
        VARIANT name;
        VariantInit(&name);
        if (SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR) names.push_back(name.bstrVal);
        VariantClear(&name);
        bag->Release();
      }
      moniker->Release();
    }
    monikers->Release();
  }
  devices->Release();
  return names;
}

// Whether the filter mapper finds the filter by an output pin of this type.
bool MapperFindsByOutput(const wchar_t* clsidText, const GUID& major, const GUID& minor) {
  IFilterMapper2* mapper = nullptr;
  if (FAILED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                              reinterpret_cast<void**>(&mapper))))
    return false;
  const GUID types[2] = {major, minor};
  IEnumMoniker* monikers = nullptr;
  bool found = false;
  if (SUCCEEDED(mapper->EnumMatchingFilters(&monikers, 0, FALSE, MERIT_DO_NOT_USE, FALSE, 0, nullptr, nullptr,
                                            nullptr, FALSE, TRUE, 1, types, nullptr, nullptr))) {
    IMoniker* moniker = nullptr;
    while (!found && monikers->Next(1, &moniker, nullptr) == S_OK) {
      IPropertyBag* bag = nullptr;
      if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag)))) {
        VARIANT clsid;
        VariantInit(&clsid);
        if (SUCCEEDED(bag->Read(L"CLSID", &clsid, nullptr)) && clsid.vt == VT_BSTR) {
          found = CompareStringOrdinal(clsid.bstrVal, -1, clsidText, -1, TRUE) == CSTR_EQUAL;
        }
        VariantClear(&clsid);
        bag->Release();
      }
      moniker->Release();
    }
    monikers->Release();
  }
  mapper->Release();
  return found;
}

size_t Listed(const CLSID& category, const std::wstring& name) {
  const auto names = DeviceNames(category);
  return static_cast<size_t>(std::count(names.begin(), names.end(), name));
}

class Registration : public ::testing::Test {
 protected:
  Registration()
      : tag_(UniqueName(L"Reg")),
        module_(L"TELVOR.AX", "FILTERS=10\r\n"
                              "FILTER.VIDEO.NAME.09=" + Narrow(VideoName(8)) + "\r\nFILTER.AUDIO.NAME.09=" +
                                  Narrow(AudioName(8)) + "\r\n"
                              "FILTER.VIDEO.NAME.10=" + Narrow(VideoName(9)) + "\r\nFILTER.AUDIO.NAME.10=" +
                                  Narrow(AudioName(9)) + "\r\n") {
    CoInitialize(nullptr);
  }
  ~Registration() override {
    module_.Unload();
    CoUninitialize();
  }

  std::wstring VideoName(int index) const { return tag_ + L" video " + std::to_wstring(index); }
  std::wstring AudioName(int index) const { return tag_ + L" audio " + std::to_wstring(index); }
  static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

  HRESULT Call(const char* name) {
    auto function = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(module_.Export(name));
    return function ? function() : E_UNEXPECTED;
  }
  // Each configured filter listed exactly `times` under its category.
  void ExpectListed(size_t times) {
    for (int index : {8, 9}) {
      EXPECT_EQ(Listed(CLSID_VideoInputDeviceCategory, VideoName(index)), times) << index;
      EXPECT_EQ(Listed(CLSID_AudioInputDeviceCategory, AudioName(index)), times) << index;
      EXPECT_EQ(Listed(CLSID_VideoInputDeviceCategory, AudioName(index)), 0u) << index;
    }
  }
  void ExpectClassKeys(bool present) {
    for (const wchar_t* clsid : kClassIds) EXPECT_EQ(ClassKeyExists(clsid), present) << clsid;
  }

  std::wstring tag_;
  LoadedModuleCopy module_;
};

TEST_F(Registration, WritesServerKeysAndDeviceEntriesOnceAndRemovesThem) {
  ASSERT_TRUE(module_.Load());
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  ExpectClassKeys(true);
  const std::wstring video = std::wstring(L"CLSID\\") + kClassIds[0];
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, video, nullptr), VideoName(8));
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClassIds[2], nullptr), VideoName(8));
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, std::wstring(L"CLSID\\") + kClassIds[4], nullptr), AudioName(9));
  EXPECT_EQ(CompareStringOrdinal(ReadText(HKEY_CLASSES_ROOT, video + L"\\InprocServer32", nullptr).c_str(), -1,
                                 module_.ModulePath().c_str(), -1, TRUE),
            CSTR_EQUAL);
  EXPECT_EQ(ReadText(HKEY_CLASSES_ROOT, video + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  ExpectListed(1);
  // One output pin: any video for the video filter, PCM for the audio filter.
  EXPECT_TRUE(MapperFindsByOutput(kClassIds[0], MEDIATYPE_Video, MEDIASUBTYPE_YUY2));
  EXPECT_FALSE(MapperFindsByOutput(kClassIds[0], MEDIATYPE_Audio, MEDIASUBTYPE_PCM));
  EXPECT_TRUE(MapperFindsByOutput(kClassIds[1], MEDIATYPE_Audio, MEDIASUBTYPE_PCM));

  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  ExpectListed(1);

  ASSERT_EQ(Call("DllUnregisterServer"), S_OK);
  ExpectClassKeys(false);
  ExpectListed(0);
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK);  // nothing left to remove

  const auto lines = module_.LogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), L"[TELVOR] Register server(s): 6"), 2);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), L"[TELVOR] Unregister server(s): 6"), 2);
}

TEST_F(Registration, RegistrationToolRegistersAndUnregisters) {
  const std::wstring quoted = L"\"" + module_.ModulePath() + L"\"";
  ASSERT_EQ(RunProcess(L"regsvr32 /s " + quoted, 60000), 0);
  ExpectClassKeys(true);
  ExpectListed(1);
  ASSERT_EQ(RunProcess(L"regsvr32 /s /u " + quoted, 60000), 0);
  ExpectClassKeys(false);
  ExpectListed(0);
  EXPECT_EQ(RunProcess(L"regsvr32 /s \"" + module_.Dir().File(L"ABSENT.AX") + L"\"", 60000), 3);
}

}  // namespace
