// The one command-line reader of the tools: "--name value" options, flags,
// and for the tools that take one, plain words. Every tool answers --help
// (also -h and /?) and words its refusals alike: "unknown option --x",
// "bad value for --x: v", "--x needs a value", "unexpected argument v".
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace tools {

struct Option {
  const wchar_t* name;  // "--size"
  bool takesValue;
  // Takes the value (null for a flag); false when it cannot be used.
  std::function<bool(const wchar_t* value)> take;
};

// Reads argv[1..]. A word that is not an option goes to `word` (refused
// without one). False with `error` set at the first thing it cannot use.
bool ReadCommandLine(int argc, wchar_t** argv, const std::vector<Option>& options, bool& help, std::string& error,
                     const std::function<bool(const wchar_t* word)>& word = nullptr);

// Value readers: false for anything but the whole text as asked.
bool ReadNumber(const wchar_t* text, double& value);
// Decimal digits only, from low to high.
bool ReadCount(const wchar_t* text, std::uint64_t low, std::uint64_t high, std::uint32_t& value);
// WxH, each side 1..16384.
bool ReadSize(const wchar_t* text, std::uint32_t& width, std::uint32_t& height);

// ASCII as is, anything else as '?'.
std::string Narrow(const std::wstring& text);
// What the tools print of paths and names, and how they keep paths.
std::string Utf8(const std::wstring& text);
// Opens a file by its UTF-8 name (kept by Utf8) through its wide name, so a
// name outside the ANSI code page opens too. Null as fopen.
std::FILE* OpenFile(const std::string& utf8Path, const wchar_t* mode);

// Prints "<tool>: <error> (try --help)" to stderr and answers `exitCode`.
int RefuseCommandLine(const char* tool, const std::string& error, int exitCode);

}  // namespace tools
