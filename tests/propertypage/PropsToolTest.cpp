// telvor-props as a user runs it, for the cases that need no registration.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/CameraIndexes.h"
#include "support/WinTestSupport.h"

namespace telvor::test {
namespace {

TEST(PropsTool, BadArgumentsGetTheUsageAndAnUnregisteredCameraTheWayToRegisterIt) {
  // Camera numbers count from 1: this program's index is number index + 1,
  // and no test registers it.
  const std::wstring unregistered = std::to_wstring(kPropertyPageCameras + 1);
  const std::string moduleFile(kModuleFileName, kModuleFileName + wcslen(kModuleFileName));
  const struct {
    std::wstring arguments;
    int exitCode;
    std::string said;
  } runs[] = {{L"", 1, "usage: telvor-props <camera number>"}, {L"0", 1, "usage:"}, {L"65", 1, "usage:"},
              {L"-3", 1, "usage:"}, {L"1x", 1, "usage:"}, {L"camera", 1, "usage:"}, {L"1 2", 1, "usage:"},
              {unregistered, 2, "camera " + std::to_string(kPropertyPageCameras + 1) + " is not registered"},
              {unregistered, 2, "regsvr32 " + moduleFile}};
  TempDir dir;
  const std::wstring program = BuildTreePath(L"tools/props/telvor-props.exe"), log = dir.File(L"props.out");
  for (const auto& run : runs) {
    SCOPED_TRACE(std::string(run.arguments.begin(), run.arguments.end()));
    EXPECT_EQ(RunProcess(L"\"" + program + L"\" " + run.arguments, 30000, log), run.exitCode);
    const std::string output = ReadFileBytes(log);
    EXPECT_NE(output.find(run.said), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace telvor::test
