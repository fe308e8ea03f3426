// FFmpeg records a camera while producers start, end cleanly, die and are
// replaced: the recording follows them without a restart of the graph. Times
// are counted in frames of the camera's rate, and telvor-feed's frame number
// band tells which producer frame each recorded one shows.

#include "Clients.h"

namespace {

using namespace telvor::e2e;

constexpr int kWidth = 320, kHeight = 240, kFps = 30;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * 2;
// A producer appears within 0.5 s of its first frame and a producer's end
// leaves black within 1 s; two frames more cover reading the times off frame
// indexes and numbers (a shown frame is up to two periods old).
constexpr double kAppearSeconds = 0.5 + 2.0 / kFps;
constexpr double kBlackSeconds = 1.0 + 2.0 / kFps;

// Run i is a producer's: the first number shown is how long it had been
// writing before the camera showed it.
void ExpectAppearedInTime(const std::vector<ShownRun>& runs, size_t i) {
  EXPECT_EQ(runs[i].kind, ShownRun::kFed) << runs;
  EXPECT_LE(runs[i].firstNumber, kAppearSeconds * kFps) << runs;
}
// Run i is a producer's that ended, and black follows within the bound of
// the first showing of its last frame.
void ExpectBlackInTime(const std::vector<ShownRun>& runs, size_t i) {
  EXPECT_EQ(runs[i].kind, ShownRun::kFed) << runs;
  EXPECT_EQ(runs[i + 1].kind, ShownRun::kBlack) << runs;
  EXPECT_LE(runs[i + 1].first - runs[i].lastNumberAt, kBlackSeconds * kFps)
      << "last producer frame first shown at " << runs[i].lastNumberAt << runs;
}

// Black; a producer started 2 s into the recording; its clean end; another
// producer of another size and format, killed after a second: black again.
// (A camera opened while its producer runs shows it at once: the audio
// recording's pictures.)
TEST(LiveRecording, FollowsProducersStartingEndingReplacedAndKilled) {
  const int index = kEndToEndCameras + 2;
  const std::string name = "TELVOR e2e live camera " + std::to_string(index);
  InstalledModule module(CameraSettings(index, name, "", kWidth, kHeight, kFps));
  ASSERT_EQ(module.Register().exitCode, 0);
  const std::wstring recording = module.Dir().File(L"recording.raw");
  BackgroundProcess ffmpeg(module.Dir(), FfmpegCommand(L"-loglevel error" + VideoInput(name, kWidth, kHeight, "yuyv422") +
                                                       RawOutput(285, recording)));
  // True once the recording holds `more` frames beyond what it holds now.
  auto waitForMore = [&](size_t more) {
    const size_t now = ReadFileBytes(recording).size() / kFrameBytes;
    return ffmpeg.WaitForFileSize(recording, (now + more) * kFrameBytes, 30000);
  };
  auto feed = [&](const std::wstring& picture) { return FeedProcess(module.Dir(), index, picture + L" --fps 30 --no-audio"); };
  ASSERT_TRUE(waitForMore(2 * kFps));
  FeedProcess first = feed(L"--size 320x240 --duration 1");
  ASSERT_EQ(first.WaitForExit(20000), 0) << first.Output();
  ASSERT_TRUE(waitForMore(kFps + 3));
  FeedProcess second = feed(L"--size 640x360 --format yv12");
  ASSERT_TRUE(waitForMore(kFps + 15));
  second.Kill();
  ASSERT_EQ(ffmpeg.WaitForExit(60000), 0) << ffmpeg.Output();
  const auto runs = ShownRuns(ReadFileBytes(recording), kWidth, kHeight);
  ASSERT_EQ(runs.size(), 5u) << runs;
  EXPECT_EQ(runs[0].kind, ShownRun::kBlack) << runs;
  EXPECT_GE(runs[0].count, size_t{2 * kFps}) << runs;
  ExpectAppearedInTime(runs, 1);
  ExpectBlackInTime(runs, 1);
  ExpectAppearedInTime(runs, 3);
  EXPECT_GE(runs[3].count, size_t{kFps / 2}) << runs;
  ExpectBlackInTime(runs, 3);
}

}  // namespace
