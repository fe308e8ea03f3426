// Command line of telvor-feed.
#pragma once

#include <cstdint>
#include <string>

namespace feed {

struct FeedOptions {
  int camera = 0;
  bool global_names = false;
  std::uint32_t fourcc = 0x32595559;  // YUY2
  std::uint32_t width = 640;
  std::uint32_t height = 480;
  double fps = 30.0;
  std::wstring yuv_path;  // "-": standard input, played once
  bool deterministic = false;
  bool stamp = false;  // draw the write time as a second band
  std::uint32_t live_slots = 0;  // 0: the producer library's default
  std::wstring dump_path;
  std::uint32_t dump_frames = 30;
  double tone_hz = 440.0;
  std::wstring wav_path;
  bool pcm_stdin = false;  // raw 16-bit stereo 48 kHz samples from standard input
  std::uint32_t packet_ms = 10;
  bool video = true;
  bool audio = true;
  double duration_s = 0;  // 0: until stopped
  double status_s = 2.0;  // 0: no status lines
  bool help = false;
};

// False with a message for anything it cannot use.
bool ParseOptions(int argc, wchar_t** argv, FeedOptions& options, std::string& error);

extern const char kFeedHelp[];

}  // namespace feed
