// The video pin in Wine's filter graph: pacing, time stamps, the black
// picture, and a producer racing the pin (restarts are the buffer loop's,
// StreamingTest's). Which frame each deadline
// shows is VideoFrameSourceTest's; producers coming and going are followed
// end to end through FFmpeg (LiveRecordingTest).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "support/LogCapture.h"
#include "support/WinTestSupport.h"
#include "transport/FakeRing.h"
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
