// Command line of telvor-appcheck.
#pragma once

#include <windows.h>
#include <cguid.h>

#include <cstdint>
#include <string>

namespace appcheck {

enum class App { kNone, kChromium, kObs, kCapGraph, kOpenCv };

struct AppOptions {
  App app = App::kNone;
  std::wstring video = L"0";  // position or name
  std::wstring audio;         // OBS's microphone; empty: none
  std::int32_t width = 0;     // 0: the application's own choice
  std::int32_t height = 0;
  double fps = 0;
  GUID format = GUID_NULL;    // GUID_NULL: the application's own choice
  bool flip = false;
  double duration_s = 3;
  std::uint32_t restarts = 0;
  std::string png;            // prefix of the pictures saved, empty: none
  bool stopInsideReceive = false;
  bool captureBranch = false;
  double timeout_s = 10;
  bool list = false;
  bool help = false;

  bool SizeGiven() const { return width > 0 && height > 0; }
  DWORD TimeoutMs() const { return static_cast<DWORD>(timeout_s * 1000); }
  DWORD DurationMs() const { return static_cast<DWORD>(duration_s * 1000); }
  // PREFIX.png for the first run, PREFIX-N.png for restart N; empty without --png.
  std::string PngFor(std::uint32_t run) const;
};

// False with a message for anything it cannot use.
bool ParseOptions(int argc, wchar_t** argv, AppOptions& options, std::string& error);

extern const char kAppCheckHelp[];

}  // namespace appcheck
