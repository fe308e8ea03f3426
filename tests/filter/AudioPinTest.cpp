// The audio camera as hosts get it, the packet queue between the channel's
// reader and the streaming thread, and the pin streaming in Wine's graph.
#include <gtest/gtest.h>

#include <dshow.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "support/AudioHost.h"
#include "filter/video/ICorvaneVideoStream.h"
#include "support/VideoPinFixture.h"
#include "filter/GraphSound.h"
#include "support/TestSource.h"
#include "support/LogCapture.h"
#include "telvor_producer.h"
#include "support/FakeRing.h"
#include "transport/SharedAudio.h"

namespace telvor::test {
namespace {

// The pin never becomes active here, so its camera's objects are not opened.
constexpr int kCamera = kAudioPinCameras + 6;

// Deadline by deadline, what the streaming thread takes from the queue: the
// oldest packet still as it was queued, or nothing (silence).
TEST(AudioPacketQueue, KeepsTheNewestNineAndPassesOverRewrittenSlots) {
  constexpr std::size_t kSlot = kSlotHeaderSize + 4;
  std::vector<std::uint8_t> slots(16 * kSlot);
  // The producer writes packet n into a slot (the reader queues it only when asked).
  auto write = [&](int slot, std::uint64_t n) {
    SlotHeader header = {};
    header.audio_sequence = n;
    std::memcpy(&slots[slot * kSlot], &header, sizeof header);
    return AudioPacket{&slots[slot * kSlot + kSlotHeaderSize], 4, n, nullptr};
  };
  auto next = [](AudioPacketQueue& queue) -> std::uint64_t {
    AudioPacket packet;
    return queue.TryPop(&packet) && queue.SkipRewritten(&packet) ? packet.sequence : 0;
  };
  AudioPacketQueue queue;
  for (int n = 1; n <= 10; ++n) queue.Push(write(n, n));
  for (std::uint64_t n = 2; n <= 10; ++n) EXPECT_EQ(n, next(queue)) << "nine newest, oldest first";
  EXPECT_EQ(0u, next(queue));

  for (int n = 1; n <= 4; ++n) queue.Push(write(n, n));
  write(1, 17);  // the producer went round and wrote over packets 1 and 3
  write(3, 19);
  EXPECT_EQ(2u, next(queue));
  EXPECT_EQ(4u, next(queue));
  for (int n = 1; n <= 2; ++n) queue.Push(write(n, n));
  write(2, 18);
  EXPECT_EQ(1u, next(queue));
  EXPECT_EQ(0u, next(queue)) << "no packet left as it was queued";
  EXPECT_EQ(0u, queue.Size());

  for (int n = 1; n <= 3; ++n) queue.Push(write(n, n));
  queue.KeepNewest(1);  // the run starts from the newest
  EXPECT_EQ(3u, next(queue));
  EXPECT_EQ(0u, next(queue));

  // Where the queued packets arrived, newest first: the run's deadlines are placed by them.
  for (int n = 1; n <= 3; ++n) {
    AudioPacket packet = write(n, n);
    packet.arrival = 100 * n;
    packet.length = n;
    queue.Push(packet);
  }
  std::int64_t arrivals[4] = {};
  std::uint32_t length = 0;
  ASSERT_EQ(3, queue.RecentArrivals(arrivals, 4, &length));
  EXPECT_EQ((std::vector<std::int64_t>{300, 200, 100}), std::vector<std::int64_t>(arrivals, arrivals + 3));
  EXPECT_EQ(3u, length);
  EXPECT_EQ(2, queue.RecentArrivals(arrivals, 2, &length));
}

constexpr DWORD kWaitMs = 3000;

// A producer writing the ring by hand, so it can lie about lengths and hold
// its mutex across writes (a burst).
class AudioRing : public FakeRing {
 public:
  AudioRing(int camera, std::uint32_t capacity)
      : FakeRing(kAudioNames, camera, RingBytes(kAudioSlotCount, capacity)), capacity_(capacity) {
    if (!Ok()) return;
    SlotHeader* format = Header(capacity, 0);
    format->audio_channels = 2;
    format->audio_bits_per_sample = 16;
    format->audio_samples_per_second = 48000;
    format->audio_capacity = capacity;
  }
  // One packet; its slot's length field says `claimed` bytes (its size unless given).
  void Write(const std::vector<std::uint8_t>& payload, std::uint32_t claimed = UINT32_MAX) {
    Lock();
    SlotHeader* slot = Header(capacity_, static_cast<std::uint32_t>(sequence_++ % kAudioSlotCount));
    std::memcpy(slot + 1, payload.data(), std::min<size_t>(payload.size(), capacity_));
    slot->payload_length = claimed != UINT32_MAX ? claimed : static_cast<std::uint32_t>(payload.size());
    slot->audio_sequence = sequence_;  // last: the reader looks at it first
    Unlock();
  }

 private:
  std::uint32_t capacity_;
  std::uint64_t sequence_ = 0;
};

// Packet n holds `bytes` bytes of 16-bit samples that all read n.
std::vector<std::uint8_t> NumberedPacket(std::uint16_t n, std::uint32_t bytes) {
  std::vector<std::uint8_t> packet(bytes);
  for (std::uint32_t i = 0; i + 1 < bytes; i += 2) std::memcpy(&packet[i], &n, 2);
  return packet;
}

bool IsSilence(const ReceivedSample& sample) {
  return sample.actualLength == 1024 && std::all_of(sample.data.begin(), sample.data.end(), [](BYTE b) { return !b; });
}

// The packet number a sample carries: 0 for silence, -1 when it is not one
// whole packet of NumberedPacket.
int PacketNumber(const ReceivedSample& sample) {
  if (IsSilence(sample) || sample.data.size() < 2) return 0;
  std::uint16_t n;
  std::memcpy(&n, sample.data.data(), 2);
  return NumberedPacket(n, static_cast<std::uint32_t>(sample.data.size())) == sample.data ? n : -1;
}

void ExpectContiguous(const std::vector<ReceivedSample>& samples) {
  for (size_t i = 1; i < samples.size(); ++i) {
    ASSERT_EQ(samples[i - 1].stop, samples[i].start) << "sample " << i;
    ASSERT_EQ(samples[i - 1].mediaStop, samples[i].mediaStart) << "sample " << i;
  }
}

class AudioPin : public SinkGraphTest {
 protected:
  void TearDown() override {
    host.Reset();
    SinkGraphTest::TearDown();
  }
  // Connected and running with `samples` received, or (0) connected and paused.
  void Start(int camera, size_t samples = 1) {
    host = AudioHost::Create(camera);
    ASSERT_TRUE(host);
    ASSERT_NO_FATAL_FAILURE(Connect(host.Get(), host->pin, nullptr));
    ASSERT_TRUE(samples ? SUCCEEDED(control->Run()) && sink->WaitForSamples(samples, kWaitMs)
                        : control->Pause() == S_OK);
  }
  // The numbers of the packets played, silence left out.
  std::vector<int> Played() {
    std::vector<int> played;
    for (const ReceivedSample& sample : sink->Samples()) {
      if (PacketNumber(sample) != 0) played.push_back(PacketNumber(sample));
    }
    return played;
  }

  ComPtr<AudioHost> host;
};

// A source with one unnamed pin (its category is CapturePinCategory's) and
// one format, through the pin and through IAMStreamConfig alike.
TEST_F(AudioPin, OneUnnamedPinWithOneStereoPcmFormatThatProducersMustSend) {
  FilterEntry entry = {};
  entry.clsid = AudioFilterId(kCamera);
  entry.index = kCamera;
  ComPtr<IBaseFilter> filter;
  CorvaneAudioStream* pin = NewCamera<CorvaneAudioStream>(MEDIATYPE_Audio, kCamera, &entry, &filter);
  ASSERT_TRUE(pin);
  {  // everything that refers to the filter gone before its last Release
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, filter->QueryInterface(IID_ICorvaneVideoStream, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_NOINTERFACE, filter->QueryInterface(IID_ISpecifyPropertyPages, &out));
    ComPtr<IAMFilterMiscFlags> flags;
    ASSERT_EQ(S_OK, filter.As(&flags));
    EXPECT_EQ(static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_SOURCE), flags->GetMiscFlags());
    CLSID clsid;
    ASSERT_EQ(S_OK, filter->GetClassID(&clsid));
    EXPECT_EQ(AudioFilterId(kCamera), clsid);

    ComPtr<IEnumPins> pins;
    ComPtr<IPin> first, more;
    ASSERT_EQ(S_OK, filter->EnumPins(pins.Put()));
    ASSERT_EQ(S_OK, pins->Next(1, first.Put(), nullptr));
    EXPECT_EQ(static_cast<IPin*>(pin), first.Get());
    EXPECT_EQ(S_FALSE, pins->Next(1, more.Put(), nullptr));
    PIN_INFO info = {};
    ASSERT_EQ(S_OK, pin->QueryPinInfo(&info));
    info.pFilter->Release();
    EXPECT_STREQ(L"", info.achName) << "no setting names the audio pin";

    CMediaType type, other, slower;
    ASSERT_EQ(S_OK, pin->GetMediaType(0, &type));
    EXPECT_TRUE(type.majortype == MEDIATYPE_Audio && type.subtype == MEDIASUBTYPE_PCM &&
                type.formattype == FORMAT_WaveFormatEx);
    EXPECT_TRUE(type.bFixedSizeSamples && !type.bTemporalCompression && type.lSampleSize == 4);
    ASSERT_EQ(18u, type.cbFormat);
    const WAVEFORMATEX wave = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    EXPECT_EQ(0, memcmp(&wave, type.pbFormat, 18));
    EXPECT_EQ(E_INVALIDARG, pin->GetMediaType(-1, &other));
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, pin->GetMediaType(1, &other));
    EXPECT_EQ(S_OK, pin->CheckMediaType(&type));
    ASSERT_EQ(S_OK, BuildAudioType(MakePcmFormat(2, 16, 44100), &slower));
    EXPECT_EQ(S_FALSE, pin->CheckMediaType(&slower));
    // The same numbers with a longer format block are another type.
    BYTE longer[20] = {};
    memcpy(longer, type.pbFormat, 18);
    CMediaType padded(type);
    padded.SetFormat(longer, sizeof(longer));
    EXPECT_EQ(S_FALSE, pin->CheckMediaType(&padded));

    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(S_OK, pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
    EXPECT_EQ(E_INVALIDARG, config->SetFormat(&slower));
    EXPECT_EQ(S_OK, config->SetFormat(&type));
    EXPECT_EQ(E_POINTER, config->SetFormat(nullptr));
    AM_MEDIA_TYPE* got = nullptr;
    ASSERT_EQ(S_OK, config->GetFormat(&got));
    EXPECT_TRUE(type == *got);
    DeleteMediaType(got);
    int count = 0, size = 0;
    ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
    EXPECT_TRUE(count == 1 && size == 52);
    BYTE caps[64];
    memset(caps, 0xCC, sizeof(caps));
    got = nullptr;
    EXPECT_EQ(S_FALSE, config->GetStreamCaps(1, &got, caps));
    EXPECT_EQ(nullptr, got);
    ASSERT_EQ(S_OK, config->GetStreamCaps(-1, &got, caps)) << "below 1 every index is the single capability";
    EXPECT_TRUE(type == *got);
    DeleteMediaType(got);
    const AUDIO_STREAM_CONFIG_CAPS expected = {MEDIATYPE_Audio, 2, 2, 0, 16, 16, 0, 48000, 48000, 0};
    EXPECT_EQ(0, memcmp(&expected, caps, sizeof(expected)));
    EXPECT_EQ(0xCC, caps[52]) << "nothing written past the record";

    // The pin converts nothing: a producer announcing another format gets no
    // packet through (silence goes out instead), and the log says why.
    const std::uint32_t formats[][3] = {{1, 16, 48000}, {2, 8, 48000}, {2, 16, 44100}, {2, 24, 48000}};
    for (const auto& f : formats) {
      SCOPED_TRACE(testing::Message() << f[0] << " " << f[1] << " " << f[2]);
      telvor::SharedAudio channel;
      LogCapture log;
      EXPECT_EQ(0, pin->KAVOShared_OnFormatChanged(&channel, f[0], f[1], f[2]));
      EXPECT_EQ(nullptr, channel.on_audio_preview);
      EXPECT_EQ(1u, log.Count(L"producer sends "));
    }
  }
  EXPECT_EQ(0u, filter.Detach()->Release());
}

// Without a producer, silence at the clock's pace (neither as fast as the
// sink takes it nor slower: an application's audio clock must not drift),
// stamped from the frames delivered so that 100-ns rounding never adds up;
// the pin looks for a producer quietly after the first time. Producers
// starting late and ending are followed without restarting the graph; then
// a hand-written ring lies about lengths and keeps its mutex briefly.
TEST_F(AudioPin, ProducersComingAndGoingLyingAndKeepingTheirMutex) {
  const int camera = kAudioPinCameras + 1;
  LogCapture log;
  const ULONGLONG started = GetTickCount64();
  Start(camera, 3);
  Sleep(300);
  std::vector<ReceivedSample> samples = sink->Samples();
  const REFERENCE_TIME elapsed = static_cast<REFERENCE_TIME>(GetTickCount64() - started);
  const REFERENCE_TIME bounds[] = {0, 53333, 106666, 160000};
  for (int i = 0; i < 3; ++i) {
    const ReceivedSample& s = samples[i];
    EXPECT_TRUE(IsSilence(s) && s.syncPoint && s.discontinuity && !s.preroll) << i;
    EXPECT_TRUE(s.start == bounds[i] && s.stop == bounds[i + 1] && s.mediaStart == 256 * i) << i;
  }
  ExpectContiguous(samples);
  EXPECT_LE(samples.back().start / 10000, elapsed + 10) << "more than time has passed (plus the first buffer)";
  const REFERENCE_TIME before = samples.back().stop;
  Sleep(600);
  const REFERENCE_TIME window = static_cast<REFERENCE_TIME>(GetTickCount64() - started) - elapsed;
  EXPECT_GE(sink->Samples().back().stop - before, window * 9000) << "silence falls behind";
  EXPECT_EQ(1u, log.Count(L"[TELVOR][ERROR]: SharedAudio::Create failed, err="));

  auto lastIsSilence = [&] { return IsSilence(sink->Samples().back()); };
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const telvor_audio_format format = {2, 16, 48000, 0};
    telvor_channel* producer = nullptr;
    ASSERT_EQ(TELVOR_OK, telvor_open_audio(camera, 0, &format, &producer));
    const std::vector<std::uint8_t> packet(1920, static_cast<std::uint8_t>(0x31 + round));
    bool heard = false;
    for (int i = 0; i < 150 && !heard; ++i) {
      telvor_write(producer, packet.data(), static_cast<std::uint32_t>(packet.size()), TELVOR_TIMESTAMP_NOW);
      Sleep(10);
      heard = !lastIsSilence();
    }
    EXPECT_TRUE(heard) << "the producer's sound within 1.5 s";
    telvor_close(producer);
    // The channel closes within a second, so that a new producer is met afresh.
    const ULONGLONG ended = GetTickCount64();
    while (log.Count(L"producer gone, channel closed") <= size_t(round) && GetTickCount64() - ended < 3000) Sleep(10);
    EXPECT_LT(GetTickCount64() - ended, 1000u) << "the channel of the ended producer is closed";
    EXPECT_TRUE(lastIsSilence());
  }
  EXPECT_EQ(2u, log.Count(L"producer appeared, channel open"));

  // A ring found mid-stream: what it held is not played (it would delay the
  // sound for the whole session), the rest plays once each, in order.
  constexpr std::uint32_t kCapacity = 1920;
  sink->ClearSamples();
  AudioRing ring(camera, kCapacity);
  ASSERT_TRUE(ring.Ok());
  // Written in one hold of the mutex: a camera that just saw a producer go
  // looks again at once, and must find all twelve there when it reads the ring.
  ring.Lock();
  for (std::uint16_t n = 1; n <= 12; ++n) ring.Write(NumberedPacket(n, kCapacity));
  ring.Unlock();
  for (std::uint16_t n = 13; n <= 60; ++n, Sleep(10)) ring.Write(NumberedPacket(n, kCapacity));
  Sleep(100);
  const std::vector<int> played = Played();
  ASSERT_FALSE(played.empty());
  EXPECT_GE(played[0], 12);
  for (size_t i = 1; i < played.size(); ++i) EXPECT_EQ(played[i - 1] + 1, played[i]);

  sink->ClearSamples();
  // No whole frame drops the packet, a partial last frame is cut, a length
  // past the slot is cut to it (in the last slot too, where reading it would
  // run off the section). Packet i, its bytes all i + 1, claims claims[i % 4].
  const std::uint32_t claims[] = {0, 3, 1918, 1000000}, delivered[] = {0, 0, 1916, kCapacity};
  for (BYTE i = 0; i < 16; ++i, Sleep(12)) ring.Write(std::vector<BYTE>(kCapacity, i + 1), claims[i % 4]);
  Sleep(50);
  int sounds = 0;
  for (const ReceivedSample& sample : sink->Samples()) {
    ASSERT_TRUE(sample.actualLength > 0 && sample.actualLength % 4 == 0 && sample.stop > sample.start);
    const int late = PacketNumber(sample);  // 1..60: one of the first packets, late
    if (IsSilence(sample) || (late > 0 && late <= 60)) continue;
    ++sounds;
    ASSERT_EQ(static_cast<long>(delivered[(sample.data[0] - 1) % 4]), sample.actualLength) << int(sample.data[0]);
    EXPECT_EQ(std::vector<BYTE>(sample.actualLength, sample.data[0]), sample.data) << "one slot's bytes only";
  }
  EXPECT_GE(sounds, 6);

  // Kept 30 ms, past one of the pin's waits: the packet due goes out late, not dropped for silence.
  sink->ClearSamples();
  // All eight in one hold of the mutex, so the reader queues them in one
  // pass: once the first is played, the rest wait in the pin's queue.
  ring.Lock();
  for (std::uint16_t n = 1; n <= 8; ++n) ring.Write(NumberedPacket(n, kCapacity));
  ring.Unlock();
  for (int waited = 0; waited < 2000 && Played().empty(); waited += 2) Sleep(2);
  ring.Lock();
  Sleep(30);
  ring.Unlock();
  Sleep(150);
  ASSERT_EQ(S_OK, control->Stop());
  int last = 0;
  for (const ReceivedSample& sample : sink->Samples()) {
    const int number = PacketNumber(sample);
    EXPECT_TRUE(last == 0 || last == 8 || number == last + 1) << "a gap or a repeat after packet " << last;
    if (number > 0) last = number;
  }
  EXPECT_EQ(8, last);
}

// Packets queued between Run and the graph's start time are not played (they
// would delay the sound for the whole session): from the newest on, each plays
// once, in order. Then queued packets whose slots the producer rewrote before
// the pin took them (a burst under one hold of the mutex, then a producer flat
// out): every sample is one whole packet, stamped by its length, and the
// numbers only go up.
TEST_F(AudioPin, StartFromTheNewestAndRewrittenSlotsNeverPlayedTornOrOutOfOrder) {
  Start(kAudioPinCameras, 0);
  EXPECT_TRUE(GraphCarriesSound(graph.Get()));
  AudioRing ring(kAudioPinCameras, 70000);
  ASSERT_TRUE(ring.Ok());
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (std::uint16_t n = 1; n <= 60; ++n, Sleep(10)) {
      ring.Write(NumberedPacket(n, 1920));
      written = n;
    }
  });
  Sleep(300);
  // Counted before Run: how soon the test sees the first sample says nothing.
  // The oldest of the nine queued would be 8 behind; the reader may be 2.
  const int atRun = written;
  EXPECT_TRUE(SUCCEEDED(control->Run()) && sink->WaitForSamples(1, kWaitMs));
  writer.join();
  Sleep(100);
  const std::vector<int> played = Played();
  ASSERT_FALSE(played.empty());
  EXPECT_GE(played[0], atRun - 2);
  for (size_t i = 1; i < played.size(); ++i) EXPECT_EQ(played[i - 1] + 1, played[i]);

  // Packet 101 is longer than a buffer: it goes out over two, 341 ms and 23 ms.
  sink->ClearSamples();
  ring.Write(NumberedPacket(101, 70000));
  for (const ULONGLONG end = GetTickCount64() + kWaitMs; Played().empty() && GetTickCount64() < end;) Sleep(5);
  ASSERT_FALSE(Played().empty());
  std::uint16_t n = 102;
  for (; n <= 110; ++n) ring.Write(NumberedPacket(n, 1920));
  Sleep(40);  // the reader queues 102..110
  ring.Lock();
  for (; n <= 126; ++n) ring.Write(NumberedPacket(n, 1920));  // over their slots
  Sleep(500);
  ring.Unlock();
  Sleep(150);  // the reader queues 111..126, the pin plays the newest nine
  for (const ULONGLONG end = GetTickCount64() + 1000; GetTickCount64() < end && n < 60000; ++n) {
    ring.Write(NumberedPacket(n, 1920));
  }
  Sleep(100);
  ASSERT_EQ(S_OK, control->Stop());
  int newest = 0, afterBurst = 0;
  const std::vector<ReceivedSample> samples = sink->Samples();
  ExpectContiguous(samples);
  for (const ReceivedSample& sample : samples) {
    // Stamps are counted from the stream's start: one 100-ns step of rounding may fall either side.
    ASSERT_EQ(sample.actualLength / 4, sample.mediaStop - sample.mediaStart);
    ASSERT_NEAR(sample.actualLength / 4 * 10000000LL / 48000, sample.stop - sample.start, 1);
    const int number = PacketNumber(sample);
    if (number == 0) continue;
    if (number == 101 && newest == 101) {
      ASSERT_EQ(70000 - 65536, sample.actualLength) << "the rest of packet 101";
      continue;
    }
    ASSERT_GT(number, newest) << "torn (-1) or out of order after packet " << newest;
    ASSERT_EQ(number == 101 ? 65536 : 1920, sample.actualLength);
    newest = number;
    afterBurst += number > 110 ? 1 : 0;
  }
  EXPECT_GE(afterBurst, 9) << "what was written after the burst never played";
}


// OBS asks for 10 ms buffers: every sample then holds at most 10 ms, and a
// producer's 25 ms packet goes out whole, in order, over three of them. The
// wish counts only before the connection.
TEST_F(AudioPin, BuffersAnApplicationAsksForCarryLongerPacketsInPieces) {
  host = AudioHost::Create(kAudioPinCameras + 2);
  ASSERT_TRUE(host);
  ComPtr<IAMBufferNegotiation> negotiation;
  ASSERT_EQ(S_OK, host->pin->QueryInterface(IID_IAMBufferNegotiation, negotiation.PutVoid()));
  ALLOCATOR_PROPERTIES props = {};
  EXPECT_EQ(VFW_E_NOT_CONNECTED, negotiation->GetAllocatorProperties(&props));
  EXPECT_EQ(E_POINTER, negotiation->SuggestAllocatorProperties(nullptr));
  const ALLOCATOR_PROPERTIES tenMs = {-1, 1921, -1, -1};  // rounded down to whole sample frames
  ASSERT_EQ(S_OK, negotiation->SuggestAllocatorProperties(&tenMs));
  ASSERT_NO_FATAL_FAILURE(Connect(host.Get(), host->pin, nullptr));
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, negotiation->SuggestAllocatorProperties(&tenMs));
  ASSERT_EQ(S_OK, negotiation->GetAllocatorProperties(&props));
  EXPECT_TRUE(props.cbBuffer >= 1920 && props.cBuffers == 32) << props.cbBuffer << " x " << props.cBuffers;
  AudioRing ring(kAudioPinCameras + 2, 4800);
  ASSERT_TRUE(ring.Ok());
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, kWaitMs));
  for (std::uint16_t n = 1; n <= 8; ++n, Sleep(25)) ring.Write(NumberedPacket(n, 4800));
  Sleep(100);
  ASSERT_EQ(S_OK, control->Stop());
  const std::vector<ReceivedSample> samples = sink->Samples();
  ExpectContiguous(samples);
  std::vector<std::pair<int, long>> pieces;
  for (const ReceivedSample& sample : samples) {
    ASSERT_LE(sample.actualLength, 1920);
    if (const int number = PacketNumber(sample)) pieces.emplace_back(number, sample.actualLength);
  }
  ASSERT_GE(pieces.size(), 9u);
  for (size_t i = 0; i + 2 < pieces.size(); i += 3) {
    const std::vector<std::pair<int, long>> packet(pieces.begin() + i, pieces.begin() + i + 3);
    const int n = packet[0].first;
    EXPECT_EQ(packet, (std::vector<std::pair<int, long>>{{n, 1920}, {n, 1920}, {n, 960}})) << "piece " << i;
    if (i) {
      EXPECT_EQ(pieces[i - 1].first + 1, n);
    }
  }
}


// A producer that reopens its sound channel with longer slots (longer
// packets) while the graph runs: the camera lets go of the old ring, finds
// the new one before its first packet is history, and the packets, longer
// than a buffer, play whole and in order.
TEST_F(AudioPin, ProducerReopeningWithLongerPacketsIsHeardWholeAtOnce) {
  const int camera = kAudioPinCameras + 3;
  ASSERT_NO_FATAL_FAILURE(Start(camera));
  telvor_channel* producer = nullptr;
  telvor_audio_format format = {2, 16, 48000, 1920};
  ASSERT_EQ(TELVOR_OK, telvor_open_audio(camera, 0, &format, &producer));
  for (std::uint16_t n = 1; n <= 20; ++n, Sleep(10)) {
    telvor_write(producer, NumberedPacket(n, 1920).data(), 1920, TELVOR_TIMESTAMP_NOW);
  }
  telvor_close(producer);
  format.capacity = 96000;  // 500 ms
  ASSERT_EQ(TELVOR_OK, telvor_open_audio(camera, 0, &format, &producer)) << telvor_last_error_message();
  sink->ClearSamples();
  const ULONGLONG first = GetTickCount64();
  for (std::uint16_t n = 101; n <= 103; ++n) {
    telvor_write(producer, NumberedPacket(n, 96000).data(), 96000, TELVOR_TIMESTAMP_NOW);
    while (GetTickCount64() < first + 500 * (n - 100)) Sleep(5);
  }
  ASSERT_EQ(S_OK, control->Stop());
  telvor_close(producer);
  std::vector<std::pair<int, long>> pieces;
  for (const ReceivedSample& sample : sink->Samples()) {
    if (const int number = PacketNumber(sample); number > 0) pieces.emplace_back(number, sample.actualLength);
  }
  ASSERT_GE(pieces.size(), 4u) << "the new producer's packets";
  EXPECT_EQ(pieces[0], (std::pair<int, long>{101, 65536}));
  EXPECT_EQ(pieces[1], (std::pair<int, long>{101, 96000 - 65536}));
  EXPECT_EQ(pieces[2].first, 102);
}

}  // namespace
}  // namespace telvor::test
