#include "FeedOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    "                      test picture\n"
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
    "  --packet-ms MS      packet length, 1..100 ms (default 10)\n"
    "  --no-audio          feed no audio\n"
    "Run\n"
    "  --duration S        stop after S seconds (default: run until Ctrl+C)\n"
    "  --status S          print a status line every S seconds (default 2, 0: never)\n"
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

bool ParseNumber(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

bool ParseCount(const char* text, double low, double high, std::uint32_t& out) {
  double value = 0;
  if (!ParseNumber(text, value) || value != std::floor(value) || value < low || value > high) return false;
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool ParseSize(const char* text, std::uint32_t& width, std::uint32_t& height) {
  unsigned w = 0, h = 0;
  char tail = 0;
  if (std::sscanf(text, "%ux%u%c", &w, &h, &tail) != 2 || w == 0 || h == 0 || w > 16384 || h > 16384) return false;
  width = w;
  height = h;
  return true;
}

// Options that take a value; returns false with a message for a bad one.
bool ParseValue(const std::string& name, const char* value, FeedOptions& o, std::string& error) {
  std::uint32_t count = 0;
  double number = 0;
  bool ok = true;
  if (name == "--camera") {
    ok = ParseCount(value, 0, 63, count);
    o.camera = static_cast<int>(count);
  } else if (name == "--format") {
    ok = std::strcmp(value, "yuy2") == 0 || std::strcmp(value, "yv12") == 0;
    o.fourcc = std::strcmp(value, "yv12") == 0 ? 0x32315659 : 0x32595559;
  } else if (name == "--size") {
    ok = ParseSize(value, o.width, o.height);
  } else if (name == "--fps") {
    ok = ParseNumber(value, o.fps) && o.fps > 0 && o.fps <= 1000;
  } else if (name == "--live-slots") {
    ok = ParseCount(value, 1, 8, o.live_slots);
  } else if (name == "--yuv") {
    o.yuv_path = value;
  } else if (name == "--dump") {
    o.dump_path = value;
  } else if (name == "--dump-frames") {
    ok = ParseCount(value, 0, 1e9, o.dump_frames);
  } else if (name == "--tone") {
    ok = ParseNumber(value, o.tone_hz) && o.tone_hz >= 0 && o.tone_hz <= 24000;
  } else if (name == "--wav") {
    o.wav_path = value;
  } else if (name == "--packet-ms") {
    ok = ParseCount(value, 1, 100, o.packet_ms);
  } else if (name == "--duration") {
    ok = ParseNumber(value, number) && number > 0;
    o.duration_s = number;
  } else if (name == "--status") {
    ok = ParseNumber(value, number) && number >= 0;
    o.status_s = number;
  } else {
    error = "unknown option " + name;
    return false;
  }
  if (!ok) error = "bad value for " + name + ": " + value;
  return ok;
}

}  // namespace

bool ParseOptions(int argc, char** argv, FeedOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--help" || name == "-h" || name == "/?") {
      o.help = true;
    } else if (name == "--global") {
      o.global_names = true;
    } else if (name == "--deterministic") {
      o.deterministic = true;
    } else if (name == "--stamp") {
      o.stamp = true;
    } else if (name == "--no-video") {
      o.video = false;
    } else if (name == "--no-audio") {
      o.audio = false;
    } else if (i + 1 >= argc) {
      error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument " + name;
      return false;
    } else if (!ParseValue(name, argv[++i], o, error)) {
      return false;
    }
  }
  if (o.width % 2 != 0 || (o.fourcc == 0x32315659 && o.height % 2 != 0)) {
    error = "the size must be even (width for yuy2, width and height for yv12)";
    return false;
  }
  if (!o.video && !o.audio) {
    error = "--no-video and --no-audio leave nothing to feed";
    return false;
  }
  return true;
}

}  // namespace feed
