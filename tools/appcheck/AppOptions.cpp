#include "AppOptions.h"

#include <vector>

#include "CommandLine.h"
#include "Picture.h"

namespace appcheck {

const char kAppCheckHelp[] =
    "Usage: telvor-appcheck --app APP [options]\n"
    "Opens a camera exactly the way application APP does (the same DirectShow calls in\n"
    "the same order, behind a sink that accepts, proposes and drops what that\n"
    "application's own sink does) and reports what the application would show.\n"
    "\n"
    "Applications\n"
    "  --app chromium      Chrome, Edge and every Electron or WebView2 program: binds every\n"
    "                      device, finds the capture pin by its category, picks a\n"
    "                      capability by size, rate and format preference, SetFormat,\n"
    "                      ConnectDirect to a sink proposing I420, YUY2, UYVY, RGB24, RGB32,\n"
    "                      Pause, Run; a sample shorter than the frame stops the stream\n"
    "  --app obs           OBS Studio: binds every video and audio device, picks planar\n"
    "                      YUV for a chosen size (or the device default), SetFormat,\n"
    "                      ConnectDirect to a sink proposing a bare major type (falling\n"
    "                      back to RenderStream), Run without Pause; drops samples without\n"
    "                      a time stamp and asks the camera filter for IKsPropertySet in\n"
    "                      every Receive; each restart builds a new graph, as OBS does\n"
    "  --app capgraph      AMCap and the programs built like it: reopens the device by its\n"
    "                      moniker's display name, FindInterface, property pages of the\n"
    "                      filter and the capture pin, RenderStream of the preview into the\n"
    "                      system's Sample Grabber and Null Renderer (a Smart Tee when the\n"
    "                      camera has no preview pin); a size change is SetFormat on the\n"
    "                      connected pin\n"
    "  --app opencv        OpenCV's DirectShow backend: edits the GetFormat type's size and\n"
    "                      subtype only, tries subtypes until SetFormat takes one, renders\n"
    "                      the preview into a Sample Grabber set to RGB24, runs without a\n"
    "                      clock and keeps only samples of exactly width x height x 3 bytes\n"
    "\n"
    "Device and format\n"
    "  --list              list the video and audio capture devices, then exit\n"
    "  --video DEVICE      the camera: its position (default 0) or its name\n"
    "  --audio DEVICE      obs: the microphone opened beside it (position or name)\n"
    "  --size WxH          the size the user asks for (default: the application's own)\n"
    "  --fps R             the frame rate the user asks for\n"
    "  --format F          where the user picks one (obs, opencv; for chromium only the\n"
    "                      capabilities of that format are considered): i420, yv12, nv12,\n"
    "                      yuy2, uyvy, rgb24, rgb32, argb32, rgb555, rgb565, mjpg\n"
    "  --flip              obs: ask for the picture flipped (negative height)\n"
    "Run\n"
    "  --duration S        seconds of pictures per run (default 3)\n"
    "  --restarts N        stop and start N more times on the same camera\n"
    "  --stop-inside-receive\n"
    "                      obs: the application thread calls Stop while a Receive is in\n"
    "                      progress (stop_ms tells whether and when Stop returned)\n"
    "  --capture-branch    capgraph: render the capture branch too\n"
    "  --png PREFIX        save the newest picture of each run as PREFIX.png,\n"
    "                      PREFIX-1.png, ..., and its bytes as received as\n"
    "                      PREFIX.raw, PREFIX-1.raw, ...\n"
    "  --timeout S         longest wait for one call before it counts as hung (default 10)\n"
    "  --help              this text\n"
    "\n"
    "Output: one key=value line per step and figure, as they happen: *_hr results of the\n"
    "calls that matter, the connected subtype and size, samples, pictures (the right\n"
    "length), stamped, stamp_interval_mean_ms and arrival_interval_mean_ms against\n"
    "expected_interval_ms, fed_* (telvor-feed's frame numbers read back), upright and\n"
    "upside_down, black, centre_rgb, stop_ms and release_ms; restart N's figures start\n"
    "with restartN_. Then problems= and result=.\n"
    "Exit code: 0 the application shows pictures, 1 a step it cannot go on without\n"
    "failed, 2 bad command line, 3 no picture reached it, 4 a call hung (hung= names it).\n";

namespace {

bool ParseApp(const wchar_t* text, App& app) {
  const std::wstring name = text;
  if (name == L"chromium") {
    app = App::kChromium;
  } else if (name == L"obs") {
    app = App::kObs;
  } else if (name == L"capgraph") {
    app = App::kCapGraph;
  } else if (name == L"opencv") {
    app = App::kOpenCv;
  } else {
    return false;
  }
  return true;
}

bool ParseSeconds(const wchar_t* text, double& seconds) {
  return tools::ReadNumber(text, seconds) && seconds > 0 && seconds <= 3600;
}

}  // namespace

std::string AppOptions::PngFor(std::uint32_t run) const {
  if (png.empty()) return png;
  return run == 0 ? png + ".png" : png + "-" + std::to_string(run) + ".png";
}

bool ParseOptions(int argc, wchar_t** argv, AppOptions& o, std::string& error) {
  std::uint32_t width = 0, height = 0;
  const std::vector<tools::Option> options = {
      {L"--app", true, [&](const wchar_t* v) { return ParseApp(v, o.app); }},
      {L"--list", false, [&](const wchar_t*) { return o.list = true; }},
      {L"--video", true, [&](const wchar_t* v) { return !(o.video = v).empty(); }},
      {L"--audio", true, [&](const wchar_t* v) { return !(o.audio = v).empty(); }},
      {L"--size", true, [&](const wchar_t* v) { return tools::ReadSize(v, width, height); }},
      {L"--fps", true, [&](const wchar_t* v) { return tools::ReadNumber(v, o.fps) && o.fps > 0 && o.fps <= 1000; }},
      {L"--format", true, [&](const wchar_t* v) { return SubtypeByName(v, o.format); }},
      {L"--flip", false, [&](const wchar_t*) { return o.flip = true; }},
      {L"--duration", true, [&](const wchar_t* v) { return ParseSeconds(v, o.duration_s); }},
      {L"--restarts", true, [&](const wchar_t* v) { return tools::ReadCount(v, 0, 100, o.restarts); }},
      {L"--stop-inside-receive", false, [&](const wchar_t*) { return o.stopInsideReceive = true; }},
      {L"--capture-branch", false, [&](const wchar_t*) { return o.captureBranch = true; }},
      {L"--png", true, [&](const wchar_t* v) { return !(o.png = tools::Utf8(v)).empty(); }},
      {L"--timeout", true, [&](const wchar_t* v) { return ParseSeconds(v, o.timeout_s); }},
  };
  if (!tools::ReadCommandLine(argc, argv, options, o.help, error)) return false;
  o.width = static_cast<std::int32_t>(width);
  o.height = static_cast<std::int32_t>(height);
  if (!o.help && !o.list && o.app == App::kNone) {
    error = "--app is needed: chromium, obs, capgraph or opencv";
    return false;
  }
  if (!o.audio.empty() && o.app != App::kObs) {
    error = "--audio is obs's: the other applications open no microphone here";
    return false;
  }
  return true;
}

}  // namespace appcheck
