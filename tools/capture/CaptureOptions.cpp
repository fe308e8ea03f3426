#include "CaptureOptions.h"

#include <vector>

#include "CommandLine.h"

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

bool ParseFormat(const std::wstring& text, PixelFormat& format) {
  if (text == L"yuy2") format = PixelFormat::kYuy2;
  else if (text == L"yv12") format = PixelFormat::kYv12;
  else if (text == L"rgb24") format = PixelFormat::kRgb24;
  else if (text == L"rgb32") format = PixelFormat::kRgb32;
  else return false;
  return true;
}

// Paths stay as typed, kept in UTF-8 and opened by their wide names.
bool ParsePath(const wchar_t* text, std::string& path) {
  path = tools::Utf8(text);
  return !path.empty();
}

bool ParseSize(const wchar_t* text, std::int32_t& width, std::int32_t& height) {
  std::uint32_t w = 0, h = 0;
  if (!tools::ReadSize(text, w, h)) return false;
  width = static_cast<std::int32_t>(w);
  height = static_cast<std::int32_t>(h);
  return true;
}

bool ParseDevice(const wchar_t* text, bool audio, CaptureOptions& o) {
  o.audio = audio;
  o.device = text;
  return !o.device.empty();
}

}  // namespace

bool ParseOptions(int argc, wchar_t** argv, CaptureOptions& o, std::string& error) {
  const std::vector<tools::Option> options = {
      {L"--list", false, [&](const wchar_t*) { return o.list = true; }},
      {L"--clock", false, [&](const wchar_t*) { return o.clock = true; }},
      {L"--quiet", false, [&](const wchar_t*) { return o.quiet = true; }},
      {L"--video", true, [&](const wchar_t* v) { return ParseDevice(v, false, o); }},
      {L"--audio", true, [&](const wchar_t* v) { return ParseDevice(v, true, o); }},
      {L"--format", true, [&](const wchar_t* v) { return ParseFormat(v, o.format); }},
      {L"--size", true, [&](const wchar_t* v) { return ParseSize(v, o.width, o.height); }},
      {L"--fps", true, [&](const wchar_t* v) { return tools::ReadNumber(v, o.fps) && o.fps > 0 && o.fps <= 1000; }},
      {L"--duration", true,
       [&](const wchar_t* v) { return tools::ReadNumber(v, o.duration_s) && o.duration_s > 0 && o.duration_s <= 86400; }},
      {L"--raw", true, [&](const wchar_t* v) { return ParsePath(v, o.raw_path); }},
      {L"--png", true, [&](const wchar_t* v) { return ParsePath(v, o.png_prefix); }},
      {L"--wav", true, [&](const wchar_t* v) { return ParsePath(v, o.wav_path); }},
      {L"--save", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, 1000000000, o.save_count); }},
  };
  if (!tools::ReadCommandLine(argc, argv, options, o.help, error)) return false;
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
