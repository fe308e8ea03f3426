// The programs around a camera: FFmpeg as the capture application and
// telvor-feed as the producer, each run as its own process.
#pragma once

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "InstalledModule.h"

namespace telvor::e2e {

std::wstring FfmpegPath();
bool FfmpegPresent();

// FFmpeg with the arguments given, the banner left out.
ProcessResult RunFfmpeg(const telvor::test::TempDir& dir, const std::wstring& arguments, DWORD timeoutMs = 60000);

// The device names of `-list_devices true -f dshow -i dummy`, by section.
struct DeviceLists {
  std::vector<std::string> video;
  std::vector<std::string> audio;
};
DeviceLists ParseDeviceLists(const std::string& output);

// One offer of `-list_options true`: a pixel format at one size and rate.
struct OfferedFormat {
  std::string pixelFormat;
  int width = 0;
  int height = 0;
  double fps = 0;
  bool operator==(const OfferedFormat& other) const {
    return pixelFormat == other.pixelFormat && width == other.width && height == other.height && fps == other.fps;
  }
};
std::ostream& operator<<(std::ostream& out, const OfferedFormat& offer);
std::vector<OfferedFormat> ParseListedOptions(const std::string& output);

// telvor-feed running in the background; stopped (terminated) at the latest
// when the object goes away.
class FeedProcess {
 public:
  FeedProcess(const telvor::test::TempDir& dir, const std::wstring& arguments);
  ~FeedProcess();
  FeedProcess(const FeedProcess&) = delete;
  FeedProcess& operator=(const FeedProcess&) = delete;

  bool Started() const { return process_ != nullptr; }
  // True once the producer's channel of that kind exists for the camera.
  bool WaitForChannel(int cameraIndex, bool video, DWORD timeoutMs) const;
  // True once `path` holds at least `bytes` bytes (the dump of the first frames).
  bool WaitForFileSize(const std::wstring& path, size_t bytes, DWORD timeoutMs) const;
  // Exit code once the program ends by itself, -1 on time-out.
  int WaitForExit(DWORD timeoutMs);
  void Stop();
  std::string Output() const { return ReadFileBytes(outputPath_); }

 private:
  std::wstring outputPath_;
  HANDLE process_ = nullptr;
};

}  // namespace telvor::e2e
