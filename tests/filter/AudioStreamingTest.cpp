// The audio pin streaming into a sink inside Wine's real filter graph, with
// and without a producer feeding the camera's audio ring. Which queued packet
// a deadline plays is AudioPinTest's.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <dshow.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "filter/AudioHost.h"
#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "support/TestSink.h"
#include "telvor_producer.h"
#include "transport/FakeRing.h"

namespace telvor::test {
namespace {

constexpr DWORD kWaitMs = 3000;

// An audio producer writing the ring by hand, so it can lie about lengths.
class AudioRing {
 public:
  AudioRing(int camera, std::uint32_t capacity, std::uint32_t channels = 2, std::uint32_t bits = 16,
            std::uint32_t rate = 48000)
      : ring_(kAudioNames, camera, RingBytes(kAudioSlotCount, capacity)), capacity_(capacity) {
    if (!ring_.Ok()) return;
    SlotHeader* format = ring_.Header(capacity, 0);
    format->audio_channels = channels;
    format->audio_bits_per_sample = bits;
    format->audio_samples_per_second = rate;
    format->audio_capacity = capacity;
  }
  bool Ok() const { return ring_.Ok(); }
  // Holding the mutex across writes keeps the reader out, as a producer writing a burst does.
  void Lock() { ring_.Lock(); }
  void Unlock() { ring_.Unlock(); }
  // One packet; its slot's length field says `claimed` bytes (its size unless given).
  void Write(const std::vector<std::uint8_t>& payload, std::uint32_t claimed = UINT32_MAX) {
    ring_.Lock();
    SlotHeader* slot = ring_.Header(capacity_, static_cast<std::uint32_t>(sequence_++ % kAudioSlotCount));
    std::memcpy(slot + 1, payload.data(), std::min<size_t>(payload.size(), capacity_));
    slot->payload_length = claimed != UINT32_MAX ? claimed : static_cast<std::uint32_t>(payload.size());
    slot->audio_timestamp = sequence_ * 100000;
    slot->audio_sequence = sequence_;  // last: the reader looks at it first
    ring_.Unlock();
  }

 private:
  FakeRing ring_;
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

class AudioStreamingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    if (control) control->Stop();
    control.Reset();
    graph.Reset();
    sink.Reset();
    host.Reset();
    EXPECT_EQ(0, CBaseObject::ObjectsActive());
    CoUninitialize();
  }
  // Connected and running, with `samples` received.
  void Start(int camera, size_t samples = 1) {
    ASSERT_NO_FATAL_FAILURE(Connect(camera));
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    ASSERT_TRUE(sink->WaitForSamples(samples, kWaitMs));
  }
  void Connect(int camera) {
    host = AudioHost::Create(camera);
    ASSERT_TRUE(host);
    sink = TestSink::Create();
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(host.Get(), L"audio"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(host->pin, sink->InputPin(), nullptr));
    ASSERT_EQ(S_OK, graph.As(&control));
  }
  // The samples until the first that is not silence (null when none came in time).
  const ReceivedSample* WaitForSound() {
    for (const ULONGLONG end = GetTickCount64() + kWaitMs; GetTickCount64() < end; Sleep(5)) {
      samples = sink->Samples();
      for (const ReceivedSample& s : samples) {
        if (!IsSilence(s)) return &s;
      }
    }
    return nullptr;
  }

  ComPtr<AudioHost> host;
  ComPtr<TestSink> sink;
  ComPtr<IFilterGraph> graph;
  ComPtr<IMediaControl> control;
  std::vector<ReceivedSample> samples;
};

TEST_F(AudioStreamingTest, WithoutProducerStreamsSilenceAtClockPace) {
  LogCapture log;
  const ULONGLONG started = GetTickCount64();
  Start(kAudioPinCameras + 1, 3);
  Sleep(300);
  samples = sink->Samples();
  const ULONGLONG elapsedMs = GetTickCount64() - started;
  // 256 frames a buffer, stamped from the frames delivered so that the
  // 100-ns rounding never adds up.
  const REFERENCE_TIME bounds[] = {0, 53333, 106666, 160000};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(IsSilence(samples[i]));
    EXPECT_TRUE(samples[i].start == bounds[i] && samples[i].stop == bounds[i + 1]);
    EXPECT_TRUE(samples[i].mediaStart == 256 * i && samples[i].mediaStop == 256 * (i + 1));
    EXPECT_TRUE(samples[i].syncPoint && samples[i].discontinuity && !samples[i].preroll);
  }
  ExpectContiguous(samples);
  // Paced by the clock, not as fast as the sink takes them: never more
  // audio than time has passed (plus the first buffer, due at once).
  EXPECT_LE(samples.back().start / 10000, static_cast<REFERENCE_TIME>(elapsedMs) + 10);
  // Nor less: with no producer there is no packet to wait for, so silence
  // keeps up with the clock (an application's audio clock must not drift).
  const ULONGLONG windowStart = GetTickCount64();
  const REFERENCE_TIME deliveredBefore = sink->Samples().back().stop;
  Sleep(600);
  const REFERENCE_TIME delivered = sink->Samples().back().stop - deliveredBefore;
  EXPECT_GE(delivered, static_cast<REFERENCE_TIME>(GetTickCount64() - windowStart) * 9000) << "silence falls behind";
  EXPECT_EQ(1u, log.Count(L"[TELVOR][ERROR]: SharedAudio::Create failed, err="));

}

// A packet is one sample of its own length, bit for bit, cut to the 64 KiB buffer.
TEST_F(AudioStreamingTest, PacketBecomesOneSampleCutToTheBuffer) {
  AudioRing ring(kAudioPinCameras + 2, 70000);
  ASSERT_TRUE(ring.Ok());
  Start(kAudioPinCameras + 2, 2);
  const struct {
    std::uint32_t length;
    long delivered;
  } packets[] = {{1920, 1920}, {70000, 65536}};
  for (const auto& p : packets) {
    SCOPED_TRACE(p.length);
    sink->ClearSamples();
    std::vector<std::uint8_t> packet(p.length);
    for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i % 251 + 1);
    ring.Write(packet);
    const ReceivedSample* sound = WaitForSound();
    ASSERT_NE(nullptr, sound);
    ASSERT_EQ(p.delivered, sound->actualLength);
    EXPECT_EQ(p.delivered / 4, sound->mediaStop - sound->mediaStart);
    // Stamps are counted from the stream's start, so one 100-ns step of rounding may fall either side.
    EXPECT_NEAR(p.delivered / 4 * 10000000LL / 48000, sound->stop - sound->start, 1);
    EXPECT_TRUE(std::equal(sound->data.begin(), sound->data.end(), packet.begin()));
    ExpectContiguous(samples);
  }
}

TEST_F(AudioStreamingTest, LengthFieldsAreBoundedBySlotAndWholeFrames) {
  constexpr std::uint32_t kCapacity = 1920;
  AudioRing ring(kAudioPinCameras + 4, kCapacity);
  ASSERT_TRUE(ring.Ok());
  Start(kAudioPinCameras + 4);
  // Every slot once, so the lie also reaches the last slot, where reading
  // the claimed length would run off the end of the section.
  for (int i = 0; i < 16; ++i) {
    ring.Write(std::vector<std::uint8_t>(kCapacity, static_cast<std::uint8_t>(i + 1)), 1000000);
    Sleep(12);
  }
  Sleep(50);
  int sounds = 0;
  for (const ReceivedSample& sample : sink->Samples()) {
    if (IsSilence(sample)) continue;
    ++sounds;
    ASSERT_EQ(static_cast<long>(kCapacity), sample.actualLength);
    EXPECT_EQ(std::vector<BYTE>(kCapacity, sample.data[0]), sample.data) << "one slot's bytes only";
  }
  EXPECT_GE(sounds, 9);

  // Lengths that hold no whole sample frame are dropped (silence goes on at
  // the clock's pace); a partial last frame is cut off.
  sink->ClearSamples();
  const std::uint32_t claims[][2] = {{0x71, 0}, {0x72, 3}, {0x73, 1918}};
  for (const auto& c : claims) ring.Write(std::vector<std::uint8_t>(kCapacity, static_cast<std::uint8_t>(c[0])), c[1]);
  ASSERT_TRUE(sink->WaitForSamples(6, kWaitMs));
  bool cutSeen = false;
  for (const ReceivedSample& sample : sink->Samples()) {
    ASSERT_TRUE(sample.actualLength > 0 && sample.actualLength % 4 == 0 && sample.stop > sample.start);
    if (IsSilence(sample)) continue;
    EXPECT_TRUE(sample.data[0] != 0x71 && sample.data[0] != 0x72) << "a packet without a whole frame was delivered";
    if (sample.data[0] == 0x73) cutSeen = sample.actualLength == 1916;
  }
  EXPECT_TRUE(cutSeen);
}

// Queued packets whose slots the producer rewrote before the pin took them:
// first a burst written under one hold of the mutex while the pin is due to
// take the overwritten packets, then a producer writing flat out. Every
// sample is one whole packet and the numbers only go up.
TEST_F(AudioStreamingTest, RewrittenSlotsAreNeverPlayedTornOrOutOfOrder) {
  AudioRing ring(kAudioPinCameras, 65536);
  ASSERT_TRUE(ring.Ok());
  Start(kAudioPinCameras);
  // Packet 1 fills a whole buffer: the pin's next deadline is 341 ms away.
  ring.Write(NumberedPacket(1, 65536));
  ASSERT_NE(nullptr, WaitForSound());
  std::uint16_t n = 2;
  for (; n <= 10; ++n) ring.Write(NumberedPacket(n, 1920));
  Sleep(40);  // the reader queues 2..10
  ring.Lock();
  for (; n <= 26; ++n) ring.Write(NumberedPacket(n, 1920));  // over the slots of 2..10
  Sleep(500);
  ring.Unlock();
  Sleep(150);  // the reader queues 11..26, the pin plays the newest nine
  for (const ULONGLONG end = GetTickCount64() + 1000; GetTickCount64() < end && n < 60000; ++n) {
    ring.Write(NumberedPacket(n, 1920));
  }
  Sleep(100);
  ASSERT_EQ(S_OK, control->Stop());
  int newest = 0, afterBurst = 0;
  for (const ReceivedSample& sample : sink->Samples()) {
    const int number = PacketNumber(sample);
    if (number == 0) continue;
    ASSERT_GT(number, newest) << "torn (-1) or out of order after packet " << newest;
    ASSERT_EQ(number == 1 ? 65536 : 1920, sample.actualLength);
    newest = number;
    afterBurst += number > 10 ? 1 : 0;
  }
  EXPECT_GE(afterBurst, 9) << "what was written after the burst never played";
}

// Neither the packets a ring holds when the camera finds it mid-stream nor
// those queued between Run and the graph's start time are played (either
// would delay the sound for the whole session); from the newest one on,
// every packet plays once, in order.
TEST_F(AudioStreamingTest, OldPacketsAreSkippedThenEveryPacketPlaysOnce) {
  for (const bool foundRunning : {true, false}) {
    SCOPED_TRACE(foundRunning ? "history of a ring found while running" : "packets queued until the start time");
    Connect(kMoreVideoPinCameras);
    if (foundRunning) ASSERT_TRUE(SUCCEEDED(control->Run()) && sink->WaitForSamples(1, kWaitMs));
    if (!foundRunning) ASSERT_TRUE(SUCCEEDED(control->Pause()));
    AudioRing ring(kMoreVideoPinCameras, 1920);
    ASSERT_TRUE(ring.Ok());
    std::atomic<int> written{0};
    std::thread writer([&] {
      for (std::uint16_t n = 1; n <= 60; ++n, Sleep(n <= 12 && foundRunning ? 0 : 10)) {
        ring.Write(NumberedPacket(n, 1920));
        written = n;
      }
    });
    if (!foundRunning) {
      Sleep(300);
      EXPECT_TRUE(SUCCEEDED(control->Run()) && sink->WaitForSamples(1, kWaitMs));
    }
    const int atFirstSample = written;
    writer.join();
    ASSERT_EQ(S_OK, control->Stop());
    std::vector<int> played;  // silence left out
    for (const ReceivedSample& sample : sink->Samples()) {
      if (PacketNumber(sample) != 0) played.push_back(PacketNumber(sample));
    }
    ASSERT_FALSE(played.empty());
    EXPECT_GE(played[0], foundRunning ? 12 : atFirstSample - 1);
    for (size_t i = 1; i < played.size(); ++i) EXPECT_EQ(played[i - 1] + 1, played[i]);
    TearDown();
    SetUp();
  }
}

// Only 2 channels of 16 bits at 48 kHz are taken; anything else is silence.
TEST_F(AudioStreamingTest, OtherProducerFormatGetsNoPacketsThrough) {
  const int camera = kAudioPinCameras + 6;
  Start(camera);
  ASSERT_EQ(S_OK, control->Stop());
  const struct {
    std::uint32_t channels, bits, rate;
    const wchar_t* refused;
  } formats[] = {{1, 16, 48000, L"producer sends 1 channels, 16 bits, 48000 per second"},
                 {2, 8, 48000, L"producer sends 2 channels, 8 bits, 48000 per second"},
                 {2, 16, 44100, L"producer sends 2 channels, 16 bits, 44100 per second"},
                 {2, 24, 48000, L"producer sends 2 channels, 24 bits, 48000 per second"}};
  for (const auto& f : formats) {
    SCOPED_TRACE(f.bits * 100000 + f.rate + f.channels);
    LogCapture log;
    AudioRing ring(camera, 1920, f.channels, f.bits, f.rate);
    ASSERT_TRUE(ring.Ok());
    sink->ClearSamples();
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    for (const ULONGLONG end = GetTickCount64() + kWaitMs; !log.Count(f.refused) && GetTickCount64() < end;) Sleep(5);
    ASSERT_EQ(1u, log.Count(f.refused));
    for (int i = 0; i < 5 || sink->SampleCount() < 5; ++i) {
      ASSERT_LT(i, 300) << "no samples";
      ring.Write(std::vector<std::uint8_t>(1920, 0x77));
      Sleep(15);
    }
    ASSERT_EQ(S_OK, control->Stop());
    for (const ReceivedSample& sample : sink->Samples()) ASSERT_TRUE(IsSilence(sample));
  }
}

// Producers started after the stream, ended and started again are followed
// without restarting the graph: their sound, then silence within a second.
TEST_F(AudioStreamingTest, ProducersStartingLateAndEndingAreFollowed) {
  const int camera = kAudioPinCameras + 3;
  LogCapture log;
  Start(camera, 3);
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
    // Silence comes at once (no packets); the channel closes within a second,
    // so that a new producer is met afresh.
    const ULONGLONG ended = GetTickCount64();
    while (log.Count(L"producer gone, channel closed") <= static_cast<size_t>(round) &&
           GetTickCount64() - ended < 3000) {
      Sleep(10);
    }
    EXPECT_LT(GetTickCount64() - ended, 1000u) << "the channel of the ended producer is closed";
    EXPECT_TRUE(lastIsSilence());
  }
  EXPECT_EQ(2u, log.Count(L"producer appeared, channel open"));
}

// A mutex kept 30 ms, past one of the pin's waits: the packet due goes out
// late instead of dropped for silence; the sound stays whole and in order.
TEST_F(AudioStreamingTest, MutexKeptBrieflyDelaysThePacketButLeavesNoGap) {
  AudioRing ring(kAudioPinCameras + 5, 1920);
  ASSERT_TRUE(ring.Ok());
  Start(kAudioPinCameras + 5);
  for (std::uint16_t n = 1; n <= 8; ++n) ring.Write(NumberedPacket(n, 1920));
  Sleep(5);  // the reader queues them, the pin plays the first
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

}  // namespace
}  // namespace telvor::test
