// The settings store: the only way the module reads or writes its settings.
// Values live in section CONFIG of an INI file; while that file does not
// exist, in HKCU\Software\TELVOR\<file name>\CONFIG instead. The choice is made
// on every call, so creating or deleting the file takes effect at once.
// No error ever escapes: failures log one line and give the default.
#pragma once

#include <string>
#include <unordered_map>

// Characters GetConfigString can store in its output, terminator included.
inline constexpr int kConfigTextChars = 1024;

// Every call names its file: a filter's comes from the site it was created
// for (CameraSite), start-up's from the paths it has just derived.

// Text from the settings file iniPath. out holds kConfigTextChars. Returns
// the number of characters stored (0 when a registry failure made it fall
// back to the default).
int GetConfigString(const wchar_t* iniPath, const wchar_t* key, const wchar_t* defaultValue, wchar_t* out);
// Integer from the file `path` (the settings file or a per-camera format file).
int GetConfigInt(const wchar_t* key, int defaultValue, const wchar_t* path);
// Text written to the settings file iniPath; 1 on success, 0 on failure.
int SetConfigString(const wchar_t* iniPath, const wchar_t* key, const wchar_t* value);

// Integers of many keys of one file, such as a per-camera format file's size
// list. GetConfigInt has the profile functions search the file again for every
// key, so a list of thousands of keys cost the square of its length; this
// reads the section once and answers each key as GetConfigInt would. Without
// the file each key is looked up in the registry, as GetConfigInt does.
class ConfigIntReader {
 public:
  explicit ConfigIntReader(const wchar_t* path);
  int Get(const wchar_t* key, int defaultValue) const;

 private:
  std::wstring path_;
  bool fromFile_ = false;
  std::unordered_map<std::wstring, std::wstring> values_;  // upper-case key: value text
};
