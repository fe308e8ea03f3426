// Command line of telvor-capture.
#pragma once

#include <cstdint>
#include <string>

#include "FrameBand.h"

namespace capture {

struct CaptureOptions {
  bool list = false;
  bool clock = false;           // measure the system reference clock alone, no device
  bool audio = false;           // capture from an audio device instead of a video one
  std::wstring device = L"0";   // friendly name or position
  PixelFormat format = PixelFormat::kUnknown;
  std::int32_t width = 0;
  std::int32_t height = 0;
  double fps = 0;
  double duration_s = 5;
  std::string raw_path;
  std::string png_prefix;
  std::uint32_t save_count = 30;  // 0: every frame
  std::string wav_path;
  bool quiet = false;
  bool help = false;
};

// False with a message for anything it cannot use.
bool ParseOptions(int argc, wchar_t** argv, CaptureOptions& options, std::string& error);

extern const char kCaptureHelp[];

}  // namespace capture
