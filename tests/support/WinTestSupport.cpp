#include "support/WinTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace telvor::test {

std::wstring WinePath(const char* unixPath, const std::wstring& relative) {
  std::wstring path = L"Z:" + std::wstring(unixPath, unixPath + std::strlen(unixPath));
  if (!relative.empty()) path += L"/" + relative;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

std::wstring BuildTreePath(const std::wstring& relative) { return WinePath(TELVOR_BUILD_DIR, relative); }

std::wstring UniqueName(const std::wstring& stem) {
  static std::atomic<unsigned> counter{0};
  return stem + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount()) + L"_" +
         std::to_wstring(counter++);
}

int RunProcess(const std::wstring& command_line, DWORD timeout_ms, const std::wstring& stdout_path) {
  BackgroundProcess process(command_line, stdout_path);
  return process.Started() ? process.WaitForExit(timeout_ms) : kNotStarted;
}

BackgroundProcess::BackgroundProcess(std::wstring command_line, const std::wstring& output_path, HANDLE input)
    : output_path_(output_path) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  HANDLE output = INVALID_HANDLE_VALUE;
  if (!output_path.empty()) {
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    output = CreateFileW(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = input ? input : GetStdHandle(STD_INPUT_HANDLE);
  }
  PROCESS_INFORMATION info = {};
  // Wine refused a start with ERROR_INTERNAL_ERROR once in fifteen suite runs,
  // while several test programs were starting processes: that is Wine's, not
  // the program's, so such a start is tried again a moment later.
  BOOL started = FALSE;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) {
      std::fprintf(stderr, "CreateProcess failed with ERROR_INTERNAL_ERROR, trying again\n");
      Sleep(200);
    }
    started = CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, output != INVALID_HANDLE_VALUE, 0,
                             nullptr, nullptr, &startup, &info);
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (started) {
    process_ = info.hProcess;
    CloseHandle(info.hThread);
  } else {
    std::fprintf(stderr, "CreateProcess failed with error %lu: %ls\n", GetLastError(), command_line.c_str());
  }
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
}

int BackgroundProcess::WaitForExit(DWORD timeout_ms) {
  if (!process_ || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return kTimedOut;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<int>(code);
}

bool BackgroundProcess::WaitForFileSize(const std::wstring& path, size_t bytes, DWORD timeout_ms) const {
  for (DWORD waited = 0; waited <= timeout_ms; waited += 20) {
    const bool ended = !process_ || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    std::error_code missing;
    const auto size = std::filesystem::file_size(path, missing);
    if (!missing && size >= bytes) return true;
    if (ended) return false;
    Sleep(20);
  }
  return false;
}

void BackgroundProcess::Kill() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
  WaitForSingleObject(process_, 10000);
  CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace telvor::test
