#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ModuleFixture.h"
#include "support/DeviceRegistry.h"

namespace {

using namespace telvor::test;

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// A host program (the probe copied under the host's file name) loads the
// module and leaks a filter. The module takes the name of the program that
// loaded it, not its own. At the process's end other modules may still hold
// the filter and release it after us: it must outlive our detach then, and
// go only when the module itself is freed.
TEST(LoadedModule, RecognisesTheHostByItsFileNameAndReleasesALeakedFilterOnlyWhenFreed) {
  LoadedModuleCopy module(kModuleFileName, "FILTERS=1\r\nFILTER.VIDEO.NAME.01=Dll Cam\r\n");
  const struct {
    const wchar_t* host;
    const wchar_t* end;
    size_t skypeTags, destroyed;
  } runs[] = {{L"Skype.exe", L"free", 1, 1}, {L"probe.exe", L"exit", 0, 0}};
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
