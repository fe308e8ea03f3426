#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "settings/ModulePaths.h"
#include "settings/ZentraSettings.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"

namespace {

using telvor::test::LogCapture;

constexpr wchar_t kMissingValue[] = L"COM error, hr=-2147024894";  // ERROR_FILE_NOT_FOUND
constexpr wchar_t kWrongType[] = L"COM error, hr=-2147024809";     // E_INVALIDARG

// Each test gets its own file name, hence its own registry key: tests of
// other programs run in parallel against the same Wine registry.
class Settings : public ::testing::Test {
 protected:
  Settings() : name_(telvor::test::UniqueName(L"settings") + L".INI"), path_(dir_.File(name_)) {}
  ~Settings() override { RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\TELVOR\\" + name_).c_str()); }

  std::wstring KeyPath() const { return L"Software\\TELVOR\\" + name_ + L"\\CONFIG"; }
  bool KeyExists() const {
    HKEY key = nullptr;
    const bool exists = RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath().c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) RegCloseKey(key);
    return exists;
  }
  void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, KeyPath().c_str(), name, type, data, bytes), ERROR_SUCCESS);
  }
  void SetText(const wchar_t* name, const std::wstring& text) {
    SetValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  std::wstring Text(const wchar_t* key, const wchar_t* fallback, int* count = nullptr) {
    wchar_t out[kConfigTextChars];
    const int stored = GetConfigString(path_.c_str(), key, fallback, out);
    if (count) *count = stored;
    return out;
  }
  int Int(const wchar_t* key, int fallback) { return GetConfigInt(key, fallback, path_.c_str()); }
  int Set(const wchar_t* key, const std::wstring& value) { return SetConfigString(path_.c_str(), key, value.c_str()); }

  telvor::test::TempDir dir_;
  std::wstring name_;
  std::wstring path_;
};

// The file's [CONFIG] section while the file exists, the registry key
// otherwise, decided again on every call; reading the file logs nothing.
TEST_F(Settings, TheFileWhileItExistsTheRegistryOtherwise) {
  telvor::test::WriteTextFile(path_, "[OTHER]\r\nNAME=wrong\r\n[CONFIG]\r\nNAME=Studio Cam\r\nWIDTH=1280\r\n");
  LogCapture capture;
  int count = -1;
  EXPECT_EQ(Text(L"NAME", L"x", &count), L"Studio Cam");
  EXPECT_EQ(count, 10);
  EXPECT_EQ(Text(L"ABSENT", L"fallback"), L"fallback");
  EXPECT_EQ(Text(L"ABSENT", nullptr), L"");
  EXPECT_EQ(Int(L"WIDTH", 7), 1280);
  EXPECT_EQ(Int(L"ABSENT", 7), 7);
  EXPECT_EQ(Set(L"FILTER.SCALE.STYLE.01", L"2"), 1);
  EXPECT_EQ(Text(L"FILTER.SCALE.STYLE.01", L""), L"2");
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_FALSE(KeyExists());

  SetText(L"NAME", L"from registry");
  EXPECT_EQ(Text(L"NAME", L""), L"Studio Cam");
  DeleteFileW(path_.c_str());
  EXPECT_EQ(Text(L"NAME", L""), L"from registry");
  EXPECT_EQ(Text(L"FILTER.SCALE.STYLE.01", L"none"), L"none");  // the write went to the file, now gone
  EXPECT_EQ(capture.Count(kMissingValue), 1u);
  // A directory of that name is no settings file either.
  ASSERT_TRUE(CreateDirectoryW(path_.c_str(), nullptr));
  EXPECT_EQ(Text(L"NAME", L""), L"from registry");
  RemoveDirectoryW(path_.c_str());
}

// Without the file, a read of a missing value logs one line, gives the
// default and creates the key for the user to fill in.
TEST_F(Settings, RegistryKeepsWrittenTextAndIntegersAndRefusesWrongTypes) {
  {
    LogCapture capture;
    EXPECT_EQ(Int(L"FILTERS", 1), 1);
    EXPECT_EQ(Text(L"FILTER.VIDEO.NAME.01", L""), L"");
    EXPECT_EQ(capture.Count(L"[TELVOR][ERROR]: ZentraSettings("), 2u);
    EXPECT_EQ(capture.Count(kMissingValue), 2u);
    EXPECT_EQ(capture.Lines().size(), 2u);
    EXPECT_TRUE(KeyExists());
  }
  for (const auto& [key, value] : {std::pair{L"NAME", L"Cam"}, {L"STYLE", L"2"}, {L"NEGATIVE", L"-640"}})
    EXPECT_EQ(Set(key, value), 1) << key;
  const DWORD dword = 1920;
  SetValue(L"DWORD", REG_DWORD, &dword, sizeof(dword));
  SetText(L"TEXT.INT", L"wide");
  SetText(L"OVERFLOW.INT", L"2147483648");
  const unsigned char blob[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  SetValue(L"BINARY.INT", REG_BINARY, blob, sizeof(blob));
  LogCapture capture;
  int count = 0;
  EXPECT_EQ(Text(L"NAME", L"", &count), L"Cam");
  EXPECT_EQ(count, 3);
  // Values of the wrong type give the default with an invalid-argument line each.
  const struct { const wchar_t* key; int value; } ints[] = {
      {L"STYLE", 2}, {L"NEGATIVE", -640}, {L"DWORD", 1920}, {L"TEXT.INT", 3}, {L"OVERFLOW.INT", 3}, {L"BINARY.INT", 3}};
  for (const auto& c : ints) EXPECT_EQ(Int(c.key, 3), c.value) << c.key;
  EXPECT_EQ(Text(L"DWORD", L"def"), L"def");
  EXPECT_EQ(capture.Count(kWrongType), 4u);
  EXPECT_EQ(capture.Lines().size(), 4u);
}

TEST_F(Settings, LongTextIsCutFromTheFileAndMissingFromTheRegistry) {
  telvor::test::WriteTextFile(path_, "[CONFIG]\r\nEXACT=" + std::string(1023, 'a') + "\r\nLONGER=" + std::string(1500, 'b'));
  int count = 0;
  EXPECT_EQ(Text(L"EXACT", L"", &count), std::wstring(1023, L'a'));
  EXPECT_EQ(count, 1023);
  EXPECT_EQ(Text(L"LONGER", L""), std::wstring(1023, L'b'));
  DeleteFileW(path_.c_str());
  SetText(L"FITS", std::wstring(511, L'c'));
  SetText(L"TOO.LONG", std::wstring(512, L'd'));
  LogCapture capture;
  EXPECT_EQ(Text(L"FITS", L"", &count), std::wstring(511, L'c'));
  EXPECT_EQ(count, 511);
  EXPECT_EQ(Text(L"TOO.LONG", L"short", &count), L"short");
  EXPECT_EQ(count, 0);
  EXPECT_EQ(capture.Count(L"COM error, hr=-2147024662"), 1u);  // ERROR_MORE_DATA
  // Stored text without its terminator is read to its end.
  const wchar_t raw[3] = {L'a', L'b', L'c'};
  SetValue(L"RAW", REG_SZ, raw, sizeof(raw));
  EXPECT_EQ(Text(L"RAW", L""), L"abc");
  EXPECT_EQ(Text(L"ABSENT", std::wstring(2000, L'e').c_str()), std::wstring(511, L'e')) << "the fallback is bounded";
}

// Garbage in the file (junk, a broken header, a long line, a NUL) never
// breaks a read, and the one-pass reader answers every key as the key-by-key
// read does, from the file and, without it, from the registry. Neither do bad
// key names and oversize values break a read or write.
TEST_F(Settings, GarbageAndBadNamesBreakNoReadAndTheListReaderAgreesWithSingleReads) {
  std::string file = "\x01\x80\xC3junk without equals\r\n[CONFIG\r\n=novalue\r\n[CONFIG]\r\nPLAIN=1920\r\n"
                     "  SPACED  =  12  \r\nQUOTED=\"640\"\r\nSINGLE='13'\r\nHALF=\"12\r\nNEG=-5\r\nPLUS=+5\r\n"
                     "SIGNS=+-5\r\nMIXED=12abc\r\nWORD=abc\r\nEMPTY=\r\nHEX=0x1F\r\nOCT=0o17\r\nBIN=0b101\r\n"
                     "UPPERHEX=0X1F\r\nNEGHEX=-0x10\r\nWRAP=4294967297\r\nHUGE=99999999999999999999999\r\n"
                     "COMMENT=8 ;c\r\nDUP=1\r\ndup=2\r\n;HIDDEN=4\r\nnoequals\r\n[OTHER]\r\nELSEWHERE=3\r\n"
                     "[config]\r\nSECOND=5\r\n" + std::string(5000, 'z') + "\r\n";
  file.push_back('\0');
  telvor::test::WriteTextFile(path_, file + "AFTERNUL=1\r\n");
  EXPECT_EQ(Int(L"NEG", 0), -5);
  EXPECT_EQ(Int(L"MIXED", 0), 12);
  EXPECT_EQ(Text(L"EMPTY", L"d"), L"");
  const ConfigIntReader fromFile(path_.c_str());
  for (const wchar_t* key : {L"PLAIN", L"SPACED", L"QUOTED", L"SINGLE", L"HALF", L"NEG", L"PLUS", L"SIGNS", L"MIXED",
                             L"WORD", L"EMPTY", L"HEX", L"OCT", L"BIN", L"UPPERHEX", L"NEGHEX", L"WRAP", L"HUGE",
                             L"COMMENT", L"DUP", L"dup", L"plain", L"HIDDEN", L"noequals", L"ELSEWHERE", L"SECOND",
                             L"ABSENT"})
    EXPECT_EQ(fromFile.Get(key, -7), Int(key, -7)) << key;
  const std::wstring hugeKey(20000, L'K');
  for (const wchar_t* key : {hugeKey.c_str(), static_cast<const wchar_t*>(nullptr), L""})
    EXPECT_EQ(Text(key, L"d"), L"d");
  EXPECT_EQ(SetConfigString(path_.c_str(), nullptr, L"x"), 0);
  EXPECT_EQ(Text(L"NEG", L""), L"-5");  // a null key did not wipe the section
  DeleteFileW(path_.c_str());
  const DWORD dword = 720;
  SetValue(L"DWORD", REG_DWORD, &dword, sizeof(dword));
  EXPECT_EQ(ConfigIntReader(path_.c_str()).Get(L"DWORD", 0), 720);
  EXPECT_EQ(Int(hugeKey.c_str(), 4), 4);
  EXPECT_EQ(Set(L"K", std::wstring(600, L'v')), 0);
  EXPECT_EQ(GetConfigString(path_.c_str(), L"K", L"", nullptr), 0);
}

ModulePaths PathsFor(const wchar_t* modulePath) {
  ModulePaths paths = {};
  DeriveSettingsPaths(modulePath, &paths);
  return paths;
}

TEST(SettingsPaths, SettingsFileAndFormatStemSitBesideTheModule) {
  const std::wstring deep = L"C:\\" + std::wstring(250, L'd') + L"\\TELVOR.AX";
  const struct { const wchar_t* module; const wchar_t* ini; const wchar_t* format; } cases[] = {
      {L"C:\\X\\TELVOR.AX", L"C:\\X\\TELVOR.INI", L"C:\\X\\TELVOR.FORMAT"},
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
  // The folder, where relative names in the settings start, is whole however deep.
  EXPECT_EQ(PathsFor(deep.c_str()).folder, L"C:\\" + std::wstring(250, L'd'));
  // The longest path that fits, terminator included, is kept.
  const std::wstring edge = L"C:\\" + std::wstring(kModulePathChars - 1 - 12, L'e') + L"\\T.AX";
  EXPECT_EQ(std::wstring(PathsFor(edge.c_str()).formatPath).size(), static_cast<size_t>(kModulePathChars - 1));
}

// Whole file names without regard to case, each host its own flag alone.
TEST(HostDetection, FileNamesMatchWholeWithoutRegardToCase) {
  ModulePaths paths = {};
  SetHostFileName(L"C:\\Program Files\\Skype\\SKYPE.EXE", &paths);
  const struct { const wchar_t* name; bool HostInfo::*flag; } hosts[] = {
      {paths.hostFileName, &HostInfo::isSkype}, {L"yymixer.EXE", &HostInfo::isYyMixer},
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
