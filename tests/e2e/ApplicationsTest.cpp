// The installed camera, fed by telvor-feed, opened the way Chromium, OBS, a
// capture-graph program and OpenCV open it (telvor-appcheck repeats each
// one's calls): each must show the producer's pictures upright, at the size
// asked, at the camera's rate, stop cleanly and start again on the same camera.

#include <cstdlib>
#include <map>
#include <sstream>

#include "Clients.h"
#include "imaging/SwScaler.h"

namespace {

using namespace telvor::e2e;

constexpr int kFps = 30;
constexpr double kSeconds = 2;  // of pictures per run (--duration)

// The key=value lines of one telvor-appcheck run.
struct AppRun {
  ProcessResult process;
  std::map<std::string, std::string> figures;
  std::string Text(const std::string& key) const {
    const auto found = figures.find(key);
    return found == figures.end() ? "(missing)" : found->second;
  }
  double Number(const std::string& key) const { return std::atof(Text(key).c_str()); }
  std::string source, picture;
};

// Camera `index` at 320x240, fed, opened by telvor-appcheck with `arguments`.
// With `keep`, the frames the producer wrote and the newest picture the
// application received are kept (`source`, `picture`).
AppRun OpenAs(int index, const std::wstring& arguments, bool microphone = false, bool keep = false) {
  const std::string camera = "TELVOR e2e app camera " + std::to_string(index);
  InstalledModule module(CameraSettings(index, camera, microphone ? camera + " microphone" : "", 320, 240, kFps));
  EXPECT_EQ(module.Register().exitCode, 0);
  const std::wstring dump = module.Dir().File(L"source.yuv"), picture = module.Dir().File(L"picture");
  FeedProcess feed(module.Dir(), index,
                   L"--size 320x240" + (keep ? L" --deterministic --dump-frames 100000 --dump " + Quoted(dump) : L""));
  EXPECT_TRUE(feed.WaitForChannel(true)) << feed.Output();
  const std::wstring audio = microphone ? L" --audio " + Quoted(Widen(camera + " microphone")) : L"";
  AppRun run;
  run.process = RunCaptured(module.Dir(), Tool(L"appcheck/telvor-appcheck.exe") + L" --video " + Quoted(Widen(camera)) +
                                              L" --duration 2 --timeout 8 " + arguments + audio +
                                              (keep ? L" --png " + Quoted(picture) : L""));
  if (keep) {
    feed.Kill();
    run.source = ReadFileBytes(dump);
    run.picture = ReadFileBytes(picture + L".raw");
  }
  std::istringstream lines(run.process.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals != std::string::npos) run.figures[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return run;
}

// What the user of run `p` ("" or "restartN_") sees: the producer's moving
// picture in every picture, upright, at the size, at the rate (and stamped at
// it where the application reads the stamps), then a prompt stop.
void ExpectShown(const AppRun& r, const std::string& p, const std::string& size, double fps, bool stamps) {
  SCOPED_TRACE(p + " problems: " + r.Text("problems"));
  const double periodMs = 1000 / fps;
  EXPECT_EQ(r.Text(p + "width") + "x" + r.Text(p + "height"), size);
  ASSERT_GE(r.Number(p + "pictures"), 0.75 * fps * kSeconds) << r.process.output;
  EXPECT_GE(r.Number(p + "fed_pictures"), r.Number(p + "pictures") - 1) << "pictures without the producer's";
  EXPECT_GE(r.Number(p + "fed_distinct"), r.Number(p + "fed_pictures") - 3) << "the picture stood still";
  EXPECT_EQ(r.Number(p + "upright"), r.Number(p + "fed_pictures"));
  EXPECT_NEAR(r.Number(p + "arrival_interval_median_ms"), periodMs, periodMs / 10);
  if (stamps) {
    EXPECT_NEAR(r.Number(p + "stamp_interval_median_ms"), periodMs, 0.5);
  }
  EXPECT_LT(r.Number(p.substr(0, p.find("capture_")) + "stop_ms"), 1000);
}

TEST(Applications, ChromiumPrefersI420AndConnectsWhatItSetAgainAfterARestart) {
  const AppRun r = OpenAs(kEndToEndCameras + 0, L"--app chromium --size 320x240 --fps 30 --restarts 1", false, true);
  EXPECT_EQ(r.process.exitCode, 0) << r.process.output;
  EXPECT_EQ(r.Text("chosen"), "I420 320x240");
  // The I420 picture is exactly the producer's frame in I420's planes.
  constexpr size_t kSourceBytes = 320 * 240 * 2;
  ASSERT_EQ(r.picture.size(), size_t{320 * 240 * 3 / 2});
  SwScaler converter(kConverterYuy2, 320, 240, kOutputI420, 320, 240, false, 2, 0);
  std::string expected(r.picture.size(), '\0');
  bool found = false;
  for (size_t at = 0; !found && at + kSourceBytes <= r.source.size(); at += kSourceBytes) {
    converter.Scale(reinterpret_cast<const std::uint8_t*>(r.source.data() + at), 640,
                    reinterpret_cast<std::uint8_t*>(expected.data()), 320);
    found = expected == r.picture;
  }
  EXPECT_TRUE(found) << "the newest picture is no fed frame in I420 (" << r.source.size() / kSourceBytes
                     << " fed frames)";
  for (const std::string p : {"", "restart1_"}) {
    EXPECT_EQ(r.Text(p + "connected_subtype"), r.Text("chosen").substr(0, 4)) << p;
    EXPECT_EQ(r.Number(p + "dropped_short"), 0) << p;
    ExpectShown(r, p, "320x240", kFps, false);
  }
  // RGB rows, which Chromium always reads bottom-up, and a format its sink
  // proposes after others it would take as well.
  const AppRun rgb = OpenAs(kEndToEndCameras + 0, L"--app chromium --format rgb24 --size 320x240");
  EXPECT_EQ(rgb.process.exitCode, 0) << rgb.process.output;
  EXPECT_EQ(rgb.Text("connected_subtype"), "RGB24");
  ExpectShown(rgb, "", "320x240", kFps, false);
}

TEST(Applications, ObsStopsInsideReceiveAndGetsTenMillisecondSoundPackets) {
  const AppRun r = OpenAs(kEndToEndCameras + 1,
                          L"--app obs --size 320x240 --fps 30 --stop-inside-receive --restarts 1", true);
  EXPECT_EQ(r.process.exitCode, 0) << r.process.output;
  for (const std::string p : {"", "restart1_"}) {
    EXPECT_EQ(r.Text(p + "connected_subtype"), "YV12") << p;
    EXPECT_EQ(r.Number(p + "dropped_unstamped"), 0) << p;
    ExpectShown(r, p, "320x240", kFps, true);
    // 48 kHz, 16-bit stereo: 10 ms are 1920 bytes.
    EXPECT_EQ(r.Text(p + "audio_buffer_negotiation"), "1") << p;
    EXPECT_EQ(r.Number(p + "audio_allocator_buffer_bytes"), 1920) << p;
    EXPECT_NEAR(r.Number(p + "audio_packet_ms_mean"), 10, 0.5) << p;
  }
}

// A rate change rather than a size change: Wine's Smart Tee does not carry a
// new size on to the preview it has already connected.
TEST(Applications, CaptureGraphPreviewsThroughASmartTeeAndFollowsARateChange) {
  const AppRun r = OpenAs(kEndToEndCameras + 2, L"--app capgraph --capture-branch --fps 15 --restarts 1");
  EXPECT_EQ(r.process.exitCode, 0) << r.process.output;
  EXPECT_EQ(r.Text("render_preview_hr"), "0x0004027E") << "VFW_S_NOPREVIEWPIN: a Smart Tee makes the preview";
  EXPECT_GE(r.Number("filter_pages"), 1);
  EXPECT_GE(r.Number("pin_pages"), 1);
  EXPECT_EQ(r.Text("resize_pin_connection"), "YV12 320x240");
  for (const std::string p : {"", "restart1_"}) {
    ExpectShown(r, p, "320x240", 15, false);  // the Smart Tee strips the preview's stamps
    ExpectShown(r, p + "capture_", "320x240", 15, true);
  }
}

TEST(Applications, OpenCvGetsWholeRgbPicturesWithoutAClock) {
  const AppRun r = OpenAs(kEndToEndCameras + 3, L"--app opencv --size 320x240 --restarts 1");
  EXPECT_EQ(r.process.exitCode, 0) << r.process.output;
  EXPECT_EQ(r.Text("set_format"), "RGB24 320x240");
  EXPECT_EQ(r.Text("connected"), "RGB24 320x240");
  EXPECT_EQ(r.Text("connected_bit_count"), "24") << "a header left from another format sizes the buffers";
  for (const std::string p : {"", "restart1_"}) {
    EXPECT_EQ(r.Number(p + "pictures"), r.Number(p + "samples")) << p << "samples of another length than 320x240x3";
    ExpectShown(r, p, "320x240", kFps, false);
  }
}

}  // namespace
