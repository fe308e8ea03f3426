// The video pin in Wine's filter graph: pacing, time stamps and the phase
// lock, and a producer racing the pin (restarts are the buffer loop's,
// StreamingTest's). Which frame or black picture each deadline shows is
// VideoFrameSourceTest's; producers coming and going are followed end to end
// through FFmpeg (LiveRecordingTest).
#include <gtest/gtest.h>

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

#include "framework/TestSource.h"
#include "support/WinTestSupport.h"
#include "telvor_producer.h"
#include "transport/FakeRing.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr size_t kBytes = kWidth * kHeight * 2;

class VideoPinStreaming : public SinkGraphTest {
 protected:
  void TearDown() override {
    media.Reset();
    clock.Reset();
    camera = Camera();
    SinkGraphTest::TearDown();
  }
  // Pauses the graph and reads its clock into *now, so that a test can run
  // it at a start time of its own.
  void PauseReadingTheClock(REFERENCE_TIME* now) {
    ASSERT_TRUE(graph.As(&media) == S_OK && control->Pause() == S_OK &&
                media->GetSyncSource(clock.Put()) == S_OK && clock && clock->GetTime(now) == S_OK);
  }
  // The camera at `fps`, connected in YUY2 at kWidth x kHeight.
  void Build(int cameraIndex, double fps) {
    entry = MakeVideoEntry(cameraIndex, fps);
    camera = Camera::Create(cameraIndex, &entry);
    ASSERT_TRUE(camera.pin);
    const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, fps);
    Connect(camera.filter.Get(), camera.pin, &type);
  }

  FilterEntry entry = {};
  Camera camera;
  ComPtr<IMediaFilter> media;
  ComPtr<IReferenceClock> clock;
};

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
  ASSERT_NO_FATAL_FAILURE(Build(index, 50.0));
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
    const std::vector<BYTE>& data = samples[i].data;
    ASSERT_EQ(kBytes, data.size());
    if (data[0] == 16 && data[1] == 128) continue;  // black
    ASSERT_TRUE(std::all_of(data.begin(), data.end(), [&](BYTE b) { return b == data[0]; })) << i << " is torn";
    EXPECT_GE(data[0], previous) << "sample " << i << " went back in time";
    previous = data[0];
    ++converted;
  }
  EXPECT_GE(converted, 10);
}

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

// No producer for ten deadlines, then one writing 15 ms into each of the
// camera's 40 ms periods, then 4 ms later, then not at all. The deadlines
// keep their place until frames come, move there once, follow the change by
// steps only and stay when it stops; the stamps keep their grid throughout
// and the pace is the camera's.
TEST_F(VideoPinStreaming, DeadlinesMoveOnceToTheProducerThenFollowItBySteps) {
  TempDir dir;
  const std::wstring pacingPath = dir.File(L"pacing.txt");
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", pacingPath.c_str());
  const int index = kVideoPinCameras + 13;
  ASSERT_NO_FATAL_FAILURE(Build(index, 25.0));
  const telvor_video_format format = {TELVOR_FOURCC_YUY2, kWidth, kHeight, 30.0, 0, 0};
  telvor_channel* producer = nullptr;
  ASSERT_EQ(TELVOR_OK, telvor_open_video(index, 0, &format, &producer));
  // Run at a start time of our own, so that the writes' place in the
  // camera's periods does not depend on how late the test sees a sample.
  REFERENCE_TIME start = 0;
  ASSERT_NO_FATAL_FAILURE(PauseReadingTheClock(&start));
  start += 1000000;
  ASSERT_EQ(S_OK, media->Run(start));
  ASSERT_TRUE(sink->WaitForSamples(1, 4000));
  const ULONGLONG firstAt = GetTickCount64();
  ASSERT_EQ(10u, Next(0, 10).size());
  EXPECT_GE(GetTickCount64() - firstAt, 320u) << "nine periods of 40 ms";
  const size_t before = sink->SampleCount();
  const REFERENCE_TIME firstWrite = start + sink->Samples().back().start + 400000 + 150000;
  std::vector<std::uint8_t> frame(kBytes);
  for (int k = 0; k < 100; ++k) {
    REFERENCE_TIME now = 0;
    while (clock->GetTime(&now), now < firstWrite + k * 400000 + (k >= 50 ? 40000 : 0)) Sleep(1);
    std::memset(frame.data(), k, frame.size());
    ASSERT_EQ(TELVOR_OK, telvor_write(producer, frame.data(), kBytes, TELVOR_TIMESTAMP_NOW));
  }
  ASSERT_EQ(20u, Next(sink->SampleCount(), 20).size());  // 800 ms without frames
  control->Stop();
  telvor_close(producer);
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", nullptr);

  // On the grid throughout; a deadline woken late on a busy machine is a gap.
  const std::vector<ReceivedSample> samples = sink->Samples();
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(i);
    const ReceivedSample& s = samples[i];
    EXPECT_TRUE(s.hasTime && s.start == s.mediaStart * 400000 && s.stop == s.start + 400000);
    EXPECT_TRUE(s.hasMediaTime && s.mediaStop == s.mediaStart + 1);
    EXPECT_TRUE(s.syncPoint && s.discontinuity && !s.preroll && s.actualLength == long(kBytes));
    if (i > 0) {
      EXPECT_GT(s.mediaStart, samples[i - 1].mediaStart);
    }
  }
  const std::vector<std::pair<double, double>> rows = LoggedPhases(pacingPath);
  ASSERT_GE(rows.size(), before + 115);
  for (size_t i = 0; i < before; ++i) EXPECT_EQ(0.0, rows[i].second) << i;
  std::vector<size_t> moves;
  for (size_t i = before; i < rows.size(); ++i) {
    if (std::fabs(rows[i].second - rows[i - 1].second) > 0.26) moves.push_back(i);
  }
  // A stall of the machine longer than the lock's window may cost one more.
  std::string shifts;
  for (const auto& row : rows) shifts += std::to_string(row.second).substr(0, 5) + " ";
  ASSERT_GE(moves.size(), 1u) << "shifts: " << shifts;
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
  ASSERT_NO_FATAL_FAILURE(Build(kVideoPinCameras + 1, 25.0));
  const telvor_video_format format = {TELVOR_FOURCC_YUY2, kWidth, kHeight, 25.0, 0, 0};
  telvor_channel* producer = nullptr;
  ASSERT_EQ(TELVOR_OK, telvor_open_video(kVideoPinCameras + 1, 0, &format, &producer));
  std::vector<std::uint8_t> frame(kBytes);
  REFERENCE_TIME start = 0;
  ASSERT_NO_FATAL_FAILURE(PauseReadingTheClock(&start));
  start += 3000000;
  std::vector<REFERENCE_TIME> late(32, 0);
  std::thread writer([&] {
    for (int k = 1; k <= 30; ++k) {
      const REFERENCE_TIME due = start + 150000 + (k - 7) * kPeriod;  // frame 7 in the first period
      REFERENCE_TIME t = 0;
      while (clock->GetTime(&t), t < due) Sleep(1);
      late[k] = t - due;
      std::memset(frame.data(), k, kBytes);
      telvor_write(producer, frame.data(), kBytes, TELVOR_TIMESTAMP_NOW);
    }
  });
  EXPECT_EQ(S_OK, media->Run(start));
  const std::vector<ReceivedSample> samples = Next(0, 14, 10000);
  writer.join();
  telvor_close(producer);
  ASSERT_EQ(14u, samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    const ReceivedSample& s = samples[i];
    ASSERT_TRUE(!s.data.empty() && s.data[0] &&
                std::all_of(s.data.begin(), s.data.end(), [&](BYTE b) { return b == s.data[0]; }))
        << "sample " << i << " is no producer frame";
    const int value = s.data[0], previous = i ? samples[i - 1].data[0] : 0;
    if (i && std::all_of(late.begin() + previous, late.begin() + value + 2, [](REFERENCE_TIME l) { return l < 40000; })) {
      EXPECT_EQ(s.mediaStart - samples[i - 1].mediaStart, value - previous) << "sample " << i;
    }
  }
}

}  // namespace
}  // namespace telvor::test
