// Helpers for Windows tests running under Wine: temporary folders, build-tree
// paths as Windows paths, and INI files.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace telvor::test {

// A Unix path, with `relative` below it, as Wine sees it (Z: maps the Unix root).
std::wstring WinePath(const char* unixPath, const std::wstring& relative = L"");
std::wstring BuildTreePath(const std::wstring& relative = L"");

// The module's file name in this build (the 32-bit one is TELVOR32.AX) and its path.
inline constexpr const wchar_t* kModuleFileName = sizeof(void*) == 4 ? L"TELVOR32.AX" : L"TELVOR.AX";
inline std::wstring BuiltModulePath() { return BuildTreePath(std::wstring(L"src/dll/") + kModuleFileName); }

// A value unique to this process and call, for naming registry keys and files
// so that tests running in parallel never share them.
std::wstring UniqueName(const std::wstring& stem);

// A fresh, uniquely named folder under the Windows temp folder, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir() : path_((std::filesystem::temp_directory_path() / UniqueName(L"telvor")).wstring()) {
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& Path() const { return path_; }
  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Writes the bytes of `text` to a file, replacing it.
inline void WriteTextFile(const std::wstring& path, const std::string& text) {
  std::ofstream(std::filesystem::path(path), std::ios::binary) << text;
}
// A file's bytes, "" when it cannot be read; readable while another process
// writes it (the C runtime opens files shared for reading and writing alike).
inline std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream file(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
inline bool CopyFileTo(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// Runs a program, waits up to timeout_ms, returns its exit code, or
// kNotStarted, or kTimedOut after killing it. Output goes to stdout_path if given.
// Apart from every exit code a process can end with, 0xFFFFFFFF (-1) included.
inline constexpr int kNotStarted = -1000000;
inline constexpr int kTimedOut = -2;
int RunProcess(const std::wstring& command_line, DWORD timeout_ms, const std::wstring& stdout_path = L"");

// A program left running while the test works, its output (stdout and
// stderr) sent to output_path if given; terminated, if it is still running,
// at the latest when the object goes away.
class BackgroundProcess {
 public:
  // `input`, an inheritable handle, becomes its standard input (with an output path).
  explicit BackgroundProcess(std::wstring command_line, const std::wstring& output_path = L"",
                             HANDLE input = nullptr);
  ~BackgroundProcess() { Kill(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  bool Started() const { return process_ != nullptr; }
  DWORD Id() const { return process_ ? GetProcessId(process_) : 0; }
  // Exit code once the program ends by itself, kTimedOut while it still runs.
  int WaitForExit(DWORD timeout_ms);
  // True once `path` holds at least `bytes` bytes; false on time-out, or
  // when the program ended before writing them.
  bool WaitForFileSize(const std::wstring& path, size_t bytes, DWORD timeout_ms) const;
  // Terminates the program, as a crash would end it.
  void Kill();
  // What it wrote to output_path so far.
  std::string Output() const { return ReadFileBytes(output_path_); }

 protected:
  HANDLE process_ = nullptr;
  std::wstring output_path_;
};

}  // namespace telvor::test
