// The built module installed as a user installs it, and the programs around a
// camera, each its own process: regsvr32, FFmpeg as the capture application,
// telvor-feed as the producer.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/CameraIndexes.h"
#include "support/WinTestSupport.h"

namespace telvor::e2e {

using telvor::test::kEndToEndCameras;
using telvor::test::ReadFileBytes;
using telvor::test::TempDir;

// What a child process returned and printed (stdout and stderr together).
struct ProcessResult { int exitCode = -1; std::string output; };
ProcessResult RunCaptured(const TempDir& dir, const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Command-line quoting for paths and device names without quotes in them.
inline std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }
inline std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
// A program of this build tree, quoted: Tool(L"feed/telvor-feed.exe").
inline std::wstring Tool(const std::wstring& relative) {
  return Quoted(telvor::test::BuildTreePath(L"tools/" + relative));
}

// TELVOR.INI's lines for 64 cameras with one of them, `index`, set up: its
// device names and first size and rate (those empty or 0 left out).
std::string CameraSettings(int index, const std::string& video, const std::string& audio, int width = 0,
                           int height = 0, int fps = 0);

// The module copied into a folder of its own beside a TELVOR.INI, registered
// with the system's tool and unregistered again when the test ends.
class InstalledModule {
 public:
  // `settings` are the lines of the CONFIG section. Points TELVOR_LOG at a
  // file in Dir() for every process this test starts.
  explicit InstalledModule(const std::string& settings);
  ~InstalledModule() {
    if (registered_) Unregister();
  }
  InstalledModule(const InstalledModule&) = delete;
  InstalledModule& operator=(const InstalledModule&) = delete;

  // Rewrites TELVOR.INI, or the format file of one camera; hosts started
  // afterwards load the new settings.
  void WriteSettings(const std::string& settings) { Write(L"TELVOR.INI", settings); }
  void WriteFormatFile(int cameraIndex, const std::string& settings);
  ProcessResult Register() { return Registration(L""); }
  ProcessResult Unregister() { return Registration(L"/u "); }
  const TempDir& Dir() const { return dir_; }
  const std::wstring& ModulePath() const { return modulePath_; }

 private:
  void Write(const std::wstring& name, const std::string& settings);
  ProcessResult Registration(const std::wstring& option);
  TempDir dir_;
  std::wstring modulePath_;
  bool registered_ = false;
};

inline std::wstring FfmpegPath() { return telvor::test::BuildTreePath(L"third_party/ffmpeg.exe"); }
// FFmpeg (this tree's, or the one named) with `arguments`, the banner left out.
inline std::wstring FfmpegCommand(const std::wstring& arguments, const std::wstring& ffmpeg = FfmpegPath()) {
  return Quoted(ffmpeg) + L" -hide_banner -nostdin " + arguments;
}
// FFmpeg's input of a DirectShow camera at one size and pixel format (with
// `audio`, that microphone in the same input).
std::wstring VideoInput(const std::string& camera, int width, int height, const char* pixelFormat,
                        const std::string& audio = "");
// An output of `frames` frames as they came, raw, to `path`.
inline std::wstring RawOutput(int frames, const std::wstring& path) {
  return L" -vsync 0 -frames:v " + std::to_wstring(frames) + L" -f rawvideo -y " + Quoted(path);
}
// The DirectShow devices FFmpeg lists, each as "video <name>" or "audio <name>".
std::vector<std::string> ListedDevices(const TempDir& dir, const std::wstring& ffmpeg = FfmpegPath());

// A program running in the background with its output sent to a file in `dir`.
class BackgroundProcess : public telvor::test::BackgroundProcess {
 public:
  BackgroundProcess(const TempDir& dir, const std::wstring& commandLine, HANDLE input = nullptr)
      : telvor::test::BackgroundProcess(commandLine, dir.File(telvor::test::UniqueName(L"output") + L".txt"), input) {}
};

// telvor-feed for one camera, without status lines, with `arguments`.
class FeedProcess : public BackgroundProcess {
 public:
  // `input`: its standard input (inheritable), for --yuv - and --pcm -.
  FeedProcess(const TempDir& dir, int cameraIndex, const std::wstring& arguments, HANDLE input = nullptr);
  // True once the producer's channel of that kind exists.
  bool WaitForChannel(bool video, DWORD timeoutMs = 10000) const;
  // The processes that hold this camera's ring of that kind open, one a line.
  std::string RingHolders(bool video) const;

 private:
  int cameraIndex_;
};

// Consecutive recorded frames of one kind: the camera's black, telvor-feed
// pictures (their run ends where the numbers go back: a new producer), or
// anything else.
struct ShownRun {
  enum Kind { kBlack, kFed, kOther } kind = kOther;
  size_t first = 0, count = 0;
  std::uint32_t firstNumber = 0, lastNumber = 0;
  size_t lastNumberAt = 0;  // the frame where the run's last number first appeared
  // Where numbers were skipped, " frame+count" each (the first few): whether
  // pictures went missing at the start or here and there.
  std::string skips;
};
// The runs of a raw yuyv422 recording of width x height frames.
std::vector<ShownRun> ShownRuns(const std::string& raw, int width, int height);
std::ostream& operator<<(std::ostream& out, const std::vector<ShownRun>& runs);

}  // namespace telvor::e2e
