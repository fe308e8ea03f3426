// telvor-capture against a real camera: the built module installed and
// registered, telvor-feed feeding it, the tool capturing two seconds of video
// and one of sound.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <sstream>
#include <string>

#include "InstalledModule.h"
#include "support/CameraIndexes.h"
#include "support/WinTestSupport.h"

namespace {

using telvor::e2e::InstalledModule;
using telvor::e2e::Quoted;
using telvor::test::BuildTreePath;

constexpr int kCamera = telvor::test::kRobustnessCameras;  // 56

std::map<std::string, std::string> KeyValues(const std::string& output) {
  std::map<std::string, std::string> values;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

long Number(const std::map<std::string, std::string>& values, const std::string& key) {
  const auto it = values.find(key);
  return it == values.end() ? -1 : std::stol(it->second);
}

TEST(CaptureSmoke, FedCameraDeliversTheProducersFramesOnTimeAndNothingBeforeRun) {
  const std::string name = "TELVOR capture smoke " + std::to_string(GetCurrentProcessId());
  InstalledModule module("FILTERS=64\r\n"
                         "FILTER.VIDEO.NAME.57=" + name + "\r\n"
                         "FILTER.COLORSPACE.57=RGB24\r\n"
                         "FILTER.DEFAULT.OUTPUT.W.57=640\r\n"
                         "FILTER.DEFAULT.OUTPUT.H.57=480\r\n"
                         "FILTER.AUDIO.NAME.57=" + name + " mic\r\n");
  ASSERT_TRUE(module.Copied());
  const auto registered = module.Register();
  ASSERT_EQ(0, registered.exitCode) << registered.output;
  telvor::test::BackgroundProcess feed(Quoted(BuildTreePath(L"tools/feed/telvor-feed.exe")) + L" --camera " + std::to_wstring(kCamera) +
                  L" --size 640x480 --fps 30 --stamp --no-audio --status 0 --duration 8");
  ASSERT_TRUE(feed.Started());
  Sleep(1000);
  const auto run = telvor::e2e::RunCaptured(
      module.Dir(),
      Quoted(BuildTreePath(L"tools/capture/telvor-capture.exe")) + L" --video " +
          Quoted(telvor::e2e::Widen(name)) + L" --format rgb24 --size 640x480 --duration 2",
      60000);
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("telvor-capture: " + name + " video RGB24 640x480: ")) << run.output;
  auto values = KeyValues(run.output);
  EXPECT_EQ(1, Number(values, "bottom_up"));
  // Two seconds at 30 per second on a busy machine: most samples, on the stamp
  // grid. The window opens at the first arrival, so a late first sample and
  // the catch-up after it fit one more in.
  EXPECT_GE(Number(values, "samples"), 50) << run.output;
  EXPECT_LE(Number(values, "samples"), 62) << run.output;
  EXPECT_EQ(0, Number(values, "times_off_grid")) << run.output;
  // The producer's pictures arrive and are read back, write times included.
  EXPECT_GE(Number(values, "frames_distinct"), 40) << run.output;
  EXPECT_GT(Number(values, "latency_count"), 0) << run.output;
  EXPECT_EQ(0, Number(values, "frames_backwards")) << run.output;
  // A live source: nothing before Run, and every stamp at or before the
  // stream time it arrived at (a 1 ms allowance for the clock's granularity).
  EXPECT_EQ(0, Number(values, "video_before_run")) << run.output;
  EXPECT_EQ(Number(values, "samples"), Number(values, "video_offset_count")) << run.output;
  EXPECT_GE(std::stod(values["video_offset_min_ms"]), -1.0) << run.output;
  // The producer ran before the capture, so its picture is there from the first sample.
  EXPECT_GE(std::stod(values["video_first_frame_delay_ms"]), 0.0) << run.output;

  const auto audio = telvor::e2e::RunCaptured(
      module.Dir(),
      Quoted(BuildTreePath(L"tools/capture/telvor-capture.exe")) + L" --audio " +
          Quoted(telvor::e2e::Widen(name + " mic")) + L" --duration 1",
      60000);
  ASSERT_EQ(0, audio.exitCode) << audio.output;
  auto heard = KeyValues(audio.output);
  EXPECT_EQ(0, Number(heard, "audio_before_run")) << audio.output;
  EXPECT_EQ(Number(heard, "samples"), Number(heard, "audio_offset_count")) << audio.output;
  EXPECT_GE(std::stod(heard["audio_offset_min_ms"]), -1.0) << audio.output;
}

}  // namespace
