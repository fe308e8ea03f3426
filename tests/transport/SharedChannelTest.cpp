// The readers against rings the test writes itself, in this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "support/FakeRing.h"
#include "transport/Recorder.h"
#include "transport/SharedAudio.h"
#include "transport/SharedVideo.h"
#include "transport/ObjectSecurity.h"
#include "transport/WatchStatus.h"

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
// their wrap. Times are rebased to the first item; lengths are handed on
// unclipped, never read past the capacity.
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
    LogCapture log;
    ASSERT_TRUE(c.audio ? audio.Start() : video.Start());
    ASSERT_TRUE(recorder.WaitFor(c.slots.size()));
    EXPECT_TRUE(c.audio ? audio.channel.Run() : video.channel.Run());  // running: not passed on to the reader
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
    EXPECT_EQ(log.Count(L"o state="), 0u);
  }
}

// Everything written by the time the reader takes the mutex is handed on in
// that one hold: whoever takes the mutex next (a producer writing on, or
// keeping it a while) must not strand items already written, or a camera
// plays silence for sound that was there. The first hand-over waits until
// the test is queued for the mutex, which it then gets before the reader.
TEST(ChannelReader, HandsOnEverythingWrittenInTheHoldItTakes) {
  const int camera = kCamera + 8;
  constexpr std::uint32_t kCapacity = 64, kItems = 8;
  FakeRing ring(kAudioNames, camera, RingBytes(kAudioSlotCount, kCapacity));
  ASSERT_TRUE(ring.Ok());
  SetFormat(ring.Header(kCapacity, 0), kCapacity);
  struct Gate {
    UniqueHandle inside{CreateEventW(nullptr, TRUE, FALSE, nullptr)}, proceed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<std::uint32_t> handed{0};
  } gate;
  SharedAudio channel;
  channel.index = camera;
  channel.user = &gate;
  channel.on_format_changed = [](SharedAudio* reader, const SlotHeader&, void*) -> std::int32_t {
    reader->on_audio_preview = [](SharedAudio*, double, const std::uint8_t*, std::uint32_t, void* user) -> std::int32_t {
      auto* g = static_cast<Gate*>(user);
      if (g->handed++ == 0) {
        SetEvent(g->inside.Get());
        WaitForSingleObject(g->proceed.Get(), 5000);
      }
      return 0;
    };
    return 0;
  };
  ASSERT_TRUE(channel.Create() && channel.Run());
  Sleep(50);  // the format announced, nothing to hand on yet
  ring.Lock();
  for (std::uint32_t i = 1; i <= kItems; ++i) PutItem(ring, true, kCapacity, i, i);
  ring.Unlock();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate.inside.Get(), 3000));
  std::uint32_t handedWhenLocked = 0;
  std::thread producer([&] {
    ring.Lock();
    handedWhenLocked = gate.handed;
    ring.Unlock();
  });
  Sleep(100);  // the producer waits for the mutex
  SetEvent(gate.proceed.Get());
  producer.join();
  EXPECT_EQ(kItems, handedWhenLocked);
  channel.Close();
}

// Readers that never deliver: without a usable format, with a ring longer
// than its section (found at Create, or grown after it: said once, not at
// every poll; a 32-bit capacity cannot wrap the size check) or with the
// format refused by the owner. Each fails at once or waits for its quit.
TEST(ChannelLifecycle, NoDeliveryWithoutAUsableFormat) {
  const struct {
    const char* name;
    bool audio;
    std::uint32_t width, rate, capacity;
    std::uint32_t grown;      // capacity written after Create; 0: none
    std::int32_t refusal;     // the owner's answer to the format
    DWORD create_error;       // 0: Create succeeds
    std::size_t errors;       // error lines
  } cases[] = {
      {"video without a width", false, 0, 48000, 0, 0, 0, 0, 0},
      {"audio without a rate", true, 64, 0, 0, 0, 0, 0, 0},
      {"ring longer than the section", false, 64, 48000, 16000, 0, 0, ERROR_INVALID_DATA, 1},
      {"capacity at the 32-bit limit", false, 64, 48000, 0xFFFFFFFFu, 0, 0, ERROR_INVALID_DATA, 1},
      {"ring grown past the section", false, 64, 48000, 0, 100000, 0, 0, 1},
      {"format refused", false, 64, 48000, 16, 0, 5, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int camera = kCamera + 9;
    FakeRing ring(c.audio ? kAudioNames : kVideoNames, camera, 65536);
    ASSERT_TRUE(ring.Ok());
    SetFormat(ring.Header(0, 0), c.capacity, c.width, c.rate);
    LogCapture log;
    Reading<SharedVideo> video(camera);
    Reading<SharedAudio> audio(camera);
    SharedChannel& channel = c.audio ? static_cast<SharedChannel&>(audio.channel) : video.channel;
    Recorder& recorder = c.audio ? audio.recorder : video.recorder;
    recorder.format_result = c.refusal;
    ring.Lock();  // the reader sees no format before the grown capacity
    EXPECT_EQ(channel.Create(), c.create_error == 0);
    if (c.create_error) {
      EXPECT_EQ(GetLastError(), c.create_error);
    }
    if (c.grown) ring.Header(0, 0)->video_capacity = c.grown;
    ring.Unlock();
    EXPECT_EQ(channel.View() != nullptr, c.create_error == 0);
    Sleep(350);  // several polls
    const DWORD start = GetTickCount();
    EXPECT_EQ(channel.Run(), !c.create_error && !c.refusal);
    EXPECT_EQ(GetLastError() == ERROR_INVALID_STATE, c.refusal != 0);
    EXPECT_EQ(recorder.Formats().size(), c.refusal ? 1u : 0u);
    channel.Close();
    EXPECT_LT(GetTickCount() - start, 1000u) << "Run and Close wait for no reader";
    EXPECT_EQ(log.Count(L"[TELVOR][ERROR]"), c.errors);
  }
}

// A consumer that takes the slots over and over (the video pin converting at
// every deadline) is let in before the reader's next poll, yet must not
// starve the reader. Once the reader idles, holding the producer's mutex
// through its sleeps, a consumer borrows that hold, and the producer stays
// out until the consumer is done, however long past the reader's sleep. The
// producer runs as another user (a service) and grants cameras only what they
// need: mapping the section for reading, waiting for and releasing the mutex.
TEST(VideoReader, ConsumersTakingTheSlotsNeitherStarveTheReaderNorLetTheProducerIn) {
  constexpr std::uint32_t kFrames = 40, kCapacity = 16;
  const int camera = kCamera + 14;
  FakeRing ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity), L"O:SYD:P(A;;0x5;;;IU)",
                L"O:SYD:P(A;;0x100001;;;IU)");
  ASSERT_TRUE(ring.Ok());
  SetFormat(ring.Header(kCapacity, 0), kCapacity);
  PutItem(ring, false, kCapacity, 0, 1);
  const auto write = [&](std::uint64_t frame) {
    ring.Lock();
    PutItem(ring, false, kCapacity, frame % 8, frame);
    ring.Unlock();
  };
  Reading<SharedVideo> reading(camera);
  SharedVideo& video = reading.channel;
  EXPECT_EQ(video.LockSlots(0), SharedChannel::SlotHold::kNone);  // nothing to lock before Create
  ASSERT_TRUE(reading.Start() && reading.recorder.WaitFor(1));

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
    write(frame);
    expected.push_back(frame % 8);
    Sleep(2);
  }
  const bool all = reading.recorder.WaitFor(kFrames, 5000);
  stop = true;
  consumer.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(reading.recorder.Tags(), expected);
  EXPECT_GT(turns.load(), 0);

  // A try that had to ask for the mutex cut the reader's sleep short; the
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
    write(kFrames + 1);
    producer_in = true;
  });
  Sleep(50);  // many of the reader's 2 ms sleeps
  EXPECT_FALSE(producer_in.load());
  video.UnlockSlots(hold);
  producer.join();
  EXPECT_TRUE(reading.recorder.WaitFor(kFrames + 1));
}


// A producer with write events that sets none the reader waits for (it
// numbers in twos, or rewrites its format with no new item) is still followed
// within a few polls; an event left set with nothing new behind it does not
// keep the reader busy.
TEST(VideoReader, WriteEventsThatMissOrMisleadNeitherStallNorSpinTheReader) {
  constexpr std::uint32_t kCapacity = 16;
  const int camera = kCamera + 7;
  FakeRing ring(kVideoNames, camera, RingBytes(kVideoSlotCount, kCapacity));
  const auto event = [camera](const wchar_t* name) {
    return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, ChannelObjectName(name, camera, false).c_str()));
  };
  const UniqueHandle written[2] = {event(L"KAVO.VCAM.V.WRITTEN0.%02d"), event(L"KAVO.VCAM.V.WRITTEN1.%02d")};
  ASSERT_TRUE(ring.Ok() && written[0] && written[1]);
  SetFormat(ring.Header(kCapacity, 0), kCapacity);
  PutItem(ring, false, kCapacity, 0, 2);
  Reading<SharedVideo> reading(camera);
  ASSERT_TRUE(reading.Start() && reading.recorder.WaitFor(1));

  for (std::uint64_t sequence : {4, 6}) {  // the library's signals, for numbers in twos
    ring.Lock();
    PutItem(ring, false, kCapacity, static_cast<std::uint32_t>(sequence / 2 % 8), sequence);
    ResetEvent(written[(sequence + 1) % 2].Get());
    ring.Unlock();
    SetEvent(written[sequence % 2].Get());
    EXPECT_TRUE(reading.recorder.WaitFor(sequence / 2, 2000)) << sequence;
  }
  ring.SetVideoFormat(kFourCcYuy2, 32, 48, 25.0, kCapacity);
  for (int poll = 0; poll < 200 && reading.recorder.Formats().size() < 2; ++poll) Sleep(10);
  EXPECT_EQ(reading.recorder.Formats().size(), 2u);

  SetEvent(written[0].Get());
  SetEvent(written[1].Get());
  FILETIME unused[2], kernel[2], user[2];
  GetProcessTimes(GetCurrentProcess(), &unused[0], &unused[1], &kernel[0], &user[0]);
  Sleep(500);
  GetProcessTimes(GetCurrentProcess(), &unused[0], &unused[1], &kernel[1], &user[1]);
  const auto ms = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000;
  };
  EXPECT_LT(ms(kernel[1]) - ms(kernel[0]) + ms(user[1]) - ms(user[0]), 100u);
  EXPECT_EQ(reading.recorder.Deliveries().size(), 3u);
}

// A section is accepted only as far as it is committed memory: one a page
// short of its ring, or reserved and never committed (another program's
// SEC_RESERVE section), is refused before a byte of it is read, and a status
// section like that is never claimed; one of exactly the ring's size is taken.
TEST(ChannelSections, ShortOrUncommittedSectionsAreRefusedBeforeTheyAreRead) {
  const int camera = kMoreTransportCameras + 1;
  constexpr std::uint32_t kCapacity = 6000;
  for (const bool audio : {false, true}) {
    const std::uint64_t ring = RingBytes(audio ? kAudioSlotCount : kVideoSlotCount, kCapacity);
    for (const std::uint64_t section : {ring, ring - 4096}) {
      SCOPED_TRACE(testing::Message() << (audio ? "audio " : "video ") << section << " of " << ring);
      FakeRing fake(audio ? kAudioNames : kVideoNames, camera, static_cast<std::size_t>(section));
      ASSERT_TRUE(fake.Ok());
      SetFormat(fake.Header(kCapacity, 0), kCapacity);
      SharedVideo video;
      SharedAudio sound;
      SharedChannel& channel = audio ? static_cast<SharedChannel&>(sound) : video;
      channel.index = camera;
      EXPECT_EQ(section == ring, channel.Create());
      channel.Close();
    }
  }
  const std::wstring names[] = {ChannelObjectName(kVideoNames.mapping, camera, false),
                                ChannelObjectName(kWatchStatusName, camera, false)};
  const UniqueHandle mutex(CreateMutexW(nullptr, FALSE, ChannelObjectName(kVideoNames.mutex, camera, false).c_str()));
  // Made with the status's own descriptor, so only its commitment is wrong.
  ProcessUser user;
  ObjectSecurity users_alone;
  ASSERT_TRUE(user.Load() && users_alone.Build(user, SECTION_ALL_ACCESS, 0));
  UniqueHandle reserved[2];
  for (int i = 0; i < 2; ++i) {
    reserved[i].Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, users_alone.Get(), PAGE_READWRITE | SEC_RESERVE, 0, 65536,
                                         names[i].c_str()));
    ASSERT_TRUE(reserved[i]);
  }
  SharedVideo video;
  video.index = camera;
  EXPECT_FALSE(video.Create());
  WatchPublisher publisher;
  publisher.Start(camera, WatchFormat{WatchKind::kVideo, "YUY2", 64, 48, 30000});
  Watcher found[kWatchEntries];
  EXPECT_EQ(0u, ReadWatchers(camera, false, found));
  publisher.Stop();
  // Wine lets writes into reserved pages through where Windows faults: what
  // the camera left alone shows that it refused the section.
  MappedView view;
  view.Reset(MapViewOfFile(reserved[1].Get(), FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(view);
  const auto* bytes = static_cast<const std::uint8_t*>(view.Get());
  EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(WatchBlock), [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace telvor::test
