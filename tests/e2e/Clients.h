// The built module installed as a user installs it, and the programs around a
// camera, each its own process: regsvr32, FFmpeg as the capture application,
// telvor-feed as the producer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/WinTestSupport.h"

namespace telvor::e2e {

using telvor::test::ReadFileBytes;
using telvor::test::TempDir;

// What a child process returned and printed (stdout and stderr together).
struct ProcessResult {
  int exitCode = -1;
  std::string output;
};
ProcessResult RunCaptured(const TempDir& dir, const std::wstring& commandLine, DWORD timeoutMs = 60000);

// "\"text\"": command-line quoting for paths and device names without quotes in them.
std::wstring Quoted(const std::wstring& text);
std::wstring Widen(const std::string& text);
// A program of this build tree, quoted: Tool(L"feed/telvor-feed.exe").
std::wstring Tool(const std::wstring& relative);

// TELVOR.INI's lines for 64 cameras with one of them, `index`, set up: its
// device names (an empty one left out) and, where not 0, its first size and rate.
std::string CameraSettings(int index, const std::string& video, const std::string& audio, int width = 0,
                           int height = 0, int fps = 0);

// The module copied into a folder of its own beside a TELVOR.INI, registered
// with the system's tool and unregistered again when the test ends.
class InstalledModule {
 public:
  // `settings` are the lines of the CONFIG section. Points TELVOR_LOG at a
  // file in Dir() for every process this test starts.
  explicit InstalledModule(const std::string& settings);
  ~InstalledModule();
  InstalledModule(const InstalledModule&) = delete;
  InstalledModule& operator=(const InstalledModule&) = delete;

  // Rewrites TELVOR.INI; hosts started afterwards load the new settings.
  void WriteSettings(const std::string& settings);
  // The per-camera format file TELVOR.FORMAT.NN.INI (NN the camera number).
  void WriteFormatFile(int cameraIndex, const std::string& settings);

  ProcessResult Register();
  ProcessResult Unregister();

  const TempDir& Dir() const { return dir_; }
  const std::wstring& ModulePath() const { return modulePath_; }

 private:
  TempDir dir_;
  std::wstring modulePath_;
  bool registered_ = false;
};

std::wstring FfmpegPath();
// FFmpeg (this tree's, or the one named) with `arguments`, the banner left out.
std::wstring FfmpegCommand(const std::wstring& arguments, const std::wstring& ffmpeg = FfmpegPath());
ProcessResult RunFfmpeg(const TempDir& dir, const std::wstring& arguments);
// FFmpeg's input of a DirectShow camera at one size and pixel format (with
// `audio`, that microphone in the same input).
std::wstring VideoInput(const std::string& camera, int width, int height, const char* pixelFormat,
                        const std::string& audio = "");
// An output of `frames` frames as they came, raw, to `path`.
std::wstring RawOutput(int frames, const std::wstring& path);

// The device names of `-list_devices true -f dshow -i dummy`, by section.
struct DeviceLists {
  std::vector<std::string> video;
  std::vector<std::string> audio;
};
DeviceLists ParseDeviceLists(const std::string& output);

// A program running in the background with its output sent to a file in `dir`.
class BackgroundProcess : public telvor::test::BackgroundProcess {
 public:
  BackgroundProcess(const TempDir& dir, std::wstring commandLine, HANDLE input = nullptr)
      : BackgroundProcess(std::move(commandLine), dir.File(telvor::test::UniqueName(L"background") + L".txt"), input) {}
  std::string Output() const { return ReadFileBytes(outputPath_); }

 private:
  BackgroundProcess(std::wstring commandLine, std::wstring outputPath, HANDLE input)
      : telvor::test::BackgroundProcess(std::move(commandLine), outputPath, input),
        outputPath_(std::move(outputPath)) {}
  std::wstring outputPath_;
};

// telvor-feed for one camera, without status lines, with `arguments`.
class FeedProcess : public BackgroundProcess {
 public:
  // `input`: its standard input (inheritable), for --yuv - and --pcm -.
  FeedProcess(const TempDir& dir, int cameraIndex, const std::wstring& arguments, HANDLE input = nullptr);
  // True once the producer's channel of that kind exists.
  bool WaitForChannel(bool video, DWORD timeoutMs = 10000) const;

 private:
  int cameraIndex_;
};

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
// 1 when the recording opens with at most one black frame (a camera opened
// while its producer runs may show black until it meets it), else 0.
size_t BlackLead(const std::vector<ShownRun>& runs);

}  // namespace telvor::e2e
