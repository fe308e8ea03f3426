#include "Clients.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace telvor::e2e {

using telvor::test::BuildTreePath;
using telvor::test::TempDir;
using telvor::test::UniqueName;

std::wstring FfmpegPath() { return BuildTreePath(L"third_party/ffmpeg.exe"); }

bool FfmpegPresent() { return GetFileAttributesW(FfmpegPath().c_str()) != INVALID_FILE_ATTRIBUTES; }

ProcessResult RunFfmpeg(const TempDir& dir, const std::wstring& arguments, DWORD timeoutMs) {
  return RunCaptured(dir, Quoted(FfmpegPath()) + L" -hide_banner -nostdin " + arguments, timeoutMs);
}

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// FFmpeg prefixes its dshow lines with "[dshow @ 0x...] ".
std::string WithoutContext(const std::string& line) {
  if (line.rfind("[dshow @", 0) != 0) return line;
  const size_t end = line.find("] ");
  return end == std::string::npos ? line : line.substr(end + 2);
}

}  // namespace

DeviceLists ParseDeviceLists(const std::string& output) {
  DeviceLists lists;
  std::vector<std::string>* section = nullptr;
  for (const std::string& raw : Lines(output)) {
    const std::string line = WithoutContext(raw);
    if (line.find("DirectShow video devices") != std::string::npos) {
      section = &lists.video;
    } else if (line.find("DirectShow audio devices") != std::string::npos) {
      section = &lists.audio;
    } else if (section && line.find("Alternative name") == std::string::npos) {
      const size_t open = line.find('"');
      const size_t close = line.rfind('"');
      if (open != std::string::npos && close > open) section->push_back(line.substr(open + 1, close - open - 1));
    }
  }
  return lists;
}

std::vector<OfferedFormat> ParseListedOptions(const std::string& output) {
  std::vector<OfferedFormat> offers;
  for (const std::string& raw : Lines(output)) {
    const std::string line = WithoutContext(raw);
    const size_t format = line.find("pixel_format=");
    const size_t size = line.find("min s=");
    if (format == std::string::npos || size == std::string::npos) continue;
    OfferedFormat offer;
    const size_t begin = format + std::strlen("pixel_format=");
    offer.pixelFormat = line.substr(begin, line.find(' ', begin) - begin);
    if (std::sscanf(line.c_str() + size, "min s=%dx%d fps=%lf", &offer.width, &offer.height, &offer.fps) == 3)
      offers.push_back(offer);
  }
  return offers;
}

std::ostream& operator<<(std::ostream& out, const OfferedFormat& offer) {
  return out << offer.pixelFormat << " " << offer.width << "x" << offer.height << " " << offer.fps << " fps";
}

FeedProcess::FeedProcess(const TempDir& dir, const std::wstring& arguments)
    : outputPath_(dir.File(UniqueName(L"feed") + L".txt")) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE output = CreateFileW(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::wstring commandLine = Quoted(BuildTreePath(L"tools/feed/telvor-feed.exe")) + L" " + arguments;
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, output != INVALID_HANDLE_VALUE, 0, nullptr, nullptr,
                     &startup, &info)) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
  }
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
}

FeedProcess::~FeedProcess() { Stop(); }

bool FeedProcess::WaitForChannel(int cameraIndex, bool video, DWORD timeoutMs) const {
  wchar_t name[64];
  swprintf(name, 64, video ? L"KAVO.VCAM.V.SHARE.MEMORY.%02d" : L"KAVO.VCAM.A.SHARE.MEMORY.%02d", cameraIndex);
  for (DWORD waited = 0; process_ && waited <= timeoutMs; waited += 20) {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (mapping) {
      CloseHandle(mapping);
      return true;
    }
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) return false;  // ended before it opened
  }
  return false;
}

bool FeedProcess::WaitForFileSize(const std::wstring& path, size_t bytes, DWORD timeoutMs) const {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) >= bytes)
      return true;
    Sleep(20);
  }
  return false;
}

int FeedProcess::WaitForExit(DWORD timeoutMs) {
  if (!process_ || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<int>(code);
}

void FeedProcess::Stop() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace telvor::e2e
