#include <gtest/gtest.h>

#include <string>

#include "module/ModulePaths.h"
#include "support/LogCapture.h"

namespace {

using telvor::test::LogCapture;

ModulePaths PathsFor(const wchar_t* modulePath) {
  ModulePaths paths = {};
  DeriveSettingsPaths(modulePath, &paths);
  return paths;
}

TEST(SettingsPaths, SettingsFileAndFormatStemSitBesideTheModule) {
  ModulePaths paths = PathsFor(L"C:\\X\\TELVOR.AX");
  EXPECT_STREQ(paths.iniPath, L"C:\\X\\TELVOR.INI");
  EXPECT_STREQ(paths.formatPath, L"C:\\X\\TELVOR.FORMAT");

  paths = PathsFor(L"C:\\X\\A.B.AX");
  EXPECT_STREQ(paths.iniPath, L"C:\\X\\A.B.INI");
  EXPECT_STREQ(paths.formatPath, L"C:\\X\\A.FORMAT");

  // Dots in directory names are not extensions.
  paths = PathsFor(L"C:\\v1.2\\cams.d\\TELVOR");
  EXPECT_STREQ(paths.iniPath, L"C:\\v1.2\\cams.d\\TELVOR.INI");
  EXPECT_STREQ(paths.formatPath, L"C:\\v1.2\\cams.d\\TELVOR.FORMAT");
}

TEST(SettingsPaths, APathThatDoesNotFitStaysEmptyAndIsLogged) {
  LogCapture capture;
  const std::wstring deep = L"C:\\" + std::wstring(250, L'd') + L"\\TELVOR.AX";
  const ModulePaths paths = PathsFor(deep.c_str());
  EXPECT_STREQ(paths.iniPath, L"");
  EXPECT_STREQ(paths.formatPath, L"");
  EXPECT_EQ(capture.Count(L"[TELVOR][ERROR]: Path too long"), 2u);

  // The longest path that fits, terminator included, is kept.
  const std::wstring edge = L"C:\\" + std::wstring(kModulePathChars - 1 - 12, L'e') + L"\\T.AX";
  EXPECT_EQ(std::wstring(PathsFor(edge.c_str()).formatPath).size(), static_cast<size_t>(kModulePathChars - 1));
}

TEST(HostDetection, FileNamesMatchWithoutRegardToCase) {
  ModulePaths paths = {};
  SetHostFileName(L"C:\\Program Files\\Skype\\SKYPE.EXE", &paths);
  EXPECT_STREQ(paths.hostFileName, L"SKYPE.EXE");
  const HostInfo host = DetectHost(paths.hostFileName);
  EXPECT_TRUE(host.isSkype);
  EXPECT_FALSE(host.isAmcap || host.isVlc || host.isEdius || host.isYyMixer);
  EXPECT_TRUE(DetectHost(L"yymixer.EXE").isYyMixer);
  EXPECT_TRUE(DetectHost(L"DVSTREAMSIE.exe").isDvStreamsie);
  EXPECT_FALSE(DetectHost(L"skype.exe.bak").isSkype);
  EXPECT_FALSE(DetectHost(L"myskype.exe").isSkype);
  EXPECT_FALSE(DetectHost(nullptr).isSkype);
}

TEST(HostDetection, OnlyFourHostsHaveTagLinesInAFixedOrder) {
  LogCapture capture;
  const HostInfo all = {true, true, true, true, true, true, true};
  LogHostTags(all);
  const std::vector<std::wstring> expected = {L"[TELVOR] [AMCap]\n", L"[TELVOR] [Adobe Flash Media Live Encoder]\n",
                                              L"[TELVOR] [VLC media player]\n", L"[TELVOR] [Skype]\n"};
  EXPECT_EQ(capture.Texts(), expected);
}

}  // namespace
