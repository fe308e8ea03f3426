// The programs around a camera: FFmpeg as the capture application and
// telvor-feed as the producer, each run as its own process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
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

// A program running in the background with its output sent to a file in `dir`.
class BackgroundProcess : public telvor::test::BackgroundProcess {
 public:
  BackgroundProcess(const telvor::test::TempDir& dir, std::wstring commandLine, HANDLE input = nullptr)
      : BackgroundProcess(std::move(commandLine), dir.File(telvor::test::UniqueName(L"background") + L".txt"), input) {}
  void Stop() { Kill(); }
  std::string Output() const { return ReadFileBytes(outputPath_); }

 private:
  BackgroundProcess(std::wstring commandLine, std::wstring outputPath, HANDLE input)
      : telvor::test::BackgroundProcess(std::move(commandLine), outputPath, input),
        outputPath_(std::move(outputPath)) {}
  std::wstring outputPath_;
};

// telvor-feed with the arguments given.
class FeedProcess : public BackgroundProcess {
 public:
  // `input`: its standard input (inheritable), for --yuv - and --pcm -.
  FeedProcess(const telvor::test::TempDir& dir, const std::wstring& arguments, HANDLE input = nullptr);
  // True once the producer's channel of that kind exists for the camera.
  bool WaitForChannel(int cameraIndex, bool video, DWORD timeoutMs) const;
};

// FFmpeg started in the background, the banner left out.
std::wstring FfmpegCommand(const std::wstring& arguments);
// FFmpeg's input of a DirectShow camera at one size and pixel format (with
// `audio`, that microphone in the same input).
std::wstring VideoInput(const std::string& camera, int width, int height, const char* pixelFormat,
                        const std::string& audio = "");

// What one recorded frame shows: the camera's black, a telvor-feed picture
// (with its frame number), or anything else.
struct Shown {
  enum Kind { kBlack, kFed, kOther } kind = kOther;
  std::uint32_t number = 0;
};
// Consecutive frames of one kind; a fed run ends where the numbers go back (a new producer).
struct ShownRun {
  Shown::Kind kind;
  size_t first = 0, count = 0;
  std::uint32_t firstNumber = 0, lastNumber = 0;
  size_t lastNumberAt = 0;  // the frame where the run's last number first appeared
};
// The runs of a raw yuyv422 recording of width x height frames.
std::vector<ShownRun> ShownRuns(const std::string& raw, int width, int height);
std::ostream& operator<<(std::ostream& out, const std::vector<ShownRun>& runs);

}  // namespace telvor::e2e
