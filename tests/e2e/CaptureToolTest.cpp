// telvor-capture against a real camera: the built module installed and
// registered, telvor-feed feeding it, the tool capturing two seconds of video
// and one of sound.

#include <cmath>
#include <cstdlib>

#include "Clients.h"

namespace {

using namespace telvor::e2e;

constexpr int kCamera = kEndToEndCameras + 6;

// One figure of a run's output (after its summary line, a line "key=value"
// each); NaN, which fails every comparison, when it is missing or empty.
double Figure(const std::string& output, const std::string& key) {
  const size_t at = output.find("\n" + key + "=");
  if (at == std::string::npos) return std::nan("");
  const char* begin = output.c_str() + at + key.size() + 2;
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  return end == begin ? std::nan("") : value;
}

TEST(CaptureTool, FedCameraDeliversTheProducersFramesOnTimeAndNothingBeforeRun) {
  const std::string name = "TELVOR capture tool " + std::to_string(GetCurrentProcessId());
  InstalledModule module(CameraSettings(kCamera, name, name + " mic", 640, 480) + "FILTER.COLORSPACE." +
                         std::to_string(kCamera + 1) + "=RGB24\r\n");
  const auto registered = module.Register();
  ASSERT_EQ(0, registered.exitCode) << registered.output;
  FeedProcess feed(module.Dir(), kCamera, L"--size 640x480 --fps 30 --stamp --no-audio --duration 8");
  ASSERT_TRUE(feed.WaitForChannel(true)) << feed.Output();
  Sleep(200);  // a few pictures written before the capture starts
  const auto run = RunCaptured(module.Dir(), Tool(L"capture/telvor-capture.exe") + L" --video " +
                                                 Quoted(Widen(name)) + L" --format rgb24 --size 640x480 --duration 2");
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("telvor-capture: " + name + " video RGB24 640x480: ")) << run.output;
  auto video = [&](const char* key) { return Figure(run.output, key); };
  EXPECT_EQ(1, video("bottom_up"));
  // Two seconds at 30 per second on a busy machine: most samples, on the stamp
  // grid. The window opens at the first arrival, so a late first sample and
  // the catch-up after it fit one more in.
  EXPECT_GE(video("samples"), 50) << run.output;
  EXPECT_LE(video("samples"), 62) << run.output;
  EXPECT_EQ(0, video("times_off_grid")) << run.output;
  // The producer's pictures arrive and are read back, write times included.
  EXPECT_GE(video("frames_distinct"), 40) << run.output;
  EXPECT_GT(video("latency_count"), 0) << run.output;
  EXPECT_EQ(0, video("frames_backwards")) << run.output;
  // The producer ran before the capture, so its picture is there from the first sample.
  EXPECT_GE(video("video_first_frame_delay_ms"), 0.0) << run.output;

  const auto audio = RunCaptured(module.Dir(), Tool(L"capture/telvor-capture.exe") + L" --audio " +
                                                   Quoted(Widen(name + " mic")) + L" --duration 1");
  ASSERT_EQ(0, audio.exitCode) << audio.output;
  // A live source: nothing before Run, and every stamp at or before the
  // stream time it arrived at (a 1 ms allowance for the clock's granularity).
  for (const auto& [kind, output] : {std::make_pair(std::string("video"), run.output),
                                     std::make_pair(std::string("audio"), audio.output)}) {
    EXPECT_EQ(0, Figure(output, kind + "_before_run")) << output;
    EXPECT_EQ(Figure(output, "samples"), Figure(output, kind + "_offset_count")) << output;
    EXPECT_GE(Figure(output, kind + "_offset_min_ms"), -1.0) << output;
  }
}

}  // namespace
