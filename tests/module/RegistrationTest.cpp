#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>

#include <cstring>
#include <string>

#include "support/ModuleFixture.h"
#include "support/CameraIndexes.h"
#include "support/DeviceRegistry.h"

namespace {

using namespace telvor::test;

// Holds the "devices" lock; other programs that register cameras use other indexes.
constexpr int kCameras[] = {kRegistrationCameras, kRegistrationCameras + 1};

std::string CameraLines(const std::wstring& tag) {
  std::string lines = "FILTERS=10\r\n";
  for (int index : kCameras) {
    const std::string n = (index < 9 ? "0" : "") + std::to_string(index + 1), t(tag.begin(), tag.end());
    for (const char* kind : {"VIDEO", "AUDIO"})
      lines += "FILTER." + std::string(kind) + ".NAME." + n + "=" + t + " " + kind + " " + n + "\r\n";
  }
  return lines;
}

HRESULT CallExport(const LoadedModuleCopy& module, const char* name) {
  auto function = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(module.Export(name));
  return function ? function() : E_UNEXPECTED;
}

TEST(Registration, WritesServerKeysAndDeviceEntriesOnceAndRemovesThem) {
  CoInitialize(nullptr);
  const std::wstring tag = UniqueName(L"Reg");
  // A folder name outside the ANSI code page, as users of other scripts have.
  LoadedModuleCopy module(kModuleFileName, CameraLines(tag), L"Камера 相机");
  ASSERT_TRUE(module.Load());
  const int first = kCameras[0];
  // The settings beside the module serve (no registry fallback, so no error
  // line), and only the configured cameras have class objects.
  EXPECT_EQ(module.Log().find("[TELVOR][ERROR]"), std::string::npos) << module.Log();
  for (const auto& [id, served] : {std::pair{VideoFilterIdText(first), S_OK}, {PropertyPageIdText(first), S_OK},
                                   {VideoFilterIdText(0), CLASS_E_CLASSNOTAVAILABLE},
                                   {AudioFilterIdText(10), CLASS_E_CLASSNOTAVAILABLE}}) {
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(module.GetClassObject(id.c_str(), &object), served) << id;
    EXPECT_EQ(object != nullptr, served == S_OK) << id;  // a failure clears the out pointer
    if (served == S_OK && object) object->Release();
  }
  auto name = [&](const wchar_t* kind, int index) {
    return tag + L" " + kind + (index < 9 ? L" 0" : L" ") + std::to_wstring(index + 1);
  };
  auto call = [&](const char* function) { return CallExport(module, function); };
  // Class keys present or not, and each filter listed `times` under its own category only.
  auto expectRegistered = [&](size_t times) {
    for (int index : kCameras) {
      for (const auto& id : {VideoFilterIdText(index), AudioFilterIdText(index), PropertyPageIdText(index)})
        EXPECT_EQ(ClassKeyExists(id), times > 0) << id;
      EXPECT_EQ(DeviceListed(CLSID_VideoInputDeviceCategory, name(L"VIDEO", index)), times) << index;
      EXPECT_EQ(DeviceListed(CLSID_AudioInputDeviceCategory, name(L"AUDIO", index)), times) << index;
      EXPECT_EQ(DeviceListed(CLSID_VideoInputDeviceCategory, name(L"AUDIO", index)), 0u) << index;
    }
  };
  ASSERT_EQ(call("DllRegisterServer"), S_OK);
  expectRegistered(1);
  const std::wstring video = L"CLSID\\" + VideoFilterIdText(first);
  EXPECT_EQ(RegistryText(HKEY_CLASSES_ROOT, video, nullptr), name(L"VIDEO", first));
  // The page carries the camera's video name.
  EXPECT_EQ(RegistryText(HKEY_CLASSES_ROOT, L"CLSID\\" + PropertyPageIdText(first), nullptr), name(L"VIDEO", first));
  EXPECT_EQ(CompareStringOrdinal(RegistryText(HKEY_CLASSES_ROOT, video + L"\\InprocServer32", nullptr).c_str(), -1,
                                 module.ModulePath().c_str(), -1, TRUE),
            CSTR_EQUAL);
  EXPECT_EQ(RegistryText(HKEY_CLASSES_ROOT, video + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  // COM loads the camera from what was registered.
  CLSID videoId = GUID_NULL;
  CLSIDFromString(VideoFilterIdText(first).c_str(), &videoId);
  IBaseFilter* filter = nullptr;
  EXPECT_EQ(CoCreateInstance(videoId, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&filter)),
            S_OK);
  if (filter) {
    EXPECT_EQ(filter->Release(), 0u);
  }
  // One output pin: any video for the video filter, PCM for the audio filter.
  EXPECT_TRUE(MapperFindsByOutput(VideoFilterIdText(first), MEDIATYPE_Video, MEDIASUBTYPE_YUY2));
  EXPECT_FALSE(MapperFindsByOutput(VideoFilterIdText(first), MEDIATYPE_Audio, MEDIASUBTYPE_PCM));
  EXPECT_TRUE(MapperFindsByOutput(AudioFilterIdText(first), MEDIATYPE_Audio, MEDIASUBTYPE_PCM));

  ASSERT_EQ(call("DllRegisterServer"), S_OK);
  expectRegistered(1);
  ASSERT_EQ(call("DllUnregisterServer"), S_OK);
  expectRegistered(0);
  EXPECT_EQ(call("DllUnregisterServer"), S_OK);  // nothing left to remove
  module.Unload();
  CoUninitialize();
}

// A folder deeper than MAX_PATH: registration takes the whole path. The
// settings path cannot fit, so the module reads the key of no file.
TEST(RegistrationPath, ModuleInADeepFolderRegisters) {
  LoadedModuleCopy module(kModuleFileName, "", std::wstring(240, L'd'));
  ASSERT_GT(module.ModulePath().size(), static_cast<size_t>(MAX_PATH));
  ASSERT_TRUE(module.Load());
  EXPECT_EQ(CallExport(module, "DllRegisterServer"), S_OK);
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\TELVOR\\CONFIG");
}

// The module in that folder shows an idle picture named relative to it,
// though its settings come from the key of no file: the picture is the
// module folder's, not the host's current folder's.
TEST(RegistrationPath, ModuleInADeepFolderFindsItsIdlePictureThere) {
  LoadedModuleCopy module(kModuleFileName, "", std::wstring(240, L'd'));
  const std::wstring folder = module.ModulePath().substr(0, module.ModulePath().rfind(L'\\'));
  const wchar_t* key = L"Software\\TELVOR\\CONFIG";
  const DWORD cameras = kCameras[1] + 1;
  RegSetKeyValueW(HKEY_CURRENT_USER, key, L"FILTERS", REG_DWORD, &cameras, sizeof cameras);
  for (const auto& [name, value] :
       {std::pair{L"FILTER.VIDEO.NAME.", L"Deep camera"}, {L"FILTER.IDLE.IMAGE.", L"idle.bmp"}})
    RegSetKeyValueW(HKEY_CURRENT_USER, key, (name + std::to_wstring(cameras)).c_str(), REG_SZ, value,
                    static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  std::string bmp(58, '\0');  // 1 x 1, 24 bits
  for (const auto& [at, value] : {std::pair{2, 58}, {10, 54}, {14, 40}, {18, 1}, {22, 1}, {26, 1 | 24 << 16}})
    std::memcpy(&bmp[at], &value, 4);
  bmp[0] = 'B', bmp[1] = 'M';
  WriteTextFile(folder + L"\\idle.bmp", bmp);
  ASSERT_TRUE(module.Load());
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  IUnknown* object = nullptr;
  IClassFactory* factory = nullptr;
  IBaseFilter *filter = nullptr, *renderer = nullptr;
  IGraphBuilder* graph = nullptr;
  IEnumPins* pins = nullptr;
  IPin* output = nullptr;
  const CLSID nullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
  ASSERT_EQ(module.GetClassObject(VideoFilterIdText(kCameras[1]).c_str(), &object), S_OK);
  ASSERT_TRUE(object->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)) == S_OK &&
              factory->CreateInstance(nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter)) == S_OK &&
              CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)) == S_OK &&
              CoCreateInstance(nullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&renderer)) == S_OK &&
              graph->AddFilter(filter, L"camera") == S_OK && graph->AddFilter(renderer, L"renderer") == S_OK &&
              filter->EnumPins(&pins) == S_OK && pins->Next(1, &output, nullptr) == S_OK &&
              graph->Render(output) == S_OK);
  const std::string shown = "\\" + std::string(240, 'd') + "\\idle.bmp 1x1";
  for (int i = 0; i < 200 && module.Log().find(shown) == std::string::npos; ++i) Sleep(50);
  EXPECT_NE(module.Log().find(shown), std::string::npos) << module.Log();
  for (IUnknown* held : std::initializer_list<IUnknown*>{output, pins, graph, renderer, filter, factory, object})
    held->Release();
  module.Unload();
  CoUninitialize();
  RegDeleteKeyW(HKEY_CURRENT_USER, key);
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A host program (the probe copied under the host's file name) loads the
// module and leaks a filter. The module takes the name of the program that
// loaded it, not its own. At the process's end other modules may still hold
// the filter and release it after us: it must outlive our detach then, and
// go only when the module itself is freed. A host that frees the module
// under a graph it leaked running keeps the module until the graph's
// threads end: their code stays there, and nothing waits for them while
// the loader is locked.
TEST(LoadedModule, RecognisesTheHostByItsFileNameAndReleasesALeakedFilterOnlyWhenFreed) {
  LoadedModuleCopy module(kModuleFileName, "FILTERS=1\r\nFILTER.VIDEO.NAME.01=Dll Cam\r\n");
  const struct { const wchar_t* host; const wchar_t* end; size_t skypeTags, destroyed; } runs[] = {
      {L"Skype.exe", L"free", 1, 1}, {L"probe.exe", L"exit", 0, 0}, {L"leaky.exe", L"run", 0, 0}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.host);
    const std::wstring program = module.Dir().File(run.host), log = program + L".log";
    ASSERT_TRUE(CopyFileTo(BuildTreePath(L"tests/module/telvor_host_probe.exe"), program));
    LoadedModuleCopy::SetLogTarget(log);
    ASSERT_EQ(RunProcess(L"\"" + program + L"\" \"" + module.ModulePath() + L"\" " + VideoFilterIdText(0) + L" " +
                             run.end, 30000), 0);
    const std::string lines = ReadFileBytes(log), host(run.host, run.host + wcslen(run.host));
    EXPECT_EQ(Occurrences(lines, "[TELVOR] Host file name: " + host), 1u) << lines;
    EXPECT_EQ(Occurrences(lines, "[TELVOR] [Skype]"), run.skypeTags) << lines;
    EXPECT_EQ(Occurrences(lines, "[Corvane::Corvane]"), 1u) << lines;
    EXPECT_EQ(Occurrences(lines, "[Corvane::~Corvane]"), run.destroyed) << lines;
  }
}

}  // namespace
