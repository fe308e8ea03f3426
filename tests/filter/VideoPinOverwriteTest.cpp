// The video pin against a producer that rewrites slots the pin has queued,
// keeps its mutex for long, or is halfway through a frame: every sample is a
// whole frame, the pictures never go back in time, and the stream never stalls.
#include <gtest/gtest.h>

#include <control.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "transport/SlotHeader.h"

#include "support/LogCapture.h"
#include "support/Watchdog.h"
#include "support/TestSink.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr std::uint32_t kFrameBytes = kWidth * kHeight * 2;
constexpr DWORD kWaitMs = 4000;
constexpr int kSlots = 8;

// A producer's YUY2 ring written by hand, so that a test chooses which slot
// each frame goes to and when the mutex is held.
class HandRing {
 public:
  explicit HandRing(int cameraIndex) {
    const std::wstring number = std::to_wstring(cameraIndex);
    mapping_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      kSlots * (kFrameBytes + kSlotHeaderSize),
                                      (L"KAVO.VCAM.V.SHARE.MEMORY." + number).c_str()));
    mutex_.Reset(CreateMutexW(nullptr, FALSE, (L"KAVO.VCAM.V.MUTEX." + number).c_str()));
    if (mapping_) view_ = static_cast<BYTE*>(MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view_) return;
    SlotHeader header = {};
    header.video_fourcc = kFourCcYuy2;
    header.video_width = kWidth;
    header.video_height = kHeight;
    header.video_frame_rate = 30.0;
    header.video_capacity = kFrameBytes;
    std::memcpy(view_, &header, sizeof header);
  }
  ~HandRing() {
    if (view_) UnmapViewOfFile(view_);
  }
  bool Ok() const { return view_ && mutex_; }
  void Lock() { WaitForSingleObject(mutex_.Get(), INFINITE); }
  void Unlock() { ReleaseMutex(mutex_.Get()); }
  // Payload bytes [from, to) of a slot; the caller holds the mutex.
  void Fill(int slot, BYTE value, std::uint32_t from, std::uint32_t to) {
    std::memset(Slot(slot) + kSlotHeaderSize + from, value, to - from);
  }
  // Numbers a slot's frame, as a producer does once the picture is in.
  void Stamp(int slot, std::uint64_t sequence) {
    SlotHeader header;
    std::memcpy(&header, Slot(slot), sizeof header);
    header.video_sequence = sequence;
    header.video_timestamp = sequence * 333333;
    header.payload_length = kFrameBytes;
    std::memcpy(Slot(slot), &header, sizeof header);
  }
  void Write(int slot, std::uint64_t sequence, BYTE value) {
    Lock();
    Fill(slot, value, 0, kFrameBytes);
    Stamp(slot, sequence);
    Unlock();
  }

 private:
  BYTE* Slot(int slot) { return view_ + static_cast<size_t>(slot) * (kFrameBytes + kSlotHeaderSize); }

  UniqueHandle mapping_;
  UniqueHandle mutex_;
  BYTE* view_ = nullptr;
};

class VideoPinOverwrite : public CameraGraphTest {
 protected:
  void Build(int cameraIndex, double fps) { BuildGraph(cameraIndex, fps, kWidth, kHeight); }
};

constexpr int kBlack = -1;
constexpr int kMixed = -2;

// The value every byte of a producer frame had (a same-size YUY2 output is a
// plain copy), kBlack for the pin's black picture, kMixed for anything else:
// a torn frame or garbage.
int PictureOf(const ReceivedSample& sample) {
  const std::vector<BYTE>& data = sample.data;
  if (data.size() != kFrameBytes) return kMixed;
  if (std::all_of(data.begin(), data.end(), [&](BYTE b) { return b == data[0]; })) return data[0];
  for (size_t i = 0; i < data.size(); i += 2) {
    if (data[i] != 16 || data[i + 1] != 128) return kMixed;
  }
  return kBlack;
}

TEST_F(VideoPinOverwrite, RewrittenQueuedSlotShowsTheNewerFrameAndNothingOlderFollows) {
  const int index = kVideoPinCameras + 13;
  HandRing ring(index);
  ASSERT_TRUE(ring.Ok());
  Build(index, 5.0);  // 200 ms between samples: room to queue and rewrite
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  const size_t before = sink->SampleCount();
  for (int n = 1; n <= 3; ++n) ring.Write(n - 1, n, static_cast<BYTE>(n));
  Sleep(50);  // the reader queues frames 1 to 3 (slots 0 to 2)
  ring.Write(0, 4, 4);  // frame 1's slot now holds frame 4, also queued
  const std::vector<ReceivedSample> samples = Next(before, 5);
  ASSERT_EQ(5u, samples.size());
  // Frame 1's slot shows 4 by the time it is converted, after which 2 and 3
  // would be a step back. (A machine too slow to rewrite the slot within the
  // 200 ms sees 1, 2, 3, 4: in order too.)
  int previous = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    const int picture = PictureOf(samples[i]);
    EXPECT_GE(picture, previous) << "sample " << i;
    previous = picture;
  }
  EXPECT_EQ(4, previous);
}

// The producer writes every frame into one slot, each in two halves with a
// pause between them, so a conversion outside its mutex would catch one half
// old and one half new most of the time.
struct SlowWriter {
  HandRing* ring;
  volatile LONG stop;
  volatile LONG last;
  static constexpr int kLastValue = 240;
  static DWORD WINAPI Run(void* self) {
    auto* writer = static_cast<SlowWriter*>(self);
    for (int n = 1; n <= kLastValue && !writer->stop; ++n) {
      writer->ring->Lock();
      writer->ring->Fill(0, static_cast<BYTE>(n), 0, kFrameBytes / 2);
      Sleep(3);
      writer->ring->Fill(0, static_cast<BYTE>(n), kFrameBytes / 2, kFrameBytes);
      writer->ring->Stamp(0, n);
      writer->ring->Unlock();
      writer->last = n;
      Sleep(1);
    }
    return 0;
  }
};

// A slow producer, then one that keeps its mutex for 200 ms (ten periods):
// every sample is whole and in order, the stream keeps its pace, and it
// picks the producer up again afterwards.
TEST_F(VideoPinOverwrite, SlowOrStuckProducerNeitherTearsNorStallsTheStream) {
  Watchdog watchdog("VideoPinOverwriteTest", 30);
  const int index = kVideoPinCameras + 14;
  HandRing ring(index);
  ASSERT_TRUE(ring.Ok());
  LogCapture log;
  Build(index, 50.0);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));

  SlowWriter writer = {&ring, 0, 0};
  UniqueHandle thread(CreateThread(nullptr, 0, &SlowWriter::Run, &writer, 0, nullptr));
  ASSERT_TRUE(thread);
  const std::vector<ReceivedSample> written = Next(sink->SampleCount(), 30);
  writer.stop = 1;
  WaitForSingleObject(thread.Get(), INFINITE);
  ASSERT_EQ(30u, written.size());
  int converted = 0;
  int previous = 0;
  for (size_t i = 0; i < written.size(); ++i) {
    const int picture = PictureOf(written[i]);
    ASSERT_NE(kMixed, picture) << "sample " << i << " is torn";
    if (picture == kBlack) continue;
    ++converted;
    EXPECT_GE(picture, previous) << "sample " << i << " went back in time";
    previous = picture;
  }
  EXPECT_GE(converted, 10);

  const int last = writer.last;
  ring.Lock();
  const size_t heldFrom = sink->SampleCount();
  Sleep(200);
  const size_t heldTo = sink->SampleCount();
  ring.Unlock();
  EXPECT_GE(heldTo - heldFrom, 3u);
  int black = 0;
  for (const ReceivedSample& sample : Next(heldFrom, heldTo - heldFrom)) {
    const int picture = PictureOf(sample);
    EXPECT_TRUE(picture == kBlack || picture == last) << picture;
    black += picture == kBlack;
  }
  EXPECT_GE(black, 2);
  EXPECT_EQ(1u, log.Count(L"producer kept its mutex over 20 ms, black picture sent"));

  ring.Write(1, last + 1, SlowWriter::kLastValue + 1);
  bool seen = false;
  for (size_t i = heldTo; i < heldTo + 50 && !seen; ++i) {
    const std::vector<ReceivedSample> next = Next(i, 1);
    ASSERT_EQ(1u, next.size());
    seen = PictureOf(next[0]) == SlowWriter::kLastValue + 1;
  }
  EXPECT_TRUE(seen) << "the stream did not pick the producer up again";
}

}  // namespace
}  // namespace telvor::test
