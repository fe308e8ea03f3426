#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ModuleFixture.h"
#include "support/DeviceRegistry.h"
#include "telvor_version.h"

namespace {

using namespace telvor::test;

bool IsEntryLine(const std::wstring& line, const std::wstring& event) {
  const std::wstring tail = L"): [DllMain] " + event;
  return line.rfind(L"[TELVOR] dllmain(", 0) == 0 && line.size() > tail.size() &&
         line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}
size_t CountOf(const std::vector<std::wstring>& lines, const std::wstring& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// The class object's result; a failure must also clear the out pointer.
HRESULT ClassObject(const LoadedModuleCopy& module, const std::wstring& clsid) {
  IUnknown* object = reinterpret_cast<IUnknown*>(1);
  const HRESULT hr = module.GetClassObject(clsid.c_str(), &object);
  if (SUCCEEDED(hr) && object) object->Release();
  if (FAILED(hr)) {
    EXPECT_EQ(object, nullptr);
  }
  return hr;
}

TEST(LoadedModule, AttachLogsTheHostAndTheCamerasThenServesOnlyThose) {
  LoadedModuleCopy module(kModuleFileName, "FILTERS=2\r\nFILTER.VIDEO.NAME.01=Dll Cam\r\nFILTER.COLORSPACE.01=RGB24\r\n");
  ASSERT_TRUE(module.Load());
  const std::vector<std::wstring> lines = module.LogLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_TRUE(IsEntryLine(lines[0], L"DLL_PROCESS_ATTACH")) << lines[0];
  // The table's own lines are CameraTableBuild's; here: built at attach, after the host line.
  auto next = lines.begin();
  for (const wchar_t* want :
       {L"[TELVOR] Host file name: telvor_module_dll_tests.exe", L"[TELVOR] REGISTER VIDEO FILTER 1 : Dll Cam"}) {
    next = std::find(next, lines.end(), want);
    ASSERT_NE(next, lines.end()) << "missing or out of order: " << want;
  }
  const std::wstring version = std::wstring(L"[TELVOR] TELVOR " TELVOR_VERSION_W) +
                               (sizeof(void*) == 8 ? L" (64-bit)" : L" (32-bit)") + L" loaded from ";
  EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.rfind(version, 0) == 0; }));
  // The settings file is present: no registry fallback, so no error lines.
  for (const std::wstring& line : lines) EXPECT_EQ(line.rfind(L"[TELVOR][ERROR]", 0), std::wstring::npos) << line;

  EXPECT_EQ(ClassObject(module, VideoFilterIdText(0)), S_OK);
  EXPECT_EQ(ClassObject(module, PropertyPageIdText(0)), S_OK);
  for (const auto& id : {AudioFilterIdText(0), VideoFilterIdText(1), PropertyPageIdText(1)})
    EXPECT_EQ(ClassObject(module, id), CLASS_E_CLASSNOTAVAILABLE) << id;

  module.Unload();
  const std::vector<std::wstring> after = module.LogLines();
  EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const auto& l) { return IsEntryLine(l, L"DLL_PROCESS_DETACH"); }));
}

TEST(LoadedModule, WithoutAnySettingsItOffersNothingAndLogsEachRead) {
  // A unique module name gives a registry fallback key no other test uses.
  const std::wstring stem = UniqueName(L"T");
  LoadedModuleCopy module(stem + L".AX", "");
  ASSERT_TRUE(module.Load());
  const std::vector<std::wstring> lines = module.LogLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::wstring& l) {
                            return l.rfind(L"[TELVOR][ERROR]: ZentraSettings(", 0) == 0 &&
                                   l.find(L"): COM error, hr=-2147024894") != std::wstring::npos;
                          }),
            3);  // FILTERS and the two names of camera 1
  EXPECT_EQ(ClassObject(module, VideoFilterIdText(0)), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(ClassObject(module, PropertyPageIdText(0)), CLASS_E_CLASSNOTAVAILABLE);
  RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\TELVOR\\" + stem + L".INI").c_str());  // made by the first read
}

// Host detection and its tag lines, seen from a host program copied under each name.
TEST(LoadedModule, HostProgramsAreRecognisedByTheirFileName) {
  LoadedModuleCopy module(kModuleFileName, "FILTERS=0\r\n");
  const struct {
    const wchar_t* host;
    const wchar_t* tag;
  } hosts[] = {{L"AMCAP.EXE", L"[TELVOR] [AMCap]"}, {L"Skype.exe", L"[TELVOR] [Skype]"}, {L"probe.exe", nullptr}};
  for (const auto& host : hosts) {
    SCOPED_TRACE(host.host);
    const std::wstring program = module.Dir().File(host.host), log = program + L".log";
    ASSERT_TRUE(CopyFileTo(BuildTreePath(L"tests/module/telvor_host_probe.exe"), program));
    LoadedModuleCopy::SetLogTarget(log);
    ASSERT_EQ(RunProcess(L"\"" + program + L"\" \"" + module.ModulePath() + L"\"", 30000), 0);
    const std::vector<std::wstring> lines = LoadedModuleCopy::ReadLogLines(log);
    EXPECT_EQ(CountOf(lines, std::wstring(L"[TELVOR] Host file name: ") + host.host), 1u);
    for (const wchar_t* tag : {L"[TELVOR] [Skype]", L"[TELVOR] [AMCap]", L"[TELVOR] [VLC media player]",
                               L"[TELVOR] [Adobe Flash Media Live Encoder]"})
      EXPECT_EQ(CountOf(lines, tag), host.tag && std::wstring(tag) == host.tag ? 1u : 0u) << tag;
  }
}

TEST(LoadedModule, ALeakedFilterIsReleasedWhenTheModuleIsFreedButNotWhenTheProcessEnds) {
  // At the process's end other modules may still hold the filter and
  // release it after us: it must outlive our detach then.
  LoadedModuleCopy module(kModuleFileName, "FILTERS=1\r\nFILTER.VIDEO.NAME.01=Dll Cam\r\n");
  const std::wstring program = module.Dir().File(L"probe.exe");
  ASSERT_TRUE(CopyFileTo(BuildTreePath(L"tests/module/telvor_host_probe.exe"), program));
  for (const std::wstring end : {L"free", L"exit"}) {
    SCOPED_TRACE(end);
    const std::wstring log = module.Dir().File(end + L".log");
    LoadedModuleCopy::SetLogTarget(log);
    ASSERT_EQ(RunProcess(L"\"" + program + L"\" \"" + module.ModulePath() + L"\" " + VideoFilterIdText(0) + L" " + end,
                         30000),
              0);
    size_t created = 0, destroyed = 0;
    for (const std::wstring& line : LoadedModuleCopy::ReadLogLines(log)) {
      created += line.find(L"[Corvane::Corvane]") != std::wstring::npos;
      destroyed += line.find(L"[Corvane::~Corvane]") != std::wstring::npos;
    }
    EXPECT_EQ(created, 1u);
    EXPECT_EQ(destroyed, end == L"free" ? 1u : 0u);
  }
}

}  // namespace
