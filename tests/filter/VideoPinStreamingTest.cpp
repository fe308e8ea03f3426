// The video pin in Wine's filter graph: pacing, time stamps, the black
// picture, producer frames through the queue, and restarts.
#include <gtest/gtest.h>

#include <control.h>

#include <cstdio>
#include <string>

#include "transport/SlotHeader.h"

#include "support/LogCapture.h"
#include "support/TestSink.h"
#include "support/WinTestSupport.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr DWORD kWaitMs = 4000;

class VideoPinStreaming : public CameraGraphTest {
 protected:
  void Build(int cameraIndex, double fps) { BuildGraph(cameraIndex, fps, kWidth, kHeight); }
};

// A producer ring written by hand: the library refuses slots shorter than a
// frame, a careless producer may not.
class ShortSlotRing {
 public:
  ShortSlotRing(int cameraIndex, std::uint32_t width, std::uint32_t height, std::uint32_t capacity)
      : capacity_(capacity) {
    const std::wstring number = (cameraIndex < 10 ? L"0" : L"") + std::to_wstring(cameraIndex);
    const DWORD bytes = 8 * (capacity + 84);
    mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes,
                                      (L"KAVO.VCAM.V.SHARE.MEMORY." + number).c_str()));
    mutex_.Reset(CreateMutexW(nullptr, FALSE, (L"KAVO.VCAM.V.MUTEX." + number).c_str()));
    if (mapping_) view_ = static_cast<BYTE*>(MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_) return;
    telvor::SlotHeader header = {};
    header.video_fourcc = telvor::kFourCcYuy2;
    header.video_width = width;
    header.video_height = height;
    header.video_frame_rate = 30.0;
    header.video_capacity = capacity;
    std::memcpy(view_, &header, sizeof(header));
  }
  ~ShortSlotRing() {
    if (view_) UnmapViewOfFile(view_);
  }
  bool Ok() const { return view_ && mutex_; }
  void Write(BYTE value) {
    WaitForSingleObject(mutex_.Get(), INFINITE);
    BYTE* slot = view_ + (sequence_ % 8) * (capacity_ + 84);
    ++sequence_;
    std::memset(slot + 84, value, capacity_);
    telvor::SlotHeader header;
    std::memcpy(&header, slot, sizeof(header));
    header.video_sequence = sequence_;
    header.video_timestamp = sequence_ * 333333;
    header.payload_length = capacity_;
    std::memcpy(slot, &header, sizeof(header));
    ReleaseMutex(mutex_.Get());
  }

 private:
  std::uint32_t capacity_;
  UniqueHandle mapping_;
  UniqueHandle mutex_;
  BYTE* view_ = nullptr;
  std::uint64_t sequence_ = 0;
};

bool IsBlackYuy2(const ReceivedSample& sample) {
  if (sample.data.size() < 4) return false;
  for (size_t i = 0; i + 1 < sample.data.size(); i += 2) {
    if (sample.data[i] != 16 || sample.data[i + 1] != 128) return false;
  }
  return true;
}

bool IsFilledWith(const ReceivedSample& sample, BYTE value) {
  if (sample.data.size() != static_cast<size_t>(kWidth * kHeight * 2)) return false;
  for (BYTE b : sample.data) {
    if (b != value) return false;
  }
  return true;
}

TEST_F(VideoPinStreaming, WithoutProducerDeliversStampedBlackFramesAtTheCameraRate) {
  LogCapture log;
  TempDir dir;
  const std::wstring pacingPath = dir.File(L"pacing.txt");
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", pacingPath.c_str());
  Build(kVideoPinCameras + 0, 50.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  const ULONGLONG started = GetTickCount64();
  const size_t first = sink->SampleCount();
  ASSERT_TRUE(sink->WaitForSamples(first + 10, kWaitMs));
  const ULONGLONG elapsed = GetTickCount64() - started;
  const std::vector<ReceivedSample> samples = Next(0, 10);
  ASSERT_EQ(10u, samples.size());
  constexpr REFERENCE_TIME kDuration = 200000;  // 50 frames per second
  for (size_t i = 0; i < samples.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(samples[i].hasTime);
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i) * kDuration, samples[i].start);
    EXPECT_EQ(static_cast<REFERENCE_TIME>(i + 1) * kDuration, samples[i].stop);
    EXPECT_TRUE(samples[i].hasMediaTime);
    EXPECT_EQ(static_cast<LONGLONG>(i), samples[i].mediaStart);
    EXPECT_EQ(static_cast<LONGLONG>(i + 1), samples[i].mediaStop);
    EXPECT_TRUE(samples[i].syncPoint);
    EXPECT_TRUE(samples[i].discontinuity);
    EXPECT_FALSE(samples[i].preroll);
    EXPECT_EQ(kWidth * kHeight * 2, samples[i].actualLength);
    EXPECT_TRUE(IsBlackYuy2(samples[i]));
  }
  // Ten more samples take ten periods of 20 ms.
  EXPECT_GE(elapsed, 160u);
  EXPECT_LT(elapsed, 2000u);
  EXPECT_EQ(1u, log.Count(L"SharedVideo::Create failed, err="));

  // The streaming thread's timing log, asked for above, is written at stop.
  control->Stop();
  SetEnvironmentVariableW(L"TELVOR_PACING_LOG", nullptr);
  std::FILE* file = _wfopen(pacingPath.c_str(), L"r");
  ASSERT_NE(nullptr, file);
  void* pin = nullptr;
  unsigned deadlines = 0;
  EXPECT_EQ(2, std::fscanf(file, "pacing of CorvaneVideoStream %p: %u deadlines", &pin, &deadlines));
  std::fclose(file);
  EXPECT_EQ(static_cast<void*>(camera.pin), pin);
  EXPECT_GE(deadlines, 11u);
}

TEST_F(VideoPinStreaming, StopThenRunRestartsTimesCountersAndChannel) {
  LogCapture log;
  Build(kVideoPinCameras + 1, 50.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_EQ(3u, Next(0, 3).size());
  ASSERT_EQ(S_OK, control->Stop());
  sink->ClearSamples();
  ASSERT_EQ(S_OK, control->Run());
  const std::vector<ReceivedSample> again = Next(0, 2);
  ASSERT_EQ(2u, again.size());
  EXPECT_EQ(0, again[0].start);
  EXPECT_EQ(0, again[0].mediaStart);
  EXPECT_EQ(1, again[1].mediaStart);
  // Each activation opens the channel anew, on its channel thread.
  for (int i = 0; i < 100 && log.Count(L"SharedVideo::Create failed, err=") < 2; ++i) Sleep(10);
  EXPECT_EQ(2u, log.Count(L"SharedVideo::Create failed, err="));
}

TEST_F(VideoPinStreaming, ProducerFrameIsConvertedIntoTheNextSample) {
  const int index = kVideoPinCameras + 2;
  Producer producer(index, kWidth, kHeight);
  ASSERT_TRUE(producer.Ok());
  LogCapture log;
  Build(index, 30.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_EQ(1u, Next(0, 1).size());
  ASSERT_TRUE(producer.Write(0x5A));
  // A frame written now reaches one of the next few samples, converted
  // (same size and format: a straight copy).
  bool seen = false;
  for (size_t i = 1; i < 10 && !seen; ++i) {
    const std::vector<ReceivedSample> next = Next(i, 1);
    ASSERT_EQ(1u, next.size());
    seen = IsFilledWith(next[0], 0x5A);
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(1u, log.Count(L"[CorvaneVideoStream::KAVOShared_OnFormatChanged], 0x"));
  EXPECT_EQ(0u, log.Count(L"SharedVideo::Create failed"));
}

// Users start the producer after the application, end it and start another
// while the call goes on: each is followed without restarting the graph, and
// an ended one leaves black, not its last frame frozen.
TEST_F(VideoPinStreaming, ProducersStartingLateEndingAndReturningAreFollowed) {
  const int index = kProducerChangeCamera;
  LogCapture log;
  Build(index, 30.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_EQ(1u, Next(0, 1).size());
  // Feeds `value` until it shows, or `gone` until black shows; the samples
  // delivered until then.
  auto waitFor = [&](Producer* producer, BYTE value, size_t* from) {
    for (int i = 0; i < 60; ++i) {
      if (producer) producer->Write(value);
      const std::vector<ReceivedSample> next = Next(*from, 1);
      if (next.empty()) return false;
      ++*from;
      if (producer ? IsFilledWith(next[0], value) : IsBlackYuy2(next[0])) return true;
    }
    return false;
  };
  size_t at = sink->SampleCount();
  auto producer = std::make_unique<Producer>(index, kWidth, kHeight);
  ASSERT_TRUE(producer->Ok());
  EXPECT_TRUE(waitFor(producer.get(), 0x41, &at)) << "a producer that started late";
  producer.reset();
  EXPECT_TRUE(waitFor(nullptr, 0, &at)) << "black after the producer ended";
  const std::vector<ReceivedSample> after = Next(at, 5);
  for (const ReceivedSample& s : after) EXPECT_TRUE(IsBlackYuy2(s));
  at += after.size();
  producer = std::make_unique<Producer>(index, kWidth / 2, kHeight / 2);
  ASSERT_TRUE(producer->Ok());
  EXPECT_TRUE(waitFor(producer.get(), 0x52, &at)) << "a new producer of another size";
  EXPECT_EQ(1u, log.Count(L"SharedVideo::Create failed, err="));
  EXPECT_EQ(2u, log.Count(L"producer appeared, channel open"));
  EXPECT_EQ(1u, log.Count(L"producer gone, channel closed"));
}

TEST_F(VideoPinStreaming, SixFramesBetweenSamplesKeepTheNewestFiveThenTheLastRepeats) {
  const int index = kVideoPinCameras + 3;
  Producer producer(index, kWidth, kHeight, 0, 8);  // every slot live: the burst stays in the ring
  ASSERT_TRUE(producer.Ok());
  Build(index, 5.0);  // 200 ms between samples: room for the burst
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  const size_t before = sink->SampleCount();
  for (BYTE value = 1; value <= 6; ++value) ASSERT_TRUE(producer.Write(value));
  const std::vector<ReceivedSample> samples = Next(before, 7);
  ASSERT_EQ(7u, samples.size());
  const BYTE expected[] = {2, 3, 4, 5, 6, 6, 6};
  for (size_t i = 0; i < 7; ++i) EXPECT_TRUE(IsFilledWith(samples[i], expected[i])) << "sample " << i;
}

// With two live slots a third frame rewrites the first one's slot while that
// one may still be queued. The pin then takes the oldest frame still whole,
// so the pictures stay in order rather than jumping to the newest.
TEST_F(VideoPinStreaming, QueuedFrameRewrittenInItsSlotGivesWayToTheNextWholeOne) {
  const int index = kMoreVideoPinCameras;
  Producer producer(index, kWidth, kHeight, 0, 2);
  ASSERT_TRUE(producer.Ok());
  Build(index, 5.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  const size_t before = sink->SampleCount();
  // 20 ms apart: the reader queues each one before the next is written.
  for (BYTE value = 1; value <= 3; ++value) {
    ASSERT_TRUE(producer.Write(value));
    Sleep(20);
  }
  const std::vector<ReceivedSample> samples = Next(before, 3);
  ASSERT_EQ(3u, samples.size());
  const BYTE expected[] = {2, 3, 3};
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(IsFilledWith(samples[i], expected[i])) << "sample " << i;
}

TEST_F(VideoPinStreaming, FormatThatDoesNotFitItsSlotGivesBlackFrames) {
  const int index = kVideoPinCameras + 4;
  ShortSlotRing producer(index, kWidth, kHeight, 4096);  // far less than one frame
  ASSERT_TRUE(producer.Ok());
  LogCapture log;
  Build(index, 50.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_EQ(1u, Next(0, 1).size());
  for (int i = 0; i < 3; ++i) producer.Write(0x77);
  const std::vector<ReceivedSample> samples = Next(1, 6);
  ASSERT_EQ(6u, samples.size());
  for (const ReceivedSample& sample : samples) EXPECT_TRUE(IsBlackYuy2(sample));
  EXPECT_EQ(1u, log.Count(L"does not fit a slot of 4096 bytes, no converter"));
}

}  // namespace
}  // namespace telvor::test
