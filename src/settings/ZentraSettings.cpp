#include "settings/ZentraSettings.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>
#include <vector>

#include "base/Handle.h"
#include "base/Log.h"
#include "settings/SettingsKeys.h"

namespace {

constexpr wchar_t kUnit[] = L"ZentraSettings";
constexpr wchar_t kRegistryRoot[] = L"Software\\TELVOR\\";

// The registry holds at most this many bytes of one text value for us; a
// longer value counts as missing rather than arriving cut.
constexpr DWORD kRegistryTextBytes = 1024;
constexpr int kRegistryTextChars = kRegistryTextBytes / sizeof(wchar_t);

HRESULT FromWin32(LONG error) {
  return static_cast<HRESULT>((static_cast<unsigned long>(error) & 0xFFFFu) | 0x80070000u);
}

bool FilePresent(const wchar_t* path) {
  if (!path || !*path) return false;
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

const wchar_t* FileNameOf(const wchar_t* path) {
  const wchar_t* name = path ? path : L"";
  for (const wchar_t* c = name; *c; ++c) {
    if (*c == L'\\' || *c == L'/' || *c == L':') name = c + 1;
  }
  return name;
}

void CopyCut(const wchar_t* text, wchar_t* out, size_t capacity) {
  size_t length = 0;
  if (text) {
    while (length + 1 < capacity && text[length]) ++length;
    wmemcpy(out, text, length);
  }
  out[length] = L'\0';
}

// Decimal text as "%d" writes it, blanks around it allowed; anything else,
// or a value outside 32 bits, is not an integer.
bool ParseDecimal(const wchar_t* text, int* value) {
  while (*text == L' ' || *text == L'\t') ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') negative = (*text++ == L'-');
  if (*text < L'0' || *text > L'9') return false;
  long long magnitude = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    magnitude = magnitude * 10 + (*text - L'0');
    if (magnitude > 2147483648LL) return false;
  }
  while (*text == L' ' || *text == L'\t') ++text;
  if (*text) return false;
  if (!negative && magnitude > 2147483647LL) return false;
  *value = static_cast<int>(negative ? -magnitude : magnitude);
  return true;
}

// A section larger than this is read key by key instead (slow, but bounded in memory).
constexpr DWORD kLargestSectionChars = 1u << 24;

std::wstring UpperCase(const wchar_t* begin, const wchar_t* end) {
  std::wstring text(begin, end);
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

// The profile functions' reading of an integer: one pair of matching quotes
// dropped, blanks, a sign, a 0x, 0o or 0b base prefix, then digits as far as
// they go, kept modulo 2^32. An empty value is no value.
int ProfileInteger(std::wstring text, int defaultValue) {
  if (text.size() >= 2 && (text.front() == L'"' || text.front() == L'\'') && text.back() == text.front()) {
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty()) return defaultValue;
  const wchar_t* c = text.c_str();
  while (*c == L' ' || *c == L'\t') ++c;
  bool negative = false;
  if (*c == L'+' || *c == L'-') negative = (*c++ == L'-');
  unsigned base = 10;
  if (c[0] == L'0' && (c[1] == L'x' || c[1] == L'o' || c[1] == L'b')) {
    base = c[1] == L'x' ? 16 : c[1] == L'o' ? 8 : 2;
    c += 2;
  }
  std::uint32_t value = 0;
  for (;; ++c) {
    unsigned digit = base;
    if (*c >= L'0' && *c <= L'9') digit = static_cast<unsigned>(*c - L'0');
    if (*c >= L'a' && *c <= L'f') digit = static_cast<unsigned>(*c - L'a' + 10);
    if (*c >= L'A' && *c <= L'F') digit = static_cast<unsigned>(*c - L'A' + 10);
    if (digit >= base) break;
    value = value * base + digit;
  }
  return static_cast<int>(negative ? 0u - value : value);
}

// Every failure below is logged once, where it happens, and answered with its
// HRESULT; the public functions turn any failure into the default.

// Opens HKCU\Software\TELVOR\<file name>\CONFIG for the file that would have
// been used, created on first use (reads create it too), for one operation.
HRESULT OpenConfigKey(const wchar_t* filePath, telvor::RegistryKey* key) {
  const std::wstring subKey = std::wstring(kRegistryRoot) + FileNameOf(filePath) + L"\\" + settings::kSection;
  HKEY opened = nullptr;
  const LONG error = RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                     nullptr, &opened, nullptr);
  if (error != ERROR_SUCCESS) return TELVOR_COM_ERROR(FromWin32(error), kUnit);
  key->Reset(opened);
  return S_OK;
}

HRESULT CheckKeyName(const wchar_t* key) {
  // A missing name would make the profile functions list or delete the whole section.
  return key && *key ? S_OK : TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
}

// Stores the REG_SZ value into out (kRegistryTextChars) and its length into *length.
HRESULT ReadRegistryText(HKEY key, const wchar_t* name, wchar_t* out, int* length) {
  wchar_t text[kRegistryTextChars];
  DWORD type = 0;
  DWORD bytes = sizeof(text);
  const LONG error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
  if (error != ERROR_SUCCESS) return TELVOR_COM_ERROR(FromWin32(error), kUnit);
  if (type != REG_SZ) return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
  // The stored text need not carry its terminator; without one a full buffer
  // means the value was cut, which counts as too long.
  const size_t stored = bytes / sizeof(wchar_t);
  const size_t count = wcsnlen(text, stored);
  if (count >= static_cast<size_t>(kRegistryTextChars)) return TELVOR_COM_ERROR(FromWin32(ERROR_MORE_DATA), kUnit);
  wmemcpy(out, text, count);
  out[count] = L'\0';
  *length = static_cast<int>(count);
  return S_OK;
}

HRESULT ReadRegistryInt(HKEY key, const wchar_t* name, int* value) {
  DWORD type = 0;
  DWORD bytes = 0;
  LONG error = RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes);
  if (error != ERROR_SUCCESS) return TELVOR_COM_ERROR(FromWin32(error), kUnit);
  if (type == REG_DWORD) {
    DWORD number = 0;
    bytes = sizeof(number);
    error = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &bytes);
    if (error != ERROR_SUCCESS) return TELVOR_COM_ERROR(FromWin32(error), kUnit);
    if (type != REG_DWORD || bytes != sizeof(number)) return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
    *value = static_cast<int>(number);
    return S_OK;
  }
  // Integers the module writes itself (scale style, default size) arrive as
  // text; reading them back keeps a setting made without a settings file.
  if (type != REG_SZ) return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
  wchar_t text[kRegistryTextChars];
  int length = 0;
  const HRESULT hr = ReadRegistryText(key, name, text, &length);
  if (FAILED(hr)) return hr;
  if (!ParseDecimal(text, value)) return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
  return S_OK;
}

HRESULT WriteRegistryText(HKEY key, const wchar_t* name, const wchar_t* value) {
  const size_t length = wcslen(value);
  if (length >= kRegistryTextChars) return TELVOR_COM_ERROR(E_INVALIDARG, kUnit);
  const DWORD bytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
  const LONG error = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
  return error == ERROR_SUCCESS ? S_OK : TELVOR_COM_ERROR(FromWin32(error), kUnit);
}

}  // namespace

int GetConfigString(const wchar_t* iniPath, const wchar_t* key, const wchar_t* defaultValue, wchar_t* out) {
  if (!out) return 0;
  if (SUCCEEDED(CheckKeyName(key))) {
    if (FilePresent(iniPath)) {
      return static_cast<int>(GetPrivateProfileStringW(settings::kSection, key, defaultValue ? defaultValue : L"", out,
                                                       kConfigTextChars, iniPath));
    }
    telvor::RegistryKey config;
    int length = 0;
    if (SUCCEEDED(OpenConfigKey(iniPath, &config)) && SUCCEEDED(ReadRegistryText(config.Get(), key, out, &length))) {
      return length;
    }
  }
  CopyCut(defaultValue, out, kRegistryTextChars);
  return 0;
}

int GetConfigInt(const wchar_t* key, int defaultValue, const wchar_t* path) {
  if (FAILED(CheckKeyName(key))) return defaultValue;
  if (FilePresent(path)) return static_cast<int>(GetPrivateProfileIntW(settings::kSection, key, defaultValue, path));
  telvor::RegistryKey config;
  int value = 0;
  if (SUCCEEDED(OpenConfigKey(path, &config)) && SUCCEEDED(ReadRegistryInt(config.Get(), key, &value))) return value;
  return defaultValue;
}

int SetConfigString(const wchar_t* iniPath, const wchar_t* key, const wchar_t* value) {
  if (!value) value = L"";  // a null value would delete the key from the file
  if (FAILED(CheckKeyName(key))) return 0;
  if (FilePresent(iniPath)) {
    if (WritePrivateProfileStringW(settings::kSection, key, value, iniPath)) return 1;
    TELVOR_COM_ERROR(FromWin32(static_cast<LONG>(GetLastError())), kUnit);
    return 0;
  }
  telvor::RegistryKey config;
  return SUCCEEDED(OpenConfigKey(iniPath, &config)) && SUCCEEDED(WriteRegistryText(config.Get(), key, value)) ? 1 : 0;
}

ConfigIntReader::ConfigIntReader(const wchar_t* path) : path_(path ? path : L"") {
  if (!FilePresent(path)) return;
  try {
    // The section arrives as "key=value" strings, each ended by a null, with
    // one more null after the last; a buffer too small gives its size less two.
    std::vector<wchar_t> text(1u << 16);
    for (;;) {
      const DWORD size = static_cast<DWORD>(text.size());
      const DWORD stored = GetPrivateProfileSectionW(settings::kSection, text.data(), size, path);
      if (stored + 2 < size) break;
      if (size >= kLargestSectionChars) return;
      text.assign(2 * static_cast<size_t>(size), L'\0');
    }
    for (const wchar_t* entry = text.data(); *entry; entry += wcslen(entry) + 1) {
      const wchar_t* equals = wcschr(entry, L'=');
      // The first of two equal keys is the one the profile functions find.
      if (equals && equals != entry) values_.emplace(UpperCase(entry, equals), equals + 1);
    }
    fromFile_ = true;
  } catch (const std::bad_alloc&) {
    values_.clear();  // key by key after all
  }
}

int ConfigIntReader::Get(const wchar_t* key, int defaultValue) const {
  if (!fromFile_ || !key || !*key) return GetConfigInt(key, defaultValue, path_.c_str());
  const auto found = values_.find(UpperCase(key, key + wcslen(key)));
  return found == values_.end() ? defaultValue : ProfileInteger(found->second, defaultValue);
}

namespace settings {

std::wstring NumberedKey(const wchar_t* pattern, int number) {
  std::wstring key = pattern ? pattern : L"";
  const size_t slot = key.find(L"%02d");
  if (slot == std::wstring::npos) return key;
  std::wstring digits = std::to_wstring(number < 0 ? -static_cast<long long>(number) : number);
  if (digits.size() < 2) digits.insert(0, 2 - digits.size(), L'0');
  if (number < 0) digits.insert(0, 1, L'-');
  return key.replace(slot, 4, digits);
}

std::wstring FormatFilePath(const wchar_t* formatPath, int cameraIndex) {
  std::wstring path = formatPath ? formatPath : L"";
  // "%s.%02d.INI": the stem, then the camera number.
  path += NumberedKey(L".%02d.INI", cameraIndex + 1);
  return path.size() < MAX_PATH ? path : std::wstring();
}

}  // namespace settings
