// A private installation of the built TELVOR.AX, as a user would make one:
// the module copied into its own folder beside a TELVOR.INI, registered with
// the system's registration tool and unregistered again when the test ends.
#pragma once

#include <windows.h>

#include <string>

#include "support/WinTestSupport.h"

namespace telvor::e2e {

// What a child process returned and printed (stdout and stderr together).
struct ProcessResult {
  int exitCode = -1;
  std::string output;
};

// Runs a command line with its output sent to a file in `dir`, then reads it.
ProcessResult RunCaptured(const telvor::test::TempDir& dir, const std::wstring& commandLine, DWORD timeoutMs);

using telvor::test::ReadFileBytes;

// "\"text\"": command-line quoting for paths and device names without quotes in them.
std::wstring Quoted(const std::wstring& text);
std::wstring Widen(const std::string& text);

// TELVOR.INI's lines for 64 cameras with one of them, `index`, set up: its
// device names (an empty one left out) and, where not 0, its first size and rate.
std::string CameraSettings(int index, const std::string& video, const std::string& audio, int width = 0,
                           int height = 0, int fps = 0);

class InstalledModule {
 public:
  // `settings` are the lines of the CONFIG section. Points TELVOR_LOG at
  // LogPath() for every process this test starts.
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

  const telvor::test::TempDir& Dir() const { return dir_; }
  const std::wstring& ModulePath() const { return modulePath_; }
  std::wstring LogPath() const { return dir_.File(L"telvor.log"); }
  bool Copied() const { return copied_; }

 private:
  telvor::test::TempDir dir_;
  std::wstring modulePath_;
  bool copied_ = false;
  bool registered_ = false;
};

}  // namespace telvor::e2e
