#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ModuleFixture.h"
#include "support/DeviceRegistry.h"

namespace {

using namespace telvor::test;

size_t CountContaining(const std::vector<std::wstring>& lines, const std::wstring& text) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) { return l.find(text) != l.npos; });
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

TEST(LoadedModule, ReadsTheSettingsBesideItAndServesOnlyTheConfiguredCameras) {
  LoadedModuleCopy module(kModuleFileName, "FILTERS=2\r\nFILTER.VIDEO.NAME.01=Dll Cam\r\nFILTER.COLORSPACE.01=RGB24\r\n");
  ASSERT_TRUE(module.Load());
  // The settings file is present: no registry fallback, so no error lines.
  EXPECT_EQ(CountContaining(module.LogLines(), L"[TELVOR][ERROR]"), 0u);
  EXPECT_EQ(ClassObject(module, VideoFilterIdText(0)), S_OK);
  EXPECT_EQ(ClassObject(module, PropertyPageIdText(0)), S_OK);
  for (const auto& id : {AudioFilterIdText(0), VideoFilterIdText(1), PropertyPageIdText(1)})
    EXPECT_EQ(ClassObject(module, id), CLASS_E_CLASSNOTAVAILABLE) << id;
}

// Host detection seen from a host program copied under each name: the
// module takes the name of the program that loaded it, not its own.
TEST(LoadedModule, HostProgramsAreRecognisedByTheirFileName) {
  LoadedModuleCopy module(kModuleFileName, "FILTERS=0\r\n");
  const struct {
    const wchar_t* host;
    size_t skypeTags;
  } hosts[] = {{L"Skype.exe", 1}, {L"probe.exe", 0}};
  for (const auto& host : hosts) {
    SCOPED_TRACE(host.host);
    const std::wstring program = module.Dir().File(host.host), log = program + L".log";
    ASSERT_TRUE(CopyFileTo(BuildTreePath(L"tests/module/telvor_host_probe.exe"), program));
    LoadedModuleCopy::SetLogTarget(log);
    ASSERT_EQ(RunProcess(L"\"" + program + L"\" \"" + module.ModulePath() + L"\"", 30000), 0);
    const std::vector<std::wstring> lines = LoadedModuleCopy::ReadLogLines(log);
    EXPECT_EQ(CountContaining(lines, std::wstring(L"[TELVOR] Host file name: ") + host.host), 1u);
    EXPECT_EQ(CountContaining(lines, L"[TELVOR] [Skype]"), host.skypeTags);
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
    const std::vector<std::wstring> lines = LoadedModuleCopy::ReadLogLines(log);
    EXPECT_EQ(CountContaining(lines, L"[Corvane::Corvane]"), 1u);
    EXPECT_EQ(CountContaining(lines, L"[Corvane::~Corvane]"), end == L"free" ? 1u : 0u);
  }
}

}  // namespace
