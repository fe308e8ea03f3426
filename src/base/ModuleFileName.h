// The full path of a loaded image (null: the process's executable). Hosts and
// tools run from folders deeper than MAX_PATH, where a fixed buffer would
// hand back a cut name without saying so.
#pragma once

#include <windows.h>

#include <string>

namespace telvor {

// Empty when the system names no file.
inline std::wstring ModuleFileName(HMODULE module) {
  // The longest path Windows has: 32767 characters and the terminator.
  constexpr size_t kLongestPathChars = 32768;
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD capacity = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(module, &path[0], capacity);
    if (length == 0) return {};
    if (length < capacity) {
      path.resize(length);
      return path;
    }
    // A full buffer means the name was cut.
    if (capacity >= kLongestPathChars) return {};
    path.resize(capacity * 2 < kLongestPathChars ? capacity * 2 : kLongestPathChars);
  }
}

}  // namespace telvor
