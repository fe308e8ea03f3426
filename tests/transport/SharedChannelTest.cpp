// The readers against rings the test writes itself, in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>

#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "transport/FakeRing.h"
#include "transport/Recorder.h"

namespace telvor::test {
namespace {

constexpr int kCamera = kTransportCameras;
constexpr std::uint32_t kLyingLength = 100000;  // beyond every capacity used here

// Slot 0 as a producer announces both kinds; audio_channels 0 is not required.
void SetFormat(SlotHeader* slot0, std::uint32_t capacity, std::uint32_t width = 64, std::uint32_t rate = 48000) {
  *slot0 = SlotHeader{kFourCcYuy2, width, 48, 0, 25.0, 0, 0, capacity, 0, 16, rate, 0, 0, capacity, 0, 0};
}

// Slot `slot` holds item `sequence`, stamped sequence x 400,000 (video) or
// x 200,000 (audio), its payload starting with the slot number.
void PutItem(FakeRing& ring, bool audio, std::uint32_t capacity, std::uint32_t slot, std::uint64_t sequence) {
  SlotHeader* header = ring.Header(capacity, slot);
  (audio ? header->audio_sequence : header->video_sequence) = sequence;
  (audio ? header->audio_timestamp : header->video_timestamp) = sequence * (audio ? 200000 : 400000);
  header->payload_length = kLyingLength;
  if (capacity >= 4) std::memcpy(header + 1, &slot, 4);
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
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
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
    EXPECT_EQ(video.Create(), c.view != 0);
    EXPECT_EQ(video.ViewSize(), c.view);
    if (c.view == 0) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
      EXPECT_EQ(video.View(), nullptr);
      video.Close();  // a second Close of the half-built object is harmless
      EXPECT_FALSE(video.Run());
    }
  }
}

// A reader starts after the oldest item in the ring and delivers strictly in
// sequence order, never jumping to the newest; ties go to the lower slot;
// numbers 2^31 or more ahead, or below the last delivered one, wait. Video
// follows the wrap of 64 bits; audio compares the low 32 bits and follows
// their wrap. Times are rebased to the
// first item; lengths are handed on unclipped, never read past the capacity.
TEST(ChannelReader, DeliversInSequenceOrderFromTheOldest) {
  constexpr std::uint64_t kWrap = 0xFFFFFFFEull, kMax = ~0ull;
  std::vector<std::uint64_t> wrap(kAudioSlotCount, kWrap);
  wrap[1] = kWrap + 2, wrap[2] = kWrap + 1, wrap[3] = kWrap + 3;
  const struct {
    const char* name;
    bool audio;
    std::uint32_t capacity;
    std::vector<std::uint64_t> sequences;  // by slot
    std::vector<std::uint32_t> slots;      // delivered, in order
    std::vector<std::pair<std::uint32_t, std::uint64_t>> later;  // slot, sequence written afterwards
    std::vector<std::uint32_t> laterSlots;
  } cases[] = {
      {"oldest first", false, 64, {7, 8, 9, 10, 3, 4, 5, 6}, {5, 6, 7, 0, 1, 2, 3}, {{4, 11}}, {4}},
      {"ties, far ahead, restarted numbering", false, 16, {1, 4 + 0x7FFFFFFFull, 3, 3, 2, 1, 1, 1}, {4, 2},
       {{5, 2}, {6, 4}}, {6}},
      {"zero capacity", false, 0, {0, 1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}, {}, {}},
      {"32-bit wrap", true, 32, wrap, {2, 1, 3}, {}, {}},
      {"64-bit wrap", false, 16, {kMax - 7, kMax - 6, kMax - 5, kMax - 4, kMax - 3, kMax - 2, kMax - 1, kMax},
       {1, 2, 3, 4, 5, 6, 7}, {{1, 0}, {2, 1}}, {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int camera = kCamera + 2 + static_cast<int>(&c - cases);
    const std::uint32_t slotCount = c.audio ? kAudioSlotCount : kVideoSlotCount;
    FakeRing ring(c.audio ? kAudioNames : kVideoNames, camera, RingBytes(slotCount, c.capacity));
    ASSERT_TRUE(ring.Ok());
    SetFormat(ring.Header(c.capacity, 0), c.capacity);
    for (std::uint32_t slot = 0; slot < slotCount; ++slot) PutItem(ring, c.audio, c.capacity, slot, c.sequences[slot]);
    Reading<SharedVideo> video(camera);
    Reading<SharedAudio> audio(camera);
    Recorder& recorder = c.audio ? audio.recorder : video.recorder;
    ASSERT_TRUE(c.audio ? audio.Start() : video.Start());
    ASSERT_TRUE(recorder.WaitFor(c.slots.size()));
    Sleep(60);  // nothing more may follow
    const auto deliveries = recorder.Deliveries();
    ASSERT_EQ(deliveries.size(), c.slots.size());
    for (std::size_t i = 0; i < deliveries.size(); ++i) {
      const double step = c.audio ? 0.02 : 0.04;
      const std::uint64_t steps = c.sequences[c.slots[i]] - c.sequences[c.slots[0]];
      // Stamps near 2^64 (the wrapping row's) keep a quarter millisecond in a double.
      EXPECT_NEAR(deliveries[i].time, static_cast<double>(steps) * step, 1e-3) << i;
      EXPECT_EQ(deliveries[i].length, kLyingLength);
      EXPECT_EQ(deliveries[i].tag, c.capacity ? c.slots[i] : 0u);
    }
    ring.Lock();
    for (const auto& [slot, sequence] : c.later) PutItem(ring, c.audio, c.capacity, slot, sequence);
    ring.Unlock();
    auto expected = c.slots;
    expected.insert(expected.end(), c.laterSlots.begin(), c.laterSlots.end());
    ASSERT_TRUE(recorder.WaitFor(expected.size()));
    Sleep(60);
    EXPECT_EQ(recorder.Tags(), c.capacity ? expected : std::vector<std::uint32_t>(expected.size(), 0));
    // The whole header reaches the owner, both kinds' fields.
    const auto formats = recorder.Formats();
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(std::memcmp(&formats[0], ring.Header(c.capacity, 0), sizeof(SlotHeader)), 0);
    EXPECT_EQ(recorder.capacity_seen, c.capacity);
  }
}

void ExpectClosesQuickly(SharedChannel& channel) {
  const DWORD start = GetTickCount();
  channel.Close();
  EXPECT_LT(GetTickCount() - start, 1000u);
}

TEST(ChannelLifecycle, QuitAnsweredWhileFormatMissing) {
  const int camera = kCamera + 9;
  FakeRing video_ring(kVideoNames, camera, 4096);
  FakeRing audio_ring(kAudioNames, camera, 4096);
  ASSERT_TRUE(video_ring.Ok() && audio_ring.Ok());
  SetFormat(video_ring.Header(0, 0), 0, /*width=*/0);
  SetFormat(audio_ring.Header(0, 0), 0, 64, /*rate=*/0);

  LogCapture log;
  Reading<SharedVideo> video(camera);
  Reading<SharedAudio> audio(camera);
  EXPECT_TRUE(video.Start());
  EXPECT_TRUE(audio.Start());
  Sleep(250);
  EXPECT_TRUE(video.recorder.Formats().empty() && audio.recorder.Formats().empty());
  ExpectClosesQuickly(video.channel);
  ExpectClosesQuickly(audio.channel);
  EXPECT_EQ(log.Count(L"thread terminated."), 2u);
  EXPECT_EQ(log.Count(L"): err"), 0u);
}

TEST(ChannelLifecycle, SecondRunDoesNotSignalAndRunAfterReaderEndedFailsFast) {
  const int camera = kCamera + 7;
  constexpr std::uint32_t kCapacity = 16;
  FakeRing ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity));
  ASSERT_TRUE(ring.Ok());
  SetFormat(ring.Header(kCapacity, 0), kCapacity);
  PutItem(ring, false, kCapacity, 1, 1);

  LogCapture log;
  {
    Reading<SharedVideo> running(camera);
    ASSERT_TRUE(running.Start());
    ASSERT_TRUE(running.recorder.WaitFor(1));
    EXPECT_TRUE(running.channel.Run());
    Sleep(50);
  }
  EXPECT_EQ(log.Count(L"ideo state="), 0u);

  Reading<SharedVideo> refused(camera);
  refused.recorder.format_result = 5;
  ASSERT_TRUE(refused.channel.Create());
  ASSERT_TRUE(refused.recorder.WaitForFormat());
  Sleep(50);
  EXPECT_EQ(log.Count(L"[SharedVideo::ThreadProc] on_format_changed failed, ret=5"), 1u);
  const DWORD start = GetTickCount();
  EXPECT_FALSE(refused.channel.Run());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_STATE));
  EXPECT_LT(GetTickCount() - start, 1000u);
  // The cause was logged when the reader ended; the owner reports the failed Run.
  EXPECT_EQ(log.Count(L"[TELVOR][ERROR]"), 1u);
  ExpectClosesQuickly(refused.channel);
}

// A ring larger than its section is refused before any slot is addressed with
// it: at Create, and when the capacity grows after Create (logged once rather
// than every poll). 32-bit capacities cannot wrap the size check.
TEST(HostileProducer, RingBeyondTheSectionIsNeverUsed) {
  const int camera = kCamera + 8;
  FakeRing ring(kVideoNames, camera, 65536);
  ASSERT_TRUE(ring.Ok());
  SetFormat(ring.Header(0, 0), 16000);
  LogCapture log;
  SharedVideo video;
  video.index = camera;
  EXPECT_FALSE(video.Create());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(video.View(), nullptr);
  EXPECT_EQ(log.Count(L"[SharedVideo::Create] section of 65536 bytes is shorter than the ring of 128672 bytes "
                      L"(8 x (16000 + 84))"),
            1u);
  ring.Header(0, 0)->video_capacity = 0xFFFFFFFFu;
  EXPECT_FALSE(video.Create());
  EXPECT_EQ(log.Count(L"ring of 34359739032 bytes"), 1u);

  ring.Header(0, 0)->video_capacity = 0;
  Reading<SharedVideo> reading(camera);
  ASSERT_TRUE(reading.channel.Create());
  ring.Lock();
  ring.Header(0, 0)->video_capacity = 100000;
  ring.Unlock();
  Sleep(350);
  EXPECT_TRUE(reading.recorder.Formats().empty());
  EXPECT_EQ(log.Count(L"[SharedVideo::ThreadProc] section of 65536 bytes is shorter than the ring of 800672 bytes"), 1u);
}

// A ring whose slot 0 holds frame 1 (tag 0), and a reader on it.
struct OneFrameRing {
  static constexpr std::uint32_t kCapacity = 16;
  explicit OneFrameRing(int camera, const wchar_t* mapping_sddl = nullptr, const wchar_t* mutex_sddl = nullptr)
      : ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity), mapping_sddl, mutex_sddl), reading(camera) {
    if (!ring.Ok()) return;
    SetFormat(ring.Header(kCapacity, 0), kCapacity);
    PutItem(ring, false, kCapacity, 0, 1);
  }
  // The reader runs and has delivered frame 1.
  bool Start() { return ring.Ok() && reading.Start() && reading.recorder.WaitFor(1); }
  void Write(std::uint32_t slot, std::uint64_t frame) {
    ring.Lock();
    PutItem(ring, false, kCapacity, slot, frame);
    ring.Unlock();
  }
  FakeRing ring;
  Reading<SharedVideo> reading;
};

// An in-process consumer that takes the slots over and over (the video pin
// converting at every deadline) is let in before the reader's next poll; it
// must still not starve the reader. The producer runs as another user (a
// service) and grants cameras only what they need: mapping the section for
// reading, waiting for and releasing the mutex.
TEST(VideoReader, ConsumerTakingSlotsOverAndOverDoesNotStarveReader) {
  constexpr std::uint32_t kFrames = 40;
  OneFrameRing fed(kCamera + 14, L"O:SYD:P(A;;0x5;;;IU)", L"O:SYD:P(A;;0x100001;;;IU)");
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
  std::vector<std::uint32_t> expected = {0};
  for (std::uint32_t frame = 2; frame <= kFrames; ++frame) {
    fed.Write(frame % 8, frame);
    expected.push_back(frame % 8);
    Sleep(2);
  }
  const bool all = fed.reading.recorder.WaitFor(kFrames, 5000);
  stop = true;
  consumer.join();
  ASSERT_TRUE(all);
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
