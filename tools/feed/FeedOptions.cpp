#include "FeedOptions.h"

#include <cstdio>
#include <cwchar>
#include <vector>

#include "CommandLine.h"

namespace feed {

const char kFeedHelp[] =
    "Usage: telvor-feed [options]\n"
    "Feeds one TELVOR camera with a moving test picture and a tone, in real time,\n"
    "until Ctrl+C or --duration.\n"
    "\n"
    "Camera\n"
    "  --camera N          camera index 0..63 (default 0)\n"
    "  --global            create the channels behind Global\\ (other sessions, services)\n"
    "Video\n"
    "  --format yuy2|yv12  picture format (default yuy2)\n"
    "  --size WxH          picture size (default 640x480; width even, height even for yv12)\n"
    "  --fps R             frames per second (default 30)\n"
    "  --yuv FILE          loop raw frames of that format and size from FILE instead of the\n"
    "                      test picture; --yuv - plays them from standard input once, at\n"
    "                      --fps, showing the last frame again while the input stalls\n"
    "  --deterministic     frame k depends only on k (the block moves per frame, not per\n"
    "                      elapsed time)\n"
    "  --dump FILE         also write the first fed frames, raw and back to back, to FILE\n"
    "  --dump-frames N     frames written by --dump (default 30)\n"
    "  --stamp             draw each frame's write time as a second band, and mark each\n"
    "                      sound packet's write time in its first four sample frames\n"
    "                      (for latency; telvor-capture reads both)\n"
    "  --live-slots N      video slots written round-robin, 1..8 (default 1): more for\n"
    "                      slack, each up to a period of delay\n"
    "  --no-video          feed no video\n"
    "Audio (16-bit stereo, 48000 samples per second)\n"
    "  --tone HZ           sine tone frequency (default 440)\n"
    "  --wav FILE          loop a 16-bit stereo 48 kHz PCM WAV file instead of the tone\n"
    "  --pcm -             play raw 16-bit stereo 48 kHz samples from standard input once,\n"
    "                      silence while the input stalls\n"
    "  --packet-ms MS      packet length, 1..1000 ms (default 10)\n"
    "  --no-audio          feed no audio\n"
    "Run\n"
    "  --duration S        stop after S seconds, at most 604800 (a week)\n"
    "                      (default: run until Ctrl+C)\n"
    "  --status S          print a status line every S seconds, 0.1 to 86400\n"
    "                      (default 2, 0: never)\n"
    "  --help              this text\n"
    "\n"
    "The test picture: colour bars, a white block moving left and right, the frame\n"
    "number k (0 for the first frame) in digits at the top left, and k again as a band\n"
    "of 32 cells across the full width centred on the middle line, each width/32 wide\n"
    "and height/16 tall, the leftmost cell the most significant bit, white (Y 235) for\n"
    "1 and black (Y 16) for 0. Every frame and packet is stamped with its write time\n"
    "in 100-ns units of QueryPerformanceCounter (see telvor_clock_now). With --stamp\n"
    "the same write time is drawn as a second band of the same shape right below the\n"
    "first: its first cell black, its last white, and the low 30 bits of the time in\n"
    "the 30 cells between, most significant first.\n";

namespace {

bool ParseFormat(const wchar_t* text, std::uint32_t& fourcc) {
  const std::wstring format = text;
  if (format != L"yuy2" && format != L"yv12") return false;
  fourcc = format == L"yv12" ? 0x32315659 : 0x32595559;
  return true;
}

// Status lines at most ten a second and at least one a day, runs of at most a
// week: readable, and every deadline far inside the 100-ns clock's range.
constexpr double kShortestStatusS = 0.1;
constexpr double kLongestStatusS = 86400;
constexpr double kLongestDurationS = 7 * 86400;

// Kept wide: the files are opened by their names as typed, in any script.
bool ParsePath(const wchar_t* text, std::wstring& path) {
  path = text;
  return !path.empty();
}

}  // namespace

bool ParseOptions(int argc, wchar_t** argv, FeedOptions& o, std::string& error) {
  std::uint32_t camera = static_cast<std::uint32_t>(o.camera);
  bool duration_given = false;
  const std::vector<tools::Option> options = {
      {L"--global", false, [&](const wchar_t*) { return o.global_names = true; }},
      {L"--deterministic", false, [&](const wchar_t*) { return o.deterministic = true; }},
      {L"--stamp", false, [&](const wchar_t*) { return o.stamp = true; }},
      {L"--no-video", false, [&](const wchar_t*) { return !(o.video = false); }},
      {L"--no-audio", false, [&](const wchar_t*) { return !(o.audio = false); }},
      {L"--camera", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, 63, camera); }},
      {L"--format", true, [&](const wchar_t* v) { return ParseFormat(v, o.fourcc); }},
      {L"--size", true, [&](const wchar_t* v) { return tools::ReadSize(v, o.width, o.height); }},
      {L"--fps", true, [&](const wchar_t* v) { return tools::ReadNumber(v, o.fps) && o.fps > 0 && o.fps <= 1000; }},
      {L"--live-slots", true, [&](const wchar_t* v) { return tools::ReadCount(v, 1, 8, o.live_slots); }},
      {L"--yuv", true, [&](const wchar_t* v) { return ParsePath(v, o.yuv_path); }},
      {L"--dump", true, [&](const wchar_t* v) { return ParsePath(v, o.dump_path); }},
      {L"--dump-frames", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, 1000000000, o.dump_frames); }},
      {L"--tone", true,
       [&](const wchar_t* v) { return tools::ReadNumber(v, o.tone_hz) && o.tone_hz >= 0 && o.tone_hz <= 24000; }},
      {L"--wav", true, [&](const wchar_t* v) { return ParsePath(v, o.wav_path); }},
      {L"--pcm", true, [&](const wchar_t* v) { return (o.pcm_stdin = std::wcscmp(v, L"-") == 0); }},
      {L"--packet-ms", true, [&](const wchar_t* v) { return tools::ReadCount(v, 1, 1000, o.packet_ms); }},
      {L"--duration", true, [&](const wchar_t* v) { return duration_given = tools::ReadNumber(v, o.duration_s); }},
      {L"--status", true, [&](const wchar_t* v) { return tools::ReadNumber(v, o.status_s); }},
  };
  if (!tools::ReadCommandLine(argc, argv, options, o.help, error)) return false;
  char bounds[96];
  if (duration_given && !(o.duration_s > 0 && o.duration_s <= kLongestDurationS)) {
    std::snprintf(bounds, sizeof bounds, "--duration takes more than 0 and at most %g seconds", kLongestDurationS);
    error = bounds;
    return false;
  }
  if (o.status_s != 0 && !(o.status_s >= kShortestStatusS && o.status_s <= kLongestStatusS)) {
    std::snprintf(bounds, sizeof bounds, "--status takes 0 (never) or %g to %g seconds", kShortestStatusS,
                  kLongestStatusS);
    error = bounds;
    return false;
  }
  o.camera = static_cast<int>(camera);
  if (o.width % 2 != 0 || (o.fourcc == 0x32315659 && o.height % 2 != 0)) {
    error = "the size must be even (width for yuy2, width and height for yv12)";
    return false;
  }
  if (o.pcm_stdin && (o.yuv_path == L"-" || !o.wav_path.empty())) {
    error = "--pcm - takes standard input and the sound: not with --yuv - or --wav";
    return false;
  }
  if (!o.video && !o.audio) {
    error = "--no-video and --no-audio leave nothing to feed";
    return false;
  }
  return true;
}

}  // namespace feed
