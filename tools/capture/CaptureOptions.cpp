#include "CaptureOptions.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cwchar>

namespace capture {

const char kCaptureHelp[] =
    "Usage: telvor-capture [options]\n"
    "Opens a DirectShow capture device the way applications do (device enumerator,\n"
    "IAMStreamConfig, the system filter graph and clock), captures for a while and\n"
    "reports what an application actually gets.\n"
    "\n"
    "Device\n"
    "  --list              list the video and audio capture devices, then exit\n"
    "  --video DEVICE      capture video from DEVICE: its friendly name or its position\n"
    "                      in the list (default: 0, the first video device)\n"
    "  --audio DEVICE      capture sound from an audio device instead\n"
    "Video format (default: the device's first capability as offered)\n"
    "  --format F          yuy2, yv12, rgb24 or rgb32\n"
    "  --size WxH          picture size\n"
    "  --fps R             frame rate\n"
    "Run\n"
    "  --duration S        measuring window in seconds, from the first sample (default 5)\n"
    "  --raw FILE          write delivered frames (or sound) raw, back to back\n"
    "  --png PREFIX        write delivered frames as PREFIX00000.png, PREFIX00001.png, ...\n"
    "  --save N            frames written by --raw and --png (default 30, 0: all)\n"
    "  --wav FILE          write the delivered sound as a WAV file (audio)\n"
    "  --clock             no device: wake on the system reference clock every period\n"
    "                      (--fps, default 30) for --duration and report the jitter_*\n"
    "                      figures, i.e. what the clock alone gives on this machine\n"
    "  --quiet             print only the key=value lines\n"
    "  --help              this text\n"
    "\n"
    "Output: one summary line, then one key=value line per figure. Video figures:\n"
    "  samples             samples delivered in the window (samples_expected: window/period)\n"
    "  times_*             sample stamps against the grid start0 + n * period\n"
    "  frames_*            producer frames read from telvor-feed's frame-number band:\n"
    "                      distinct (new), repeated, dropped (skipped), written (first to\n"
    "                      newest seen) and delivered_pct = distinct / written; pictures\n"
    "                      without a band (black, or not telvor-feed's) count as unmarked\n"
    "  jitter_*            |interval between deliveries - period|, p50/p99/max in ms\n"
    "  latency_*           producer write to delivery of each new frame, from the\n"
    "                      write-time band of telvor-feed --stamp (same clock:\n"
    "                      QueryPerformanceCounter in 100-ns units)\n"
    "  video_first_frame_delay_ms  age of the first producer picture delivered, from its\n"
    "                      write time (--stamp); empty when the first carried none\n"
    "  video_offset_*      stream time at arrival (graph clock - the tStart this tool's\n"
    "                      filter got with Run) - sample start: count, p50/p99/max, min\n"
    "                      in ms; a live source never goes below 0\n"
    "  video_before_run    samples that arrived before the graph ran this tool's filter\n"
    "  cpu_ms_per_frame    CPU time of this process (camera included) per delivered frame\n"
    "Audio figures: samples, audio_frames, rate_per_s (the clock-paced rate),\n"
    "rate_error_pct, silent_samples, times_gaps, longest_arrival_gap_ms, and\n"
    "audio_offset_* and audio_before_run as for video.\n"
    "Saving frames costs time in the delivery path and shows in jitter and CPU.\n"
    "The bands are read through Stretch and through the placements that leave bars\n"
    "(scale style 1); the cropping one (style 2) keeps them only when the producer's\n"
    "and the capture's aspect ratios match.\n"
    "\n"
    "Exit codes: 0 done, 1 device or graph failure, 2 bad options, 3 no samples arrived.\n";

namespace {

bool ParseNumber(const wchar_t* text, double& value) {
  wchar_t* end = nullptr;
  errno = 0;
  value = std::wcstod(text, &end);
  return end != text && *end == L'\0' && errno == 0 && std::isfinite(value);
}

bool ParseSize(const wchar_t* text, std::int32_t& width, std::int32_t& height) {
  unsigned w = 0, h = 0;
  wchar_t tail = 0;
  if (std::swscanf(text, L"%ux%u%lc", &w, &h, &tail) != 2 || w == 0 || h == 0 || w > 16384 || h > 16384) {
    return false;
  }
  width = static_cast<std::int32_t>(w);
  height = static_cast<std::int32_t>(h);
  return true;
}

bool ParseFormat(const std::wstring& text, PixelFormat& format) {
  if (text == L"yuy2") format = PixelFormat::kYuy2;
  else if (text == L"yv12") format = PixelFormat::kYv12;
  else if (text == L"rgb24") format = PixelFormat::kRgb24;
  else if (text == L"rgb32") format = PixelFormat::kRgb32;
  else return false;
  return true;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 128 ? static_cast<char>(c) : '?');
  return out;
}

// Paths stay as typed; only ASCII paths are accepted, which the C runtime opens as is.
bool ParsePath(const std::wstring& text, std::string& path) {
  path = Narrow(text);
  return path.find('?') == std::string::npos && !path.empty();
}

bool ParseValue(const std::wstring& name, const wchar_t* value, CaptureOptions& o, std::string& error) {
  double number = 0;
  bool ok = true;
  if (name == L"--video" || name == L"--audio") {
    o.audio = name == L"--audio";
    o.device = value;
    ok = !o.device.empty();
  } else if (name == L"--format") {
    ok = ParseFormat(value, o.format);
  } else if (name == L"--size") {
    ok = ParseSize(value, o.width, o.height);
  } else if (name == L"--fps") {
    ok = ParseNumber(value, o.fps) && o.fps > 0 && o.fps <= 1000;
  } else if (name == L"--duration") {
    ok = ParseNumber(value, o.duration_s) && o.duration_s > 0 && o.duration_s <= 86400;
  } else if (name == L"--raw") {
    ok = ParsePath(value, o.raw_path);
  } else if (name == L"--png") {
    ok = ParsePath(value, o.png_prefix);
  } else if (name == L"--wav") {
    ok = ParsePath(value, o.wav_path);
  } else if (name == L"--save") {
    ok = ParseNumber(value, number) && number >= 0 && number <= 1e9 && number == std::floor(number);
    o.save_count = static_cast<std::uint32_t>(number);
  } else {
    error = "unknown option " + Narrow(name);
    return false;
  }
  if (!ok) error = "bad value for " + Narrow(name) + ": " + Narrow(value);
  return ok;
}

}  // namespace

bool ParseOptions(int argc, wchar_t** argv, CaptureOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring name = argv[i];
    if (name == L"--help" || name == L"-h" || name == L"/?") {
      o.help = true;
    } else if (name == L"--list") {
      o.list = true;
    } else if (name == L"--clock") {
      o.clock = true;
    } else if (name == L"--quiet") {
      o.quiet = true;
    } else if (name.rfind(L"--", 0) != 0) {
      error = "unexpected argument " + Narrow(name);
      return false;
    } else if (i + 1 >= argc) {
      error = Narrow(name) + " needs a value (or is unknown)";
      return false;
    } else if (!ParseValue(name, argv[++i], o, error)) {
      return false;
    }
  }
  if (o.audio && (o.format != PixelFormat::kUnknown || o.width > 0 || o.fps > 0 || !o.png_prefix.empty())) {
    error = "--format, --size, --fps and --png are for video devices";
    return false;
  }
  if (o.clock && (o.audio || o.format != PixelFormat::kUnknown || o.width > 0 || !o.raw_path.empty() ||
                  !o.png_prefix.empty() || !o.wav_path.empty())) {
    error = "--clock takes only --fps and --duration";
    return false;
  }
  if (!o.audio && !o.wav_path.empty()) {
    error = "--wav needs an audio device (--audio)";
    return false;
  }
  return true;
}

}  // namespace capture
