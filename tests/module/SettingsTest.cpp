#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "module/ZentraSettings.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"

namespace {

using telvor::test::LogCapture;
using telvor::test::TempDir;
using telvor::test::UniqueName;
using telvor::test::WriteTextFile;

constexpr wchar_t kMissingValue[] = L"hr=-2147024894";  // ERROR_FILE_NOT_FOUND
constexpr wchar_t kWrongType[] = L"hr=-2147024809";     // E_INVALIDARG

// Each test gets its own file name, hence its own registry key: tests of
// other programs run in parallel against the same Wine registry.
class Settings : public ::testing::Test {
 protected:
  Settings() : name_(UniqueName(L"settings") + L".INI"), path_(dir_.File(name_)) {}
  ~Settings() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\TELVOR\\" + name_).c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, (L"Software\\TELVOR\\" + name_).c_str());
  }

  std::wstring RegistryKeyPath() const { return L"Software\\TELVOR\\" + name_ + L"\\CONFIG"; }
  bool RegistryKeyExists() const {
    HKEY key = nullptr;
    const bool exists = RegOpenKeyExW(HKEY_CURRENT_USER, RegistryKeyPath().c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) RegCloseKey(key);
    return exists;
  }
  void SetRegistryValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, RegistryKeyPath().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
  }
  void SetRegistryText(const wchar_t* name, const std::wstring& text) {
    SetRegistryValue(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  std::wstring ReadString(const wchar_t* key, const wchar_t* fallback, int* count = nullptr) {
    wchar_t out[kConfigTextChars];
    const int stored = GetConfigString(path_.c_str(), key, fallback, out);
    if (count) *count = stored;
    return out;
  }

  TempDir dir_;
  std::wstring name_;
  std::wstring path_;
};

TEST_F(Settings, FileValuesAreReadAndWrittenInItsConfigSectionOnly) {
  WriteTextFile(path_, "[OTHER]\r\nNAME=wrong\r\n[CONFIG]\r\nNAME=Studio Cam\r\nWIDTH=1280\r\n");
  LogCapture capture;
  int count = -1;
  EXPECT_EQ(ReadString(L"NAME", L"x", &count), L"Studio Cam");
  EXPECT_EQ(count, 10);
  EXPECT_EQ(ReadString(L"ABSENT", L"fallback"), L"fallback");
  EXPECT_EQ(ReadString(L"ABSENT", nullptr), L"");
  EXPECT_EQ(GetConfigInt(L"WIDTH", 7, path_.c_str()), 1280);
  EXPECT_EQ(GetConfigInt(L"ABSENT", 7, path_.c_str()), 7);
  EXPECT_EQ(SetConfigString(path_.c_str(), L"FILTER.SCALE.STYLE.01", L"2"), 1);
  wchar_t raw[64];
  GetPrivateProfileStringW(L"CONFIG", L"FILTER.SCALE.STYLE.01", L"", raw, 64, path_.c_str());
  EXPECT_STREQ(raw, L"2");
  EXPECT_TRUE(capture.Lines().empty());
  EXPECT_FALSE(RegistryKeyExists());
}

TEST_F(Settings, WithoutTheFileAReadLogsOneLineGivesTheDefaultAndCreatesTheKey) {
  LogCapture capture;
  EXPECT_EQ(GetConfigInt(L"FILTERS", 1, path_.c_str()), 1);
  EXPECT_EQ(ReadString(L"FILTER.VIDEO.NAME.01", L""), L"");
  const auto errors = capture.Matching(L"[TELVOR][ERROR]: ZentraSettings(");
  ASSERT_EQ(errors.size(), 2u);
  for (const auto& line : errors) {
    EXPECT_NE(line.find(std::wstring(L"): COM error, ") + kMissingValue), std::wstring::npos) << line;
  }
  EXPECT_EQ(capture.Lines().size(), 2u);
  EXPECT_TRUE(RegistryKeyExists());
}

TEST_F(Settings, RegistryKeepsWrittenTextAndIntegersAndRefusesWrongTypes) {
  EXPECT_EQ(SetConfigString(path_.c_str(), L"NAME", L"Cam"), 1);
  EXPECT_EQ(SetConfigString(path_.c_str(), L"STYLE", L"2"), 1);
  EXPECT_EQ(SetConfigString(path_.c_str(), L"NEGATIVE", L"-640"), 1);
  const DWORD dword = 1920;
  SetRegistryValue(L"DWORD", REG_DWORD, &dword, sizeof(dword));
  SetRegistryText(L"TEXT.INT", L"wide");
  SetRegistryText(L"OVERFLOW.INT", L"2147483648");
  const unsigned char blob[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  SetRegistryValue(L"BINARY.INT", REG_BINARY, blob, sizeof(blob));
  LogCapture capture;
  int count = 0;
  EXPECT_EQ(ReadString(L"NAME", L"", &count), L"Cam");
  EXPECT_EQ(count, 3);
  EXPECT_EQ(GetConfigInt(L"STYLE", 0, path_.c_str()), 2);
  EXPECT_EQ(GetConfigInt(L"NEGATIVE", 0, path_.c_str()), -640);
  EXPECT_EQ(GetConfigInt(L"DWORD", 0, path_.c_str()), 1920);
  EXPECT_TRUE(capture.Lines().empty());
  // Wrong types give the default with an invalid-argument line each.
  EXPECT_EQ(GetConfigInt(L"TEXT.INT", 3, path_.c_str()), 3);
  EXPECT_EQ(GetConfigInt(L"OVERFLOW.INT", 3, path_.c_str()), 3);
  EXPECT_EQ(GetConfigInt(L"BINARY.INT", 3, path_.c_str()), 3);
  EXPECT_EQ(ReadString(L"DWORD", L"def"), L"def");
  EXPECT_EQ(capture.Count(kWrongType), 4u);
  EXPECT_EQ(capture.Lines().size(), 4u);
}

TEST_F(Settings, StoreFollowsTheFileOnEveryCall) {
  ASSERT_EQ(SetConfigString(path_.c_str(), L"NAME", L"from registry"), 1);
  EXPECT_EQ(ReadString(L"NAME", L""), L"from registry");

  WriteTextFile(path_, "[CONFIG]\r\nNAME=from file\r\n");
  EXPECT_EQ(ReadString(L"NAME", L""), L"from file");
  ASSERT_EQ(SetConfigString(path_.c_str(), L"OTHER", L"1"), 1);

  DeleteFileW(path_.c_str());
  EXPECT_EQ(ReadString(L"NAME", L""), L"from registry");
  LogCapture capture;
  EXPECT_EQ(ReadString(L"OTHER", L"none"), L"none");  // the write went to the file, now gone
  EXPECT_EQ(capture.Count(kMissingValue), 1u);

  // A directory of that name is no settings file either.
  ASSERT_TRUE(CreateDirectoryW(path_.c_str(), nullptr));
  EXPECT_EQ(ReadString(L"NAME", L""), L"from registry");
  RemoveDirectoryW(path_.c_str());
}

TEST_F(Settings, LongTextIsCutFromTheFileAndMissingFromTheRegistry) {
  const std::string exact(1023, 'a');
  const std::string longer(1500, 'b');
  WriteTextFile(path_, "[CONFIG]\r\nEXACT=" + exact + "\r\nLONGER=" + longer + "\r\n");
  int count = 0;
  EXPECT_EQ(ReadString(L"EXACT", L"", &count), std::wstring(1023, L'a'));
  EXPECT_EQ(count, 1023);
  EXPECT_EQ(ReadString(L"LONGER", L""), std::wstring(1023, L'b'));

  DeleteFileW(path_.c_str());
  SetRegistryText(L"FITS", std::wstring(511, L'c'));
  SetRegistryText(L"TOO.LONG", std::wstring(512, L'd'));
  LogCapture capture;
  EXPECT_EQ(ReadString(L"FITS", L"", &count), std::wstring(511, L'c'));
  EXPECT_EQ(count, 511);
  EXPECT_EQ(ReadString(L"TOO.LONG", L"short", &count), L"short");
  EXPECT_EQ(count, 0);
  EXPECT_EQ(capture.Count(L"COM error, hr=-2147024662"), 1u);  // ERROR_MORE_DATA
  // Stored text without its terminator is read to its end.
  const wchar_t raw[3] = {L'a', L'b', L'c'};
  SetRegistryValue(L"RAW", REG_SZ, raw, sizeof(raw));
  EXPECT_EQ(ReadString(L"RAW", L""), L"abc");
  // The fallback copy is bounded too.
  EXPECT_EQ(ReadString(L"ABSENT", std::wstring(2000, L'e').c_str()), std::wstring(511, L'e'));
}

TEST_F(Settings, GarbageFilesAndBadNamesNeverBreakAReadOrWrite) {
  std::string garbage = "\x01\x80\xC3junk without equals\r\n[CONFIG\r\n=novalue\r\n[CONFIG]\r\n";
  garbage += "HUGE=99999999999999999999999\r\nWORDS=twelve\r\nNEG=-5\r\nMIXED=12abc\r\nEMPTY=\r\n";
  garbage += std::string(5000, 'z') + "\r\n";
  garbage.push_back('\0');
  garbage += "AFTERNUL=1\r\n";
  WriteTextFile(path_, garbage);
  LogCapture capture;
  EXPECT_EQ(GetConfigInt(L"NEG", 0, path_.c_str()), -5);
  EXPECT_EQ(GetConfigInt(L"MIXED", 0, path_.c_str()), 12);
  EXPECT_EQ(GetConfigInt(L"MISSING", 9, path_.c_str()), 9);
  GetConfigInt(L"HUGE", 0, path_.c_str());
  GetConfigInt(L"WORDS", 0, path_.c_str());
  EXPECT_EQ(ReadString(L"EMPTY", L"d"), L"");

  const std::wstring hugeKey(20000, L'K');
  EXPECT_EQ(ReadString(hugeKey.c_str(), L"d"), L"d");
  EXPECT_EQ(ReadString(nullptr, L"d"), L"d");
  EXPECT_EQ(ReadString(L"", L"d"), L"d");
  EXPECT_EQ(SetConfigString(path_.c_str(), nullptr, L"x"), 0);
  EXPECT_EQ(ReadString(L"NEG", L""), L"-5");  // a null key did not wipe the section

  DeleteFileW(path_.c_str());
  EXPECT_EQ(GetConfigInt(hugeKey.c_str(), 4, path_.c_str()), 4);
  EXPECT_EQ(SetConfigString(path_.c_str(), L"K", std::wstring(600, L'v').c_str()), 0);
  EXPECT_EQ(GetConfigString(path_.c_str(), L"K", L"", nullptr), 0);
}

// The one-pass reader answers every key as the key-by-key read does, from the
// file and, without it, from the registry.
TEST_F(Settings, ListReaderAgreesWithSingleReads) {
  WriteTextFile(path_,
                "[CONFIG]\r\nPLAIN=1920\r\n  SPACED  =  12  \r\nQUOTED=\"640\"\r\nSINGLE='13'\r\nHALF=\"12\r\n"
                "NEG=-5\r\nPLUS=+5\r\nSIGNS=+-5\r\nMIXED=12abc\r\nWORD=abc\r\nEMPTY=\r\nHEX=0x1F\r\nOCT=0o17\r\n"
                "BIN=0b101\r\nUPPERHEX=0X1F\r\nNEGHEX=-0x10\r\nWRAP=4294967297\r\nCOMMENT=8 ;c\r\nDUP=1\r\ndup=2\r\n"
                ";HIDDEN=4\r\nnoequals\r\n[OTHER]\r\nELSEWHERE=3\r\n[config]\r\nSECOND=5\r\n");
  const wchar_t* keys[] = {L"PLAIN", L"SPACED",   L"QUOTED", L"SINGLE", L"HALF",    L"NEG",       L"PLUS",
                           L"SIGNS", L"MIXED",    L"WORD",   L"EMPTY",  L"HEX",     L"OCT",       L"BIN",
                           L"UPPERHEX", L"NEGHEX", L"WRAP",  L"COMMENT", L"DUP",    L"dup",       L"plain",
                           L"HIDDEN", L"noequals", L"ELSEWHERE", L"SECOND", L"ABSENT"};
  const ConfigIntReader fromFile(path_.c_str());
  for (const wchar_t* key : keys) EXPECT_EQ(fromFile.Get(key, -7), GetConfigInt(key, -7, path_.c_str())) << key;

  DeleteFileW(path_.c_str());
  const DWORD dword = 720;
  SetRegistryValue(L"DWORD", REG_DWORD, &dword, sizeof(dword));
  EXPECT_EQ(ConfigIntReader(path_.c_str()).Get(L"DWORD", 0), 720);
}

}  // namespace
