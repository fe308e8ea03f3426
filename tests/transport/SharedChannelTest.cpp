// The readers against rings the test writes itself, in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "transport/FakeRing.h"
#include "transport/Recorder.h"

namespace telvor::test {
namespace {

constexpr int kCamera = kTransportCameras;

void SetVideoFormat(SlotHeader* slot0, std::uint32_t capacity, std::uint32_t width = 64, std::uint32_t height = 48) {
  slot0->video_fourcc = kFourCcYuy2;
  slot0->video_width = width;
  slot0->video_height = height;
  slot0->video_frame_rate = 25.0;
  slot0->video_capacity = capacity;
}

void PutFrame(FakeRing& ring, std::uint32_t capacity, std::uint32_t slot, std::uint64_t sequence,
              std::uint32_t length, std::uint32_t tag) {
  SlotHeader* header = ring.Header(capacity, slot);
  header->video_sequence = sequence;
  header->video_timestamp = sequence * 400000;
  header->payload_length = length;
  if (capacity >= 4) std::memcpy(header + 1, &tag, 4);
}

DWORD MillisecondsOf(void (*action)(SharedChannel&), SharedChannel& channel) {
  const DWORD start = GetTickCount();
  action(channel);
  return GetTickCount() - start;
}

// Both objects of a channel come from one producer: the session's pair, else
// the global pair, never the mapping of one with the mutex of the other.
// The two namespaces' sections differ in size to tell which was mapped. A
// failed Create leaves nothing behind, whatever it had opened.
TEST(ChannelNames, MappingAndMutexComeFromOneNamespace) {
  constexpr int kMapping = 1, kMutex = 2, kBoth = 3;
  struct Case {
    int local, global;
    std::size_t view;  // 0: Create fails
  } const cases[] = {{0, 0, 0}, {kMapping, 0, 0}, {kMapping, kMutex, 0}, {kMutex, kMapping, 0},
                     {kMapping, kBoth, 8192}, {kMutex, kBoth, 8192}, {kBoth, kMapping, 4096}, {kBoth, kBoth, 4096}};
  for (const Case& c : cases) {
    std::vector<UniqueHandle> objects;
    for (bool global : {false, true}) {
      const int which = global ? c.global : c.local;
      if (which & kMapping) {
        objects.emplace_back(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, global ? 8192 : 4096,
                                                ChannelObjectName(kVideoNames.mapping, kCamera, global).c_str()));
      }
      if (which & kMutex) {
        objects.emplace_back(CreateMutexW(nullptr, FALSE, ChannelObjectName(kVideoNames.mutex, kCamera, global).c_str()));
      }
    }
    SharedVideo video;
    video.index = kCamera;
    EXPECT_EQ(video.Create(), c.view != 0) << "case " << &c - cases;
    EXPECT_EQ(video.ViewSize(), c.view) << "case " << &c - cases;
    if (c.view == 0) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
      EXPECT_EQ(video.View(), nullptr);
      video.Close();  // a second Close of the half-built object is harmless
      EXPECT_FALSE(video.Run());
    }
  }
}

// Slots 0..7 holding 7, 8, 9, 10, 3, 4, 5, 6: the reader starts after the
// oldest and delivers strictly in order, never jumping to the newest.
TEST(VideoReader, DeliversRingInSequenceOrderFromOldest) {
  const int camera = kCamera + 2;
  constexpr std::uint32_t kCapacity = 64;
  FakeRing ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity));
  ASSERT_TRUE(ring.Ok());
  SetVideoFormat(ring.Header(kCapacity, 0), kCapacity);
  ring.Header(kCapacity, 0)->audio_channels = 2;
  ring.Header(kCapacity, 0)->audio_bits_per_sample = 16;
  ring.Header(kCapacity, 0)->audio_samples_per_second = 48000;
  const std::uint64_t sequences[8] = {7, 8, 9, 10, 3, 4, 5, 6};
  // Lengths beyond the capacity are handed on unclipped.
  for (std::uint32_t slot = 0; slot < 8; ++slot) PutFrame(ring, kCapacity, slot, sequences[slot], 100 + sequences[slot], static_cast<std::uint32_t>(sequences[slot]));

  LogCapture log;
  Reading<SharedVideo> reading(camera);
  Recorder& recorder = reading.recorder;
  ASSERT_TRUE(reading.Start());
  ASSERT_TRUE(recorder.WaitFor(7));
  Sleep(60);
  EXPECT_EQ(recorder.Tags(), (std::vector<std::uint32_t>{4, 5, 6, 7, 8, 9, 10}));
  const auto deliveries = recorder.Deliveries();
  EXPECT_EQ(deliveries[0].time, 0.0);
  EXPECT_NEAR(deliveries[1].time, 0.04, 1e-12);
  EXPECT_NEAR(deliveries[6].time, 0.24, 1e-12);
  EXPECT_EQ(deliveries[0].length, 104u);
  // tprev starts at slot 0's timestamp (frame 7), so the first gap is negative.
  EXPECT_EQ(log.Matching(L"[TELVOR] F").at(0), L"[TELVOR] F3,4=1,0.16,-0.12,104");

  ring.Lock();
  PutFrame(ring, kCapacity, 4, 11, 8, 11);
  ring.Unlock();
  ASSERT_TRUE(recorder.WaitFor(8));
  EXPECT_EQ(recorder.Tags().back(), 11u);

  const auto formats = recorder.Formats();
  ASSERT_EQ(formats.size(), 1u);
  const Format& f = formats[0];
  EXPECT_TRUE(f.fourcc == kFourCcYuy2 && f.width == 64 && f.height == 48);
  EXPECT_TRUE(f.frame_rate == 25.0 && f.channels == 2 && f.bits == 16 && f.rate == 48000);
  EXPECT_EQ(recorder.capacity_seen, kCapacity);
}

TEST(VideoReader, TiesGoToLowerSlotAndFarAheadOrOlderNumbersWait) {
  const int camera = kCamera + 3;
  constexpr std::uint32_t kCapacity = 16;
  FakeRing ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity));
  ASSERT_TRUE(ring.Ok());
  SetVideoFormat(ring.Header(kCapacity, 0), kCapacity);
  // Slot 1 stays 0x7FFFFFFF or more ahead of every number delivered here.
  const std::uint64_t sequences[8] = {1, 4 + 0x7FFFFFFFull, 3, 3, 2, 1, 1, 1};
  for (std::uint32_t slot = 0; slot < 8; ++slot) PutFrame(ring, kCapacity, slot, sequences[slot], 4, 100 + slot);

  Reading<SharedVideo> reading(camera);
  Recorder& recorder = reading.recorder;
  ASSERT_TRUE(reading.Start());
  ASSERT_TRUE(recorder.WaitFor(2));
  Sleep(60);
  EXPECT_EQ(recorder.Tags(), (std::vector<std::uint32_t>{104, 102}));

  // A restarted numbering below the last delivered number is not followed
  // until it passes it.
  ring.Lock();
  PutFrame(ring, kCapacity, 5, 2, 4, 105);
  PutFrame(ring, kCapacity, 6, 4, 4, 106);
  ring.Unlock();
  ASSERT_TRUE(recorder.WaitFor(3));
  Sleep(60);
  EXPECT_EQ(recorder.Tags(), (std::vector<std::uint32_t>{104, 102, 106}));
}

TEST(AudioReader, FollowsLow32BitWrapAndRebasesTimes) {
  const int camera = kCamera + 4;
  constexpr std::uint32_t kCapacity = 32;
  FakeRing ring(kAudioNames, camera, RingBytes(kAudioSlotCount, kCapacity));
  ASSERT_TRUE(ring.Ok());
  SlotHeader* slot0 = ring.Header(kCapacity, 0);
  slot0->audio_channels = 0;  // not required: still announced
  slot0->audio_bits_per_sample = 16;
  slot0->audio_samples_per_second = 48000;
  slot0->audio_capacity = kCapacity;
  slot0->video_fourcc = kFourCcYv12;
  slot0->video_width = 320;
  const std::uint64_t base = 0xFFFFFFFEull;
  for (std::uint32_t slot = 0; slot < kAudioSlotCount; ++slot) {
    std::uint64_t sequence = base;
    if (slot == 1) sequence = 0x100000000ull;
    if (slot == 2) sequence = 0xFFFFFFFFull;
    if (slot == 3) sequence = 0x100000001ull;
    SlotHeader* header = ring.Header(kCapacity, slot);
    header->audio_sequence = sequence;
    header->audio_timestamp = 5000000000ull + (sequence - base) * 200000;
    header->payload_length = kCapacity;
    const std::uint32_t tag = 200 + slot;
    std::memcpy(header + 1, &tag, 4);
  }

  LogCapture log;
  Reading<SharedAudio> reading(camera);
  Recorder& recorder = reading.recorder;
  ASSERT_TRUE(reading.Start());
  ASSERT_TRUE(recorder.WaitFor(3));
  Sleep(60);
  EXPECT_EQ(recorder.Tags(), (std::vector<std::uint32_t>{202, 201, 203}));
  const auto deliveries = recorder.Deliveries();
  EXPECT_EQ(deliveries[0].time, 0.0);
  EXPECT_NEAR(deliveries[1].time, 0.02, 1e-9);
  EXPECT_NEAR(deliveries[2].time, 0.04, 1e-9);
  const auto formats = recorder.Formats();
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_TRUE(formats[0].channels == 0 && formats[0].rate == 48000);
  EXPECT_TRUE(formats[0].fourcc == kFourCcYv12 && formats[0].width == 320);
  EXPECT_EQ(log.Count(L"[TELVOR] F"), 0u);
}

void CloseChannel(SharedChannel& channel) { channel.Close(); }

TEST(ChannelLifecycle, QuitAnsweredWhileFormatMissing) {
  const int camera = kCamera + 5;
  FakeRing video_ring(kVideoNames, camera, 4096);
  FakeRing audio_ring(kAudioNames, camera, 4096);
  ASSERT_TRUE(video_ring.Ok() && audio_ring.Ok());
  SetVideoFormat(video_ring.Header(0, 0), 0, /*width=*/0);
  audio_ring.Header(0, 0)->audio_bits_per_sample = 16;  // samples per second stay 0

  LogCapture log;
  Recorder recorder;
  SharedVideo video;
  SharedAudio audio;
  video.index = audio.index = camera;
  recorder.Attach(video);
  recorder.Attach(audio);
  ASSERT_TRUE(video.Create());
  ASSERT_TRUE(audio.Create());
  EXPECT_TRUE(video.Run());
  EXPECT_TRUE(audio.Run());
  Sleep(250);
  EXPECT_TRUE(recorder.Formats().empty());
  EXPECT_LT(MillisecondsOf(&CloseChannel, video), 1000u);
  EXPECT_LT(MillisecondsOf(&CloseChannel, audio), 1000u);
  EXPECT_EQ(log.Count(L"thread terminated."), 2u);
  EXPECT_EQ(log.Count(L"): err"), 0u);
  // Only the audio reader reports a command while it waits for the format.
  EXPECT_EQ(log.Matching(L"state=").size(), 1u);
  EXPECT_EQ(log.Matching(L"state=").at(0), L"[TELVOR] state=1");
}

TEST(ChannelLifecycle, SecondRunDoesNotSignalAndRunAfterReaderEndedFailsFast) {
  const int camera = kCamera + 6;
  constexpr std::uint32_t kCapacity = 16;
  FakeRing ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity));
  ASSERT_TRUE(ring.Ok());
  SetVideoFormat(ring.Header(kCapacity, 0), kCapacity);
  PutFrame(ring, kCapacity, 1, 1, 4, 1);

  LogCapture log;
  {
    Recorder recorder;
    SharedVideo video;
    video.index = camera;
    recorder.Attach(video);
    ASSERT_TRUE(video.Create());
    EXPECT_TRUE(video.Run());
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_TRUE(video.Run());
    Sleep(50);
  }
  EXPECT_EQ(log.Count(L"video state="), 0u);
  EXPECT_EQ(log.Count(L"Video state="), 0u);

  Recorder refusing;
  refusing.format_result = 5;
  SharedVideo video;
  video.index = camera;
  refusing.Attach(video);
  ASSERT_TRUE(video.Create());
  ASSERT_TRUE(refusing.WaitForFormat());
  Sleep(50);
  EXPECT_EQ(log.Count(L"[SharedVideo::ThreadProc] on_format_changed failed, ret=5"), 1u);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(video.Run());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_STATE));
  EXPECT_LT(GetTickCount() - start, 1000u);
  // The cause was logged when the reader ended; the owner reports the failed Run.
  EXPECT_EQ(log.Count(L"[TELVOR][ERROR]"), 1u);
  EXPECT_LT(MillisecondsOf(&CloseChannel, video), 1000u);
}

TEST(HostileProducer, ShortSectionOrHugeCapacityRefusedAtCreate) {
  const int camera = kCamera + 7;
  FakeRing ring(kVideoNames, camera, 65536);
  ASSERT_TRUE(ring.Ok());
  SetVideoFormat(ring.Header(0, 0), 16000);

  LogCapture log;
  SharedVideo video;
  video.index = camera;
  EXPECT_FALSE(video.Create());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(video.View(), nullptr);
  ASSERT_EQ(log.Matching(L"shorter than").size(), 1u);
  EXPECT_NE(log.Matching(L"shorter than")[0].find(
                L"[SharedVideo::Create] section of 65536 bytes is shorter than the ring of 128672 bytes (8 x (16000 + 84))"),
            std::wstring::npos);

  ring.Header(0, 0)->video_capacity = 0xFFFFFFFFu;
  EXPECT_FALSE(video.Create());
  EXPECT_EQ(log.Count(L"ring of 34359739032 bytes"), 1u);
}

TEST(HostileProducer, ZeroCapacityDeliversLengthsButNoReadableBytes) {
  const int camera = kCamera + 8;
  FakeRing ring(kVideoNames, camera, 4096);
  ASSERT_TRUE(ring.Ok());
  SetVideoFormat(ring.Header(0, 0), 0);
  for (std::uint32_t slot = 0; slot < 8; ++slot) PutFrame(ring, 0, slot, slot, 100000, 0);

  Reading<SharedVideo> reading(camera);
  Recorder& recorder = reading.recorder;
  ASSERT_TRUE(reading.Start());
  ASSERT_TRUE(recorder.WaitFor(7));
  EXPECT_EQ(recorder.capacity_seen, 0u);
  EXPECT_EQ(recorder.Deliveries()[0].length, 100000u);
}

// A capacity that grows past the section after Create is caught before any
// slot is addressed with it, and logged once rather than every poll.
TEST(HostileProducer, CapacityBeyondSectionAfterCreateIsNeverUsed) {
  const int camera = kCamera + 9;
  FakeRing ring(kVideoNames, camera, 4096);
  ASSERT_TRUE(ring.Ok());
  LogCapture log;
  Reading<SharedVideo> reading(camera);
  Recorder& recorder = reading.recorder;
  SharedVideo& video = reading.channel;
  ASSERT_TRUE(video.Create());
  ring.Lock();
  SetVideoFormat(ring.Header(0, 0), 100000);
  ring.Unlock();
  Sleep(350);
  EXPECT_TRUE(recorder.Formats().empty());
  EXPECT_EQ(log.Count(L"[SharedVideo::ThreadProc] section of 4096 bytes is shorter than the ring of 800672 bytes"), 1u);
}

// A ring whose slot 0 holds frame 1 (tag 1), and a reader on it.
struct OneFrameRing {
  static constexpr std::uint32_t kCapacity = 16;
  explicit OneFrameRing(int camera, const wchar_t* mapping_sddl = nullptr, const wchar_t* mutex_sddl = nullptr)
      : ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity), mapping_sddl, mutex_sddl),
        reading(camera) {
    if (!ring.Ok()) return;
    SetVideoFormat(ring.Header(kCapacity, 0), kCapacity);
    PutFrame(ring, kCapacity, 0, 1, 4, 1);
  }
  // The reader runs and has delivered frame 1.
  bool Start() {
    return ring.Ok() && reading.Start() && reading.recorder.WaitFor(1);
  }
  void Write(std::uint32_t slot, std::uint32_t frame) {
    ring.Lock();
    PutFrame(ring, kCapacity, slot, frame, 4, frame);
    ring.Unlock();
  }
  FakeRing ring;
  Reading<SharedVideo> reading;
};

// A producer running as another user (a service) grants a camera only what
// it needs: mapping the section for reading, waiting for and releasing the
// mutex. The camera must manage with that.
TEST(VideoReader, FollowsProducerThatGrantsOnlyReadingAndTakingTurns) {
  OneFrameRing fed(kMoreTransportCameras + 2, L"O:SYD:P(A;;0x5;;;IU)", L"O:SYD:P(A;;0x100001;;;IU)");
  ASSERT_TRUE(fed.Start());
  fed.Write(1, 2);
  EXPECT_TRUE(fed.reading.recorder.WaitFor(2));
}

// An in-process consumer that takes the slots over and over (the video pin
// converting at every deadline) is let in before the reader's next poll; it
// must still not starve the reader.
TEST(VideoReader, ConsumerTakingSlotsOverAndOverDoesNotStarveReader) {
  constexpr std::uint32_t kFrames = 40;
  OneFrameRing fed(kCamera + 14);
  SharedVideo& video = fed.reading.channel;
  EXPECT_EQ(video.LockSlots(0), SharedChannel::SlotHold::kNone);  // nothing to lock before Create
  ASSERT_TRUE(fed.Start());

  std::atomic<bool> stop{false};
  std::atomic<int> turns{0};
  std::thread consumer([&] {
    while (!stop) {
      const SharedChannel::SlotHold hold = video.LockSlots(100);
      if (hold == SharedChannel::SlotHold::kNone) continue;
      ++turns;
      video.UnlockSlots(hold);
    }
  });
  for (std::uint32_t frame = 2; frame <= kFrames; ++frame) {
    fed.Write(frame % 8, frame);
    Sleep(2);
  }
  const bool all = fed.reading.recorder.WaitFor(kFrames, 5000);
  stop = true;
  consumer.join();
  ASSERT_TRUE(all);
  std::vector<std::uint32_t> expected;
  for (std::uint32_t frame = 1; frame <= kFrames; ++frame) expected.push_back(frame);
  EXPECT_EQ(fed.reading.recorder.Tags(), expected);
  EXPECT_GT(turns.load(), 0);
}

// While the reader sleeps holding the producer's mutex, a consumer borrows
// that hold; the producer must stay out until the consumer is done, however
// long past the reader's sleep that is.
TEST(VideoReader, BorrowedIdleHoldKeepsProducerOutUntilReturned) {
  OneFrameRing fed(kMoreTransportCameras + 1);
  SharedVideo& video = fed.reading.channel;
  ASSERT_TRUE(fed.Start());

  // The reader is idle now and holds the mutex in nearly every instant. A
  // try that had to ask for the mutex cut the reader's sleep short; the
  // pause lets it settle into the next one.
  SharedChannel::SlotHold hold = SharedChannel::SlotHold::kNone;
  for (int attempt = 0; attempt < 200 && hold != SharedChannel::SlotHold::kBorrowed; ++attempt) {
    if (hold != SharedChannel::SlotHold::kNone) video.UnlockSlots(hold);
    Sleep(1);
    hold = video.LockSlots(100);
  }
  ASSERT_EQ(hold, SharedChannel::SlotHold::kBorrowed);
  std::atomic<bool> producer_in{false};
  std::thread producer([&] {
    fed.ring.Lock();
    producer_in = true;
    fed.ring.Unlock();
    fed.Write(1, 2);
  });
  Sleep(50);  // many of the reader's 2 ms sleeps
  EXPECT_FALSE(producer_in.load());
  video.UnlockSlots(hold);
  producer.join();
  EXPECT_TRUE(fed.reading.recorder.WaitFor(2));
}

}  // namespace
}  // namespace telvor::test
