// The readers against a producer in another process, and the producer
// library's refusals.
#include <gtest/gtest.h>
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"
#include "telvor_producer.h"
#include "support/FakeRing.h"
#include "transport/Recorder.h"
#include "transport/WatchStatus.h"
#include "transport/ObjectSecurity.h"

namespace telvor::test {
namespace {

constexpr int kCamera = kTransportCameras + 10;

// Generous: a second Wine process can take seconds to start on a loaded machine.
bool WaitForTag(Recorder& recorder, std::uint32_t tag) {
  return recorder.WaitUntil([&](const std::vector<Delivery>& d) { return !d.empty() && d.back().tag == tag; }, 20000);
}

// The producer dies holding the video mutex; the reader takes the abandoned
// mutex as acquired, says so once, and both readers follow the restarted
// producer, which the library lets continue above the numbers still in the ring.
TEST(CrossProcess, ReadersFollowProducerRestartedAfterDyingWithTheMutex) {
  const int camera = kCamera + 1;
  LogCapture log;
  Reading<SharedVideo> video(camera);
  Reading<SharedAudio> audio(camera);
  {
    HelperProducer first(camera, L"3 60000");
    ASSERT_TRUE(first.Started() && first.Holding());
    ASSERT_TRUE(video.Start() && audio.Start());
    Sleep(50);
    EXPECT_TRUE(video.recorder.Deliveries().empty());
  }
  ASSERT_TRUE(WaitForTag(video.recorder, 3));
  HelperProducer second(camera, L"40");
  ASSERT_TRUE(WaitForTag(video.recorder, 43) && WaitForTag(audio.recorder, 43));
  for (Recorder* recorder : {&video.recorder, &audio.recorder}) {
    // Strictly in order, each with a time rebased to the first, 20 ms apart.
    const auto deliveries = recorder->Deliveries();
    EXPECT_EQ(deliveries[0].time, 0.0);
    for (std::size_t i = 1; i < deliveries.size(); ++i) {
      EXPECT_GT(deliveries[i].tag, deliveries[i - 1].tag);
      EXPECT_NEAR(deliveries[i].time, (deliveries[i].tag - deliveries[0].tag) * 0.02, 1e-9);
    }
  }
  ASSERT_TRUE(video.recorder.Formats().size() == 1 && audio.recorder.Formats().size() == 1);
  EXPECT_EQ(video.recorder.Formats()[0].video_width, 64u);
  EXPECT_EQ(video.recorder.capacity_seen, 64u * 48u * 2u);
  EXPECT_EQ(audio.recorder.Formats()[0].audio_channels, 2u);
  EXPECT_EQ(audio.recorder.capacity_seen, 64u);
  EXPECT_EQ(log.Count(L"mutex abandoned by the producer"), 1u);
}

TEST(ProducerLibrary, RefusesBadFormats) {
  telvor_channel* channel = reinterpret_cast<telvor_channel*>(1);
  const telvor_video_format bad[] = {
      {TELVOR_FOURCC_YUY2, 64, 48, 30.0, 100, 0},     {TELVOR_FOURCC_YV12, 64, 47, 30.0, 0, 0},
      {TELVOR_FOURCC_YUY2, 16384, 16384, 30.0, 0, 0},  // 8 x 512 MiB
      {TELVOR_FOURCC_YUY2, 64, 48, 0.0, 0, 0}, {TELVOR_FOURCC_YUY2, 64, 48, 30.0, 0, 9}};
  for (const auto& format : bad) EXPECT_EQ(telvor_open_video(kCamera + 2, 0, &format, &channel), TELVOR_E_INVALIDARG);
  EXPECT_EQ(channel, nullptr);
  const telvor_video_format video = {TELVOR_FOURCC_YUY2, 64, 48, 30.0, 0, 0};
  EXPECT_EQ(telvor_open_video(64, 0, &video, &channel), TELVOR_E_INVALIDARG);
  const telvor_audio_format odd_audio = {2, 16, 48000, 1001};
  EXPECT_EQ(telvor_open_audio(kCamera + 2, 0, &odd_audio, &channel), TELVOR_E_INVALIDARG);
}

std::wstring UserSid() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  const UniqueHandle holder(token);
  alignas(TOKEN_USER) BYTE user[256];
  DWORD length = 0;
  LocalMemory<wchar_t*> text;
  const bool known = GetTokenInformation(token, TokenUser, user, sizeof user, &length) &&
                     ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, text.Put());
  return known ? text.Get() : L"?";
}

constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Owner and access list as the system writes them in SDDL, so that a read-back
// descriptor and an expected one compare as text whatever the writer abbreviates.
std::wstring SddlOf(PSECURITY_DESCRIPTOR descriptor) {
  LocalMemory<wchar_t*> text;
  const bool readable = descriptor && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                          descriptor, SDDL_REVISION_1, kOwnerAndDacl, text.Put(), nullptr);
  return readable ? text.Get() : L"unreadable";
}

std::wstring Canonical(const std::wstring& sddl) {
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.Put(), nullptr);
  return SddlOf(descriptor.Get());
}

std::wstring DescriptorOf(HANDLE object) {
  UniqueHandle holder(object);
  LocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  GetSecurityInfo(object, SE_KERNEL_OBJECT, kOwnerAndDacl, nullptr, nullptr, nullptr, nullptr, descriptor.Put());
  return SddlOf(descriptor.Get());
}

// The producer's own user may do anything with its objects; interactive
// users' cameras may read the section and take turns with the mutex; no one
// else gets anything. Objects that carry a channel's names but that no
// producer of this user made are refused, and the refusal leaves nothing open.
TEST(ProducerLibrary, NamesAreHeldByTheProducerAlone) {
  const int camera = kCamera + 2;
  const telvor_video_format video = {TELVOR_FOURCC_YUY2, 64, 48, 30.0, 0, 0};
  telvor_channel *first = nullptr, *second = nullptr;
  ASSERT_EQ(telvor_open_video(camera, 0, &video, &first), TELVOR_OK);
  EXPECT_EQ(telvor_open_video(camera, 0, &video, &second), TELVOR_E_IN_USE);

  const std::wstring user = UserSid();
  const auto name = [&](const wchar_t* pattern) { return ChannelObjectName(pattern, camera, false); };
  const struct {
    HANDLE object;
    const wchar_t* all_access;
    const wchar_t* cameras;
  } objects[] = {
      {OpenFileMappingW(READ_CONTROL, FALSE, name(kVideoNames.mapping).c_str()), L"0xf001f", L"(A;;0x5;;;IU)"},
      {OpenMutexW(READ_CONTROL, FALSE, name(kVideoNames.mutex).c_str()), L"0x1f0001", L"(A;;0x100001;;;IU)"},
      {OpenEventW(READ_CONTROL, FALSE, name(L"KAVO.VCAM.V.PRODUCER.%02d").c_str()), L"0x1f0003", L""}};
  for (const auto& o : objects) {
    EXPECT_EQ(DescriptorOf(o.object),
              Canonical(L"O:" + user + L"D:P(A;;" + o.all_access + L";;;" + user + L")" + o.cameras))
        << "object " << &o - objects;
  }
  telvor_close(first);

  // One object taken first by someone else: with the default security, owned
  // by this user but writable by others, owned by another, or closed to us.
  const std::wstring others_write = L"O:" + user + L"D:P(A;;0x1f0001;;;WD)";
  const std::wstring other_owner = L"O:SYD:P(A;;0x1f0001;;;" + user + L")";
  const struct {
    bool mapping;
    const wchar_t* sddl;
  } squatters[] = {{true, nullptr}, {false, nullptr}, {false, others_write.c_str()},
                   {false, other_owner.c_str()}, {true, L"O:SYD:P"}};
  for (const auto& squatter : squatters) {
    const std::size_t row = &squatter - squatters;
    UniqueHandle taken(
        squatter.mapping
            ? CreateFileMappingW(INVALID_HANDLE_VALUE, Security(squatter.sddl).Get(), PAGE_READWRITE, 0,
                                 RingBytes(kVideoSlotCount, 64 * 48 * 2), name(kVideoNames.mapping).c_str())
            : CreateMutexW(Security(squatter.sddl).Get(), FALSE, name(kVideoNames.mutex).c_str()));
    ASSERT_TRUE(taken) << "row " << row;
    EXPECT_EQ(telvor_open_video(camera, 0, &video, &second), TELVOR_E_NOT_OWNER) << "row " << row;
    EXPECT_EQ(second, nullptr);
  }
  ASSERT_EQ(telvor_open_video(camera, 0, &video, &second), TELVOR_OK);
  telvor_close(second);
}

// Opens a producer with `live_slots` and writes frames tagged first..last.
telvor_channel* ProduceTagged(int camera, std::uint32_t live_slots, std::uint32_t first, std::uint32_t last) {
  const telvor_video_format format = {TELVOR_FOURCC_YUY2, 64, 48, 30.0, 0, live_slots};
  telvor_channel* producer = nullptr;
  if (telvor_open_video(camera, 0, &format, &producer) != TELVOR_OK) return nullptr;
  std::vector<std::uint8_t> frame(64 * 48 * 2);
  for (std::uint32_t tag = first; tag <= last; ++tag) {
    std::memcpy(frame.data(), &tag, 4);
    telvor_write(producer, frame.data(), static_cast<std::uint32_t>(frame.size()), TELVOR_TIMESTAMP_NOW);
  }
  return producer;
}

// What a camera opening on the ring now starts with.
std::vector<std::uint32_t> TagsSeenByNewReader(int camera, std::size_t expected) {
  Reading<SharedVideo> reading(camera);
  if (!reading.Start() || !reading.recorder.WaitFor(expected)) return {};
  Sleep(60);  // nothing more may follow
  return reading.recorder.Tags();
}

// The slots a producer keeps live are the backlog, and so the delay, that a
// camera opening on it starts with. A camera that stays open keeps the ring
// across producer restarts; slots an earlier producer filled beyond the new
// one's live slots are retired then rather than handed over as old pictures.
// A producer restarted with larger frames finds the old ring still held by a
// camera that has not yet noticed the restart, and waits for it to let go.
TEST(ProducerLibrary, NewReaderStartsWithOnlyTheLiveSlots) {
  const int camera = kMoreTransportCameras;
  telvor_channel* producer = ProduceTagged(camera, 2, 1, 6);
  ASSERT_NE(producer, nullptr);
  EXPECT_EQ(TagsSeenByNewReader(camera, 2), (std::vector<std::uint32_t>{5, 6}));

  Reading<SharedVideo> staying(camera);
  ASSERT_TRUE(staying.Start() && staying.recorder.WaitFor(2));
  telvor_close(producer);
  producer = ProduceTagged(camera, 8, 7, 14);
  ASSERT_NE(producer, nullptr);
  // Slots 1..7 take 7..13 and slot 0 is rewritten last with 14: the lowest
  // number is 7 now, and everything above it is handed over.
  EXPECT_EQ(TagsSeenByNewReader(camera, 7), (std::vector<std::uint32_t>{8, 9, 10, 11, 12, 13, 14}));

  telvor_close(producer);
  producer = ProduceTagged(camera, 2, 15, 15);
  ASSERT_NE(producer, nullptr);
  // Slot 1 takes 15 next to slot 0's 14; slots 2..7 with 8..13 are retired.
  EXPECT_EQ(TagsSeenByNewReader(camera, 2), (std::vector<std::uint32_t>{14, 15}));
  const std::vector<std::uint32_t> followed = {5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  ASSERT_TRUE(staying.recorder.WaitFor(followed.size()));
  EXPECT_EQ(staying.recorder.Tags(), followed);
  telvor_close(producer);

  std::thread camera_lets_go([&] {
    Sleep(300);
    staying.channel.Close();
  });
  const telvor_video_format larger = {TELVOR_FOURCC_YUY2, 640, 480, 30.0, 0, 1};
  EXPECT_EQ(TELVOR_OK, telvor_open_video(camera, 0, &larger, &producer)) << telvor_last_error_message();
  camera_lets_go.join();
  telvor_close(producer);
}

// A camera may open a ring just as its producer lets go of it: a second
// application's camera still held it, or the producer's own attempt at
// another size had it open. Without the producer's marker there, it would
// keep that ring for good and refuse every larger producer; it must learn
// the ring is a producer's from the next one that tries, and let it go.
TEST(ProducerLibrary, ARingOpenedAsItsProducerLeftIsLetGoForALargerProducer) {
  const int camera = kCamera;
  telvor_channel* producer = ProduceTagged(camera, 2, 1, 2);
  ASSERT_NE(producer, nullptr);
  Reading<SharedVideo> holding(camera);
  ASSERT_TRUE(holding.Start());
  telvor_close(producer);
  Reading<SharedVideo> late(camera);
  ASSERT_TRUE(late.Start());
  holding.channel.Close();
  // The camera's rule, applied as often as its channel thread applies it.
  std::atomic<bool> done{false};
  std::thread keeper([&] {
    for (; !done; Sleep(250)) {
      if (late.channel.ProducerGone()) return late.channel.Close();
    }
  });
  const telvor_video_format larger = {TELVOR_FOURCC_YUY2, 640, 480, 30.0, 0, 1};
  EXPECT_EQ(TELVOR_OK, telvor_open_video(camera, 0, &larger, &producer)) << telvor_last_error_message();
  done = true;
  keeper.join();
  telvor_close(producer);
}

// A stream that delivers for `seconds`, at 30 per second.
void Deliver(WatchPublisher& publisher, double seconds) {
  for (int i = 0; i < seconds * 30; ++i) {
    publisher.Delivered();
    Sleep(33);
  }
}

// The status sections belong to their user alone: the cameras' session
// section and the one a producer with global names makes. One that someone
// else made first is left untouched, and a Global\ producer started while a
// stream runs sees it within a second.
TEST(WatchStatus, SectionsAreTheUsersAloneAndSquattedOnesAreLeftAlone) {
  const int camera = kCamera + 3;
  const std::wstring user = UserSid();
  const std::wstring users_alone = Canonical(L"O:" + user + L"D:P(A;;0xf001f;;;" + user + L")");
  const auto section = [&](bool global) { return ChannelObjectName(kWatchStatusName, camera, global); };
  {
    WatchPublisher publisher;
    publisher.Start(camera, WatchFormat{WatchKind::kVideo, "YUY2", 64, 48, 30000});
    EXPECT_EQ(DescriptorOf(OpenFileMappingW(READ_CONTROL, FALSE, section(false).c_str())), users_alone);
    Deliver(publisher, 0.2);
    const telvor_video_format video = {TELVOR_FOURCC_YUY2, 64, 48, 30.0, 0, 0};
    telvor_channel* producer = nullptr;
    ASSERT_EQ(telvor_open_video(camera, TELVOR_GLOBAL_NAMES, &video, &producer), TELVOR_OK);
    EXPECT_EQ(DescriptorOf(OpenFileMappingW(READ_CONTROL, FALSE, section(true).c_str())), users_alone);
    Deliver(publisher, 1.0);
    telvor_watcher seen[2];
    std::uint32_t count = 0;
    EXPECT_EQ(telvor_watchers(camera, TELVOR_GLOBAL_NAMES, seen, 2, &count), TELVOR_OK);
    EXPECT_EQ(count, 1u);
    telvor_close(producer);
  }
  const std::wstring others_write = L"O:" + user + L"D:P(A;;0xf001f;;;" + user + L")(A;;0x6;;;WD)";
  const std::wstring other_owner = L"O:SYD:P(A;;0xf001f;;;" + user + L")";
  for (const wchar_t* sddl : {static_cast<const wchar_t*>(nullptr), others_write.c_str(), other_owner.c_str()}) {
    LogCapture log;
    const UniqueHandle squatted(CreateFileMappingW(INVALID_HANDLE_VALUE, Security(sddl).Get(), PAGE_READWRITE, 0,
                                                   sizeof(WatchBlock), section(false).c_str()));
    ASSERT_TRUE(squatted);
    WatchPublisher publisher;
    publisher.Start(camera, WatchFormat{WatchKind::kVideo, "YUY2", 64, 48, 30000});
    Deliver(publisher, 0.6);
    MappedView view;
    view.Reset(MapViewOfFile(squatted.Get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(view);
    const auto* bytes = static_cast<const std::uint8_t*>(view.Get());
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(WatchBlock), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(log.Count(L"was made by another program or user"), 1u);
  }
}

// Entries held by live processes that deliver nothing, or that claim a time
// to come, do not keep a new stream out; a stream whose entry was cleared or
// taken claims another at its next look, counting on.
TEST(WatchStatus, FullOrScribbledTablesAreTakenBackWithinASecond) {
  const int camera = kMoreTransportCameras + 2;
  ProcessUser user;
  ObjectSecurity security;
  ASSERT_TRUE(user.Load() && security.Build(user, SECTION_ALL_ACCESS, 0));
  const UniqueHandle held(CreateFileMappingW(INVALID_HANDLE_VALUE, security.Get(), PAGE_READWRITE, 0,
                                             sizeof(WatchBlock), ChannelObjectName(kWatchStatusName, camera, false).c_str()));
  MappedView view;
  view.Reset(held ? MapViewOfFile(held.Get(), FILE_MAP_WRITE, 0, 0, 0) : nullptr);
  ASSERT_TRUE(view);
  auto* block = static_cast<WatchBlock*>(view.Get());
  for (WatchEntry& entry : block->entries) {
    entry.owner = static_cast<LONG>(GetCurrentProcessId());
    entry.kind = static_cast<std::uint32_t>(WatchKind::kAudio);
    entry.generation = 2;
    entry.last_delivery = &entry - block->entries < 8 ? 0 : static_cast<LONG64>(WatchClockNow() + 100 * kWatchFreshTicks);
  }
  const auto ours = [&]() -> WatchEntry* {
    for (WatchEntry& entry : block->entries) {
      if (entry.kind == static_cast<std::uint32_t>(WatchKind::kVideo)) return &entry;
    }
    return nullptr;
  };
  const auto running = [&] {
    Watcher found[kWatchEntries];
    const std::uint32_t n = ReadWatchers(camera, false, found);
    return std::count_if(found, found + n, [](const Watcher& w) { return w.Running(); });
  };
  WatchPublisher publisher;
  publisher.Start(camera, WatchFormat{WatchKind::kVideo, "YUY2", 64, 48, 30000});
  Deliver(publisher, 0.2);
  ASSERT_NE(ours(), nullptr);
  EXPECT_EQ(running(), 1);
  std::memset(ours(), 0, sizeof(WatchEntry));
  EXPECT_EQ(running(), 0);
  Deliver(publisher, 0.6);
  ASSERT_NE(ours(), nullptr);
  EXPECT_EQ(running(), 1);
  EXPECT_GE(ours()->samples, 20);
  ours()->generation += 2;  // taken by another stream of this process, which describes itself as video too
  Deliver(publisher, 0.6);
  int video_entries = 0;
  for (const WatchEntry& entry : block->entries) video_entries += entry.kind == static_cast<std::uint32_t>(WatchKind::kVideo);
  EXPECT_EQ(video_entries, 2);
}

}  // namespace
}  // namespace telvor::test
