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
  const struct {
    const wchar_t* module;
    const wchar_t* ini;
    const wchar_t* format;
  } cases[] = {{L"C:\\X\\TELVOR.AX", L"C:\\X\\TELVOR.INI", L"C:\\X\\TELVOR.FORMAT"},
               {L"C:\\X\\A.B.AX", L"C:\\X\\A.B.INI", L"C:\\X\\A.FORMAT"},
               // The 32-bit module shares the settings of the 64-bit one beside it.
               {L"C:\\X\\TELVOR32.AX", L"C:\\X\\TELVOR.INI", L"C:\\X\\TELVOR.FORMAT"},
               {L"C:\\X\\32.AX", L"C:\\X\\32.INI", L"C:\\X\\32.FORMAT"},
               // Dots in directory names are not extensions.
               {L"C:\\v1.2\\cams.d\\TELVOR", L"C:\\v1.2\\cams.d\\TELVOR.INI", L"C:\\v1.2\\cams.d\\TELVOR.FORMAT"}};
  for (const auto& c : cases) {
    const ModulePaths paths = PathsFor(c.module);
    EXPECT_STREQ(paths.iniPath, c.ini);
    EXPECT_STREQ(paths.formatPath, c.format);
  }
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

TEST(HostDetection, FileNamesMatchWholeWithoutRegardToCase) {
  ModulePaths paths = {};
  SetHostFileName(L"C:\\Program Files\\Skype\\SKYPE.EXE", &paths);
  EXPECT_STREQ(paths.hostFileName, L"SKYPE.EXE");
  const HostInfo host = DetectHost(paths.hostFileName);
  EXPECT_TRUE(host.isSkype && !host.isAmcap && !host.isVlc && !host.isEdius && !host.isYyMixer);
  EXPECT_TRUE(DetectHost(L"yymixer.EXE").isYyMixer);
  EXPECT_TRUE(DetectHost(L"DVSTREAMSIE.exe").isDvStreamsie);
  for (const wchar_t* other : {L"skype.exe.bak", L"myskype.exe", static_cast<const wchar_t*>(nullptr)})
    EXPECT_FALSE(DetectHost(other).isSkype);
}

}  // namespace
