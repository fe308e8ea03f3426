// The video pin in Wine's filter graph: pacing, time stamps, the black
// picture, and a producer racing the pin (restarts are the buffer loop's,
// StreamingTest's). Which frame each deadline
// shows is VideoFrameSourceTest's; producers coming and going are followed
// end to end through FFmpeg (LiveRecordingTest).
#include <gtest/gtest.h>

#include <control.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "filter/PhaseLock.h"
#include "telvor_producer.h"
#include "transport/FakeRing.h"

#include "support/LogCapture.h"
#include "support/WinTestSupport.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr size_t kBytes = kWidth * kHeight * 2;

bool IsBlackYuy2(const ReceivedSample& sample) {
  if (sample.data.size() != kBytes) return false;
  for (size_t i = 0; i + 1 < sample.data.size(); i += 2) {
    if (sample.data[i] != 16 || sample.data[i + 1] != 128) return false;
  }
  return true;
}

bool IsFilledWith(const ReceivedSample& sample, BYTE value) {
  return sample.data.size() == kBytes &&
         std::all_of(sample.data.begin(), sample.data.end(), [&](BYTE b) { return b == value; });
}

using VideoPinStreaming = CameraGraphTest;

TEST_F(VideoPinStreaming, WithoutProducerDeliversStampedBlackFramesAtTheCameraRate) {
  LogCapture log;
  TempDir dir;
  const std::wstring pacingPath = dir.File(L"pacing.txt");
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", pacingPath.c_str());
  BuildGraph(kVideoPinCameras + 0, 50.0, kWidth, kHeight);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, 4000));
  const ULONGLONG started = GetTickCount64();
  const size_t first = sink->SampleCount();
  ASSERT_TRUE(sink->WaitForSamples(first + 10, 4000));
  const ULONGLONG elapsed = GetTickCount64() - started;
  const std::vector<ReceivedSample> samples = Next(0, 10);
  ASSERT_EQ(10u, samples.size());
  constexpr REFERENCE_TIME kDuration = 200000;  // 50 frames per second
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(i);
    const ReceivedSample& s = samples[i];
    // On the grid; a deadline the loop woke late for is a gap, never a burst.
    EXPECT_TRUE(s.hasTime && s.start == s.mediaStart * kDuration && s.stop == s.start + kDuration);
    EXPECT_TRUE(s.hasMediaTime && s.mediaStop == s.mediaStart + 1);
    if (i > 0) EXPECT_GT(s.mediaStart, samples[i - 1].mediaStart);
    EXPECT_TRUE(s.syncPoint && s.discontinuity && !s.preroll);
    EXPECT_EQ(long(kBytes), s.actualLength);
    EXPECT_TRUE(IsBlackYuy2(s));
  }
  // Ten more samples take ten periods of 20 ms.
  EXPECT_GE(elapsed, 160u);
  EXPECT_LT(elapsed, 2000u);

  // The streaming thread's timing log, asked for above, is written at stop.
  ASSERT_EQ(S_OK, control->Stop());
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", nullptr);
  std::FILE* file = _wfopen(pacingPath.c_str(), L"r");
  ASSERT_NE(nullptr, file);
  void* pin = nullptr;
  unsigned deadlines = 0;
  EXPECT_EQ(2, std::fscanf(file, "pacing of CorvaneVideoStream %p: %u deadlines", &pin, &deadlines));
  std::fclose(file);
  EXPECT_EQ(static_cast<void*>(camera.pin), pin);
  EXPECT_GE(deadlines, 11u);

  EXPECT_EQ(1u, log.Count(L"SharedVideo::Create failed, err="));
}

// A producer racing the pin: every frame goes into one slot in two halves
// with a pause between them, so a conversion outside the producer's mutex
// would catch one half old and one half new most of the time. Every sample
// is whole, black or one frame, and the frames never go back in time.
TEST_F(VideoPinStreaming, RacingProducerNeitherTearsNorGoesBack) {
  const int index = kVideoPinCameras + 14;
  FakeRing ring(kVideoNames, index, RingBytes(kVideoSlotCount, kBytes));
  ASSERT_TRUE(ring.Ok());
  SlotHeader* slot = ring.Header(kBytes, 0);
  slot->video_fourcc = kFourCcYuy2;
  slot->video_width = kWidth;
  slot->video_height = kHeight;
  slot->video_frame_rate = 30.0;
  slot->video_capacity = kBytes;
  BuildGraph(index, 50.0, kWidth, kHeight);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, 4000));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    auto* payload = reinterpret_cast<std::uint8_t*>(slot + 1);
    for (std::uint64_t n = 1; n <= 240 && !stop; ++n) {
      ring.Lock();
      std::memset(payload, static_cast<int>(n), kBytes / 2);
      Sleep(3);
      std::memset(payload + kBytes / 2, static_cast<int>(n), kBytes / 2);
      slot->video_sequence = n;
      slot->payload_length = kBytes;
      ring.Unlock();
      Sleep(1);
    }
  });
  const std::vector<ReceivedSample> samples = Next(sink->SampleCount(), 30);
  stop = true;
  writer.join();
  ASSERT_EQ(30u, samples.size());
  int previous = 0, converted = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (IsBlackYuy2(samples[i])) continue;
    const int value = samples[i].data.empty() ? -1 : samples[i].data[0];
    ASSERT_TRUE(IsFilledWith(samples[i], static_cast<BYTE>(value))) << "sample " << i << " is torn";
    EXPECT_GE(value, previous) << "sample " << i << " went back in time";
    previous = value;
    ++converted;
  }
  EXPECT_GE(converted, 10);
}

}  // namespace
}  // namespace telvor::test

namespace telvor::test {
namespace {

// A producer of this process feeding one camera.
class Producer {
 public:
  Producer(int cameraIndex, std::uint32_t width, std::uint32_t height) {
    const telvor_video_format format = {TELVOR_FOURCC_YUY2, width, height, 30.0, 0, 0};
    result_ = telvor_open_video(cameraIndex, 0, &format, &channel_);
    frame_.resize(static_cast<size_t>(width) * height * 2);
  }
  ~Producer() {
    if (channel_) telvor_close(channel_);
  }
  bool Ok() const { return result_ == TELVOR_OK; }
  // A frame whose every byte is `value`.
  bool Write(std::uint8_t value) {
    std::memset(frame_.data(), value, frame_.size());
    return telvor_write(channel_, frame_.data(), static_cast<std::uint32_t>(frame_.size()), TELVOR_TIMESTAMP_NOW) ==
           TELVOR_OK;
  }

 private:
  telvor_channel* channel_ = nullptr;
  telvor_result result_ = TELVOR_E_INVALIDARG;
  std::vector<std::uint8_t> frame_;
};

// The arrival and shift columns of the pin's timing log, one row per
// deadline, in ms; an arrival of -1000 where no frame came.
std::vector<std::pair<double, double>> LoggedPhases(const std::wstring& path) {
  std::vector<std::pair<double, double>> rows;
  std::FILE* file = _wfopen(path.c_str(), L"r");
  if (!file) return rows;
  char line[256];
  bool inRows = false;
  while (std::fgets(line, sizeof line, file)) {
    double steps[6], shift = 0;
    char arrival[32];
    if (inRows && std::sscanf(line, "%lf %lf %lf %lf %lf %lf %31s %lf", &steps[0], &steps[1], &steps[2], &steps[3],
                              &steps[4], &steps[5], arrival, &shift) == 8) {
      rows.emplace_back(arrival[0] == '-' && arrival[1] == 0 ? -1000.0 : std::atof(arrival), shift);
    }
    inRows = inRows || std::strncmp(line, "late buffer", 11) == 0;
  }
  std::fclose(file);
  return rows;
}

// Median of the arrivals logged in rows [from, to).
double MedianArrival(const std::vector<std::pair<double, double>>& rows, size_t from, size_t to) {
  std::vector<double> values;
  for (size_t i = from; i < to && i < rows.size(); ++i) {
    if (rows[i].first > -1000.0) values.push_back(rows[i].first);
  }
  if (values.empty()) return -1000.0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// A producer writing 15 ms into each of the camera's 40 ms periods, then 4 ms
// later, then not at all. The deadlines keep their place until frames come,
// move there once, follow the change by steps only and stay when it stops;
// the stamps keep their grid throughout.
TEST_F(VideoPinStreaming, DeadlinesMoveOnceToTheProducerThenFollowItBySteps) {
  TempDir dir;
  const std::wstring pacingPath = dir.File(L"pacing.txt");
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", pacingPath.c_str());
  BuildGraph(kVideoPinCameras + 13, 25.0, kWidth, kHeight);
  Producer producer(kVideoPinCameras + 13, kWidth, kHeight);
  ASSERT_TRUE(producer.Ok());
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_EQ(10u, Next(0, 10).size());  // no producer yet: ten deadlines at the grid
  const std::int64_t start = CounterNow100ns();
  const size_t before = sink->SampleCount();
  for (int k = 0; k < 100; ++k) {
    while (CounterNow100ns() < start + 150000 + k * 400000 + (k >= 50 ? 40000 : 0)) Sleep(1);
    ASSERT_TRUE(producer.Write(static_cast<std::uint8_t>(k)));
  }
  ASSERT_EQ(20u, Next(sink->SampleCount(), 20).size());  // 800 ms without frames
  control->Stop();
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", nullptr);

  const std::vector<ReceivedSample> samples = sink->Samples();
  // On the grid throughout; a deadline woken late on a busy machine is a gap.
  for (size_t i = 1; i < samples.size(); ++i) ASSERT_LE(samples[i - 1].stop, samples[i].start) << i;
  const std::vector<std::pair<double, double>> rows = LoggedPhases(pacingPath);
  ASSERT_GE(rows.size(), before + 115);
  for (size_t i = 0; i < before; ++i) EXPECT_EQ(0.0, rows[i].second) << i;
  std::vector<size_t> moves;
  for (size_t i = before; i < rows.size(); ++i) {
    if (std::fabs(rows[i].second - rows[i - 1].second) > 0.26) moves.push_back(i);
  }
  // A stall of the machine longer than the lock's window may cost one more.
  ASSERT_GE(moves.size(), 1u);
  EXPECT_LE(moves.size(), 2u);
  EXPECT_LE(moves[0], before + 40);
  // Once moved, and again once the change is followed, frames arrive about
  // the margin before their deadlines (they used to wait up to a period).
  EXPECT_NEAR(2.5, MedianArrival(rows, moves[0] + 1, before + 48), 2.5);
  EXPECT_NEAR(2.5, MedianArrival(rows, before + 82, before + 99), 2.5);
  EXPECT_EQ(rows[rows.size() - 15].second, rows.back().second) << "a producer that stopped leaves them";
}

// A producer writing 15 ms into the periods since before Run: no frame is
// overtaken by the deadlines' move. One frame further per period of the
// stamps, but where the test's own writes (to the next frame's) were late.
TEST_F(VideoPinStreaming, FramesWrittenBeforeRunArriveEachOnceFromTheFirstShown) {
  constexpr REFERENCE_TIME kPeriod = 400000;
  BuildGraph(kVideoPinCameras + 1, 25.0, kWidth, kHeight);
  Producer producer(kVideoPinCameras + 1, kWidth, kHeight);
  ComPtr<IMediaFilter> media;
  ComPtr<IReferenceClock> clock;
  REFERENCE_TIME start = 0;
  ASSERT_TRUE(producer.Ok() && graph.As(&media) == S_OK && control->Pause() == S_OK &&
              media->GetSyncSource(clock.Put()) == S_OK && clock && clock->GetTime(&start) == S_OK);
  start += 3000000;
  std::vector<REFERENCE_TIME> late(32, 0);
  std::thread writer([&] {
    for (int k = 1; k <= 30; ++k) {
      const REFERENCE_TIME due = start + 150000 + (k - 7) * kPeriod;  // frame 7 in the first period
      REFERENCE_TIME t = 0;
      while (clock->GetTime(&t), t < due) Sleep(1);
      late[k] = t - due;
      producer.Write(static_cast<std::uint8_t>(k));
    }
  });
  EXPECT_EQ(S_OK, media->Run(start));
  const std::vector<ReceivedSample> samples = Next(0, 14, 10000);
  writer.join();
  ASSERT_EQ(14u, samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    const ReceivedSample& s = samples[i];
    ASSERT_TRUE(!s.data.empty() && s.data[0] && IsFilledWith(s, s.data[0])) << "sample " << i << " is no producer frame";
    const int value = s.data[0], previous = i ? samples[i - 1].data[0] : 0;
    if (i && std::all_of(late.begin() + previous, late.begin() + value + 2, [](REFERENCE_TIME l) { return l < 40000; })) {
      EXPECT_EQ(s.mediaStart - samples[i - 1].mediaStart, value - previous) << "sample " << i;
    }
  }
}

}  // namespace
}  // namespace telvor::test
