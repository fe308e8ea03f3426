// telvor-props as a user runs it, for the cases that need no registration.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/CameraIndexes.h"
#include "support/WinTestSupport.h"

namespace telvor::test {
namespace {

struct ToolRun {
  int exitCode;
  std::string output;
};

ToolRun RunProps(const std::wstring& arguments) {
  TempDir dir;
  const std::wstring log = dir.File(L"props.out");
  const std::wstring program = BuildTreePath(L"tools/props/telvor-props.exe");
  const int code = RunProcess(L"\"" + program + L"\" " + arguments, 30000, log);
  return {code, ReadFileBytes(log)};
}

TEST(PropsTool, AnythingButOneCameraNumberFrom1To64GetsTheUsage) {
  for (const wchar_t* arguments : {L"", L"0", L"65", L"-3", L"1x", L"camera", L"1 2"}) {
    const ToolRun run = RunProps(arguments);
    EXPECT_EQ(run.exitCode, 1) << std::string(arguments, arguments + wcslen(arguments));
    EXPECT_NE(run.output.find("usage: telvor-props <camera number>"), std::string::npos) << run.output;
  }
}

TEST(PropsTool, AnUnregisteredCameraIsNamedWithTheWayToRegisterIt) {
  // Camera numbers count from 1: this program's index is number index + 1,
  // and no test registers it.
  const int number = kPropertyPageCameras + 1;
  const ToolRun run = RunProps(std::to_wstring(number));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.output.find("camera " + std::to_string(number) + " is not registered"), std::string::npos)
      << run.output;
  const std::wstring moduleFile = kModuleFileName;
  EXPECT_NE(run.output.find("{992DFFB6-575E-47D4-A9CE-D763D7FF3B07}"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("regsvr32 " + std::string(moduleFile.begin(), moduleFile.end())), std::string::npos) << run.output;
}

}  // namespace
}  // namespace telvor::test
