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

class LiveRecording : public ::testing::Test {
 protected:
  // Camera `index`, kWidth x kHeight at kFps.
  void Install(int index) {
    name_ = "TELVOR e2e live camera " + std::to_string(index);
    module_ = std::make_unique<InstalledModule>(CameraSettings(index, name_, "", kWidth, kHeight, kFps));
    ASSERT_EQ(module_->Register().exitCode, 0);
  }
  // FFmpeg recording `frames` frames of the camera in the background.
  void Record(int frames) {
    recording_ = module_->Dir().File(L"recording.raw");
    ffmpeg_ = std::make_unique<BackgroundProcess>(
        module_->Dir(), FfmpegCommand(L"-loglevel error" + VideoInput(name_, kWidth, kHeight, "yuyv422") +
                                      RawOutput(frames, recording_)));
  }
  // True once the recording holds `frames` frames.
  bool WaitForFrames(size_t frames) const { return ffmpeg_->WaitForFileSize(recording_, frames * kFrameBytes, 30000); }
  size_t RecordedFrames() const { return ReadFileBytes(recording_).size() / kFrameBytes; }
  std::unique_ptr<FeedProcess> Feed(int index, const std::wstring& picture) const {
    return std::make_unique<FeedProcess>(module_->Dir(), index, picture + L" --fps 30 --no-audio");
  }
  std::vector<ShownRun> Finish() {
    EXPECT_EQ(ffmpeg_->WaitForExit(60000), 0) << ffmpeg_->Output();
    return ShownRuns(ReadFileBytes(recording_), kWidth, kHeight);
  }

  // Run i is a producer's: the first number shown is how long it had been
  // writing before the camera showed it.
  static void ExpectAppearedInTime(const std::vector<ShownRun>& runs, size_t i) {
    EXPECT_EQ(runs[i].kind, ShownRun::kFed) << runs;
    EXPECT_LE(runs[i].firstNumber, kAppearSeconds * kFps) << runs;
  }
  // Run i is a producer's that ended, and black follows within the bound of
  // the first showing of its last frame.
  static void ExpectBlackInTime(const std::vector<ShownRun>& runs, size_t i) {
    EXPECT_EQ(runs[i].kind, ShownRun::kFed) << runs;
    EXPECT_EQ(runs[i + 1].kind, ShownRun::kBlack) << runs;
    EXPECT_LE(runs[i + 1].first - runs[i].lastNumberAt, kBlackSeconds * kFps)
        << "last producer frame first shown at " << runs[i].lastNumberAt << runs;
  }

  std::unique_ptr<InstalledModule> module_;
  std::string name_;
  std::wstring recording_;
  std::unique_ptr<BackgroundProcess> ffmpeg_;
};

// Black; a producer started 2 s into the recording; its clean end; another
// producer of another size and format, killed after a second: black again.
// (A camera opened while its producer runs shows it at once: the audio
// recording's pictures.)
TEST_F(LiveRecording, FollowsProducersStartingEndingReplacedAndKilled) {
  const int index = kEndToEndCameras + 2;
  Install(index);
  Record(285);
  ASSERT_TRUE(WaitForFrames(2 * kFps));
  auto first = Feed(index, L"--size 320x240 --duration 1");
  ASSERT_EQ(first->WaitForExit(20000), 0) << first->Output();
  ASSERT_TRUE(WaitForFrames(RecordedFrames() + kFps + 3));
  auto second = Feed(index, L"--size 640x360 --format yv12");
  ASSERT_TRUE(WaitForFrames(RecordedFrames() + kFps + 15));
  second->Kill();
  const auto runs = Finish();
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
