#include "CommandLine.h"

#include <windows.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "telvor_version.h"

namespace tools {

namespace {

bool IsHelp(const std::wstring& word) { return word == L"--help" || word == L"-h" || word == L"/?"; }

const Option* Find(const std::vector<Option>& options, const std::wstring& name) {
  for (const Option& option : options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

// Every tool answers alike, with what a support request needs: which build.
[[noreturn]] void PrintVersion(const wchar_t* program) {
  std::wstring name = program ? program : L"telvor";
  name = name.substr(name.find_last_of(L"\\/") + 1);
  std::printf("%s %s (%s)\n", Narrow(name).c_str(), TELVOR_VERSION, sizeof(void*) == 8 ? "64-bit" : "32-bit");
  std::fflush(stdout);
  std::exit(0);
}

}  // namespace

bool ReadCommandLine(int argc, wchar_t** argv, const std::vector<Option>& options, bool& help, std::string& error,
                     const std::function<bool(const wchar_t* word)>& word) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    const Option* option = Find(options, name);
    if (IsHelp(name)) {
      help = true;
    } else if (name == L"--version") {
      PrintVersion(argv[0]);
    } else if (!option && name.rfind(L"--", 0) == 0) {
      error = "unknown option " + Narrow(name);
      return false;
    } else if (!option) {
      if (word && word(argv[i])) continue;
      error = (word ? "bad argument " : "unexpected argument ") + Narrow(name);
      return false;
    } else if (!option->takesValue) {
      option->take(nullptr);
    } else if (i + 1 >= argc) {
      error = Narrow(name) + " needs a value";
      return false;
    } else if (!option->take(argv[++i])) {
      error = "bad value for " + Narrow(name) + ": " + Narrow(argv[i]);
      return false;
    }
  }
  return true;
}

bool ReadNumber(const wchar_t* text, double& value) {
  wchar_t* end = nullptr;
  errno = 0;
  value = std::wcstod(text, &end);
  return end != text && *end == L'\0' && errno == 0 && std::isfinite(value);
}

bool ReadCount(const wchar_t* text, std::uint64_t low, std::uint64_t high, std::uint32_t& value) {
  std::uint64_t number = 0;
  if (!*text) return false;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c < L'0' || *c > L'9') return false;
    number = number * 10 + static_cast<std::uint64_t>(*c - L'0');
    if (number > high) return false;
  }
  if (number < low) return false;
  value = static_cast<std::uint32_t>(number);
  return true;
}

bool ReadSize(const wchar_t* text, std::uint32_t& width, std::uint32_t& height) {
  unsigned w = 0, h = 0;
  wchar_t tail = 0;
  if (std::swscanf(text, L"%ux%u%lc", &w, &h, &tail) != 2 || w == 0 || h == 0 || w > 16384 || h > 16384) {
    return false;
  }
  width = w;
  height = h;
  return true;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

std::FILE* OpenFile(const std::string& utf8Path, const wchar_t* mode) {
  const int length = static_cast<int>(utf8Path.size());
  const int chars = length > 0 ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path.data(), length, nullptr, 0) : 0;
  if (chars <= 0) return nullptr;
  std::wstring path(static_cast<std::size_t>(chars), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8Path.data(), length, path.data(), chars);
  return _wfopen(path.c_str(), mode);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
  std::string out(bytes > 0 ? bytes : 0, '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
  }
  return out;
}

int RefuseCommandLine(const char* tool, const std::string& error, int exitCode) {
  std::fprintf(stderr, "%s: %s (try --help)\n", tool, error.c_str());
  return exitCode;
}

}  // namespace tools
