#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/ModulePaths.h"

namespace {

ModulePaths PathsFor(const wchar_t* modulePath) {
  ModulePaths paths = {};
  DeriveSettingsPaths(modulePath, &paths);
  return paths;
}

TEST(SettingsPaths, SettingsFileAndFormatStemSitBesideTheModule) {
  const std::wstring deep = L"C:\\" + std::wstring(250, L'd') + L"\\TELVOR.AX";
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
               {L"C:\\v1.2\\cams.d\\TELVOR", L"C:\\v1.2\\cams.d\\TELVOR.INI", L"C:\\v1.2\\cams.d\\TELVOR.FORMAT"},
               // A path that does not fit stays empty.
               {deep.c_str(), L"", L""}};
  for (const auto& c : cases) {
    const ModulePaths paths = PathsFor(c.module);
    EXPECT_STREQ(paths.iniPath, c.ini);
    EXPECT_STREQ(paths.formatPath, c.format);
  }
  // The longest path that fits, terminator included, is kept.
  const std::wstring edge = L"C:\\" + std::wstring(kModulePathChars - 1 - 12, L'e') + L"\\T.AX";
  EXPECT_EQ(std::wstring(PathsFor(edge.c_str()).formatPath).size(), static_cast<size_t>(kModulePathChars - 1));
}

// Whole file names without regard to case, each host its own flag alone.
TEST(HostDetection, FileNamesMatchWholeWithoutRegardToCase) {
  ModulePaths paths = {};
  SetHostFileName(L"C:\\Program Files\\Skype\\SKYPE.EXE", &paths);
  const struct {
    const wchar_t* name;
    bool HostInfo::*flag;
  } hosts[] = {{paths.hostFileName, &HostInfo::isSkype}, {L"yymixer.EXE", &HostInfo::isYyMixer},
               {L"DVSTREAMSIE.exe", &HostInfo::isDvStreamsie}, {L"amcap.exe", &HostInfo::isAmcap},
               {L"skype.exe.bak", nullptr}, {L"myskype.exe", nullptr}, {nullptr, nullptr}};
  for (const auto& host : hosts) {
    HostInfo want = {};
    if (host.flag) want.*host.flag = true;
    const HostInfo got = DetectHost(host.name);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof want), 0) << (host.name ? host.name : L"(null)");
  }
  EXPECT_STREQ(paths.hostFileName, L"SKYPE.EXE");
}

}  // namespace
