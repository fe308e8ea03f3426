// The audio camera as hosts get it (the camera filter built for the audio
// kind): its interfaces, its one format and stream configuration; and the
// packet queue between the channel's reader and the streaming thread.
#include <gtest/gtest.h>

#include <dshow.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter/AudioFormat.h"
#include "filter/AudioPacketQueue.h"
#include "filter/Corvane.h"
#include "filter/CorvaneAudioStream.h"
#include "filter/ICorvaneVideoStream.h"
#include "framework/TestSource.h"
#include "module/ClassObjects.h"
#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "transport/SharedAudio.h"
#include "transport/SlotHeader.h"

namespace telvor::test {
namespace {

// The pin never becomes active here, so its camera's objects are not opened.
constexpr int kCamera = kAudioPinCameras + 6;

CMediaType TypeWithRate(DWORD rate) {
  CMediaType type;
  EXPECT_EQ(S_OK, BuildAudioType(MakePcmFormat(2, 16, rate), &type));
  return type;
}

class AudioPinTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    entry.clsid = AudioFilterId(kCamera);
    entry.index = kCamera;
    HRESULT hr = S_OK;
    CUnknown* object = NewCameraFilter(nullptr, MEDIATYPE_Audio, kCamera, &entry, &hr);
    ASSERT_TRUE(object && hr == S_OK);
    ASSERT_EQ(S_OK, object->NonDelegatingQueryInterface(IID_IBaseFilter, filter.PutVoid()));
    pin = dynamic_cast<CorvaneAudioStream*>(dynamic_cast<Corvane*>(object)->GetPin(0));
    ASSERT_TRUE(pin);
    ASSERT_EQ(S_OK, pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
  }
  void TearDown() override {
    config.Reset();
    if (filter) {
      EXPECT_EQ(0u, filter.Detach()->Release());
    }
    ComTest::TearDown();
  }
  FilterEntry entry = {};
  ComPtr<IBaseFilter> filter;
  CorvaneAudioStream* pin = nullptr;
  ComPtr<IAMStreamConfig> config;
};

// The pin's category is CapturePinCategory's (PinServicesTest), and what FFmpeg looks for.
TEST_F(AudioPinTest, OneUnnamedPinAndNoVideoInterfaces) {
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
  ASSERT_EQ(S_OK, filter->EnumPins(pins.Put()));
  ComPtr<IPin> first, more;
  ASSERT_EQ(S_OK, pins->Next(1, first.Put(), nullptr));
  EXPECT_EQ(static_cast<IPin*>(pin), first.Get());
  EXPECT_EQ(S_FALSE, pins->Next(1, more.Put(), nullptr));
  PIN_INFO info = {};
  ASSERT_EQ(S_OK, pin->QueryPinInfo(&info));
  info.pFilter->Release();
  EXPECT_STREQ(L"", info.achName) << "no setting names the audio pin";
}

TEST_F(AudioPinTest, OffersExactlyOneStereoPcmFormat) {
  CMediaType type;
  ASSERT_EQ(S_OK, pin->GetMediaType(0, &type));
  EXPECT_TRUE(type.majortype == MEDIATYPE_Audio && type.subtype == MEDIASUBTYPE_PCM &&
              type.formattype == FORMAT_WaveFormatEx);
  EXPECT_TRUE(type.bFixedSizeSamples && !type.bTemporalCompression);
  EXPECT_EQ(4u, type.lSampleSize);
  ASSERT_EQ(18u, type.cbFormat);
  const WAVEFORMATEX expected = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  EXPECT_EQ(0, memcmp(&expected, type.pbFormat, 18));
  CMediaType other;
  EXPECT_EQ(E_INVALIDARG, pin->GetMediaType(-1, &other));
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, pin->GetMediaType(1, &other));

  EXPECT_EQ(S_OK, pin->CheckMediaType(&type));
  CMediaType slower = TypeWithRate(44100);
  EXPECT_EQ(S_FALSE, pin->CheckMediaType(&slower));
  // The same numbers with a longer format block are another type.
  BYTE longer[20] = {};
  memcpy(longer, type.pbFormat, 18);
  CMediaType padded(type);
  padded.SetFormat(longer, sizeof(longer));
  EXPECT_EQ(S_FALSE, pin->CheckMediaType(&padded));
}

TEST_F(AudioPinTest, StreamConfigKnowsOnlyTheOfferedFormat) {
  CMediaType slower = TypeWithRate(44100);
  CMediaType offered = TypeWithRate(48000);
  EXPECT_EQ(E_INVALIDARG, config->SetFormat(&slower));
  EXPECT_EQ(S_OK, config->SetFormat(&offered));
  EXPECT_EQ(E_POINTER, config->SetFormat(nullptr));
  AM_MEDIA_TYPE* type = nullptr;
  ASSERT_EQ(S_OK, config->GetFormat(&type));
  EXPECT_TRUE(offered == *type);
  DeleteMediaType(type);
  int count = 0, size = 0;
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  EXPECT_EQ(1, count);
  EXPECT_EQ(52, size);

  BYTE caps[64];
  memset(caps, 0xCC, sizeof(caps));
  type = nullptr;
  EXPECT_EQ(S_FALSE, config->GetStreamCaps(1, &type, caps));
  EXPECT_EQ(nullptr, type);
  // Below 1 every index is the single capability.
  ASSERT_EQ(S_OK, config->GetStreamCaps(-1, &type, caps));
  EXPECT_TRUE(offered == *type);
  DeleteMediaType(type);
  const AUDIO_STREAM_CONFIG_CAPS expected = {MEDIATYPE_Audio, 2, 2, 0, 16, 16, 0, 48000, 48000, 0};
  EXPECT_EQ(0, memcmp(&expected, caps, sizeof(expected)));
  EXPECT_EQ(0xCC, caps[52]) << "nothing written past the record";
}

// The pin converts nothing: a producer announcing another format gets no
// packet through (silence goes out instead), and the log says why.
TEST_F(AudioPinTest, OnlyAProducerOfTheCamerasFormatIsTaken) {
  const struct {
    std::uint32_t channels, bits, rate;
  } formats[] = {{1, 16, 48000}, {2, 8, 48000}, {2, 16, 44100}, {2, 24, 48000}};
  for (const auto& f : formats) {
    SCOPED_TRACE(testing::Message() << f.channels << " " << f.bits << " " << f.rate);
    telvor::SharedAudio channel;
    LogCapture log;
    EXPECT_EQ(0, pin->KAVOShared_OnFormatChanged(&channel, f.channels, f.bits, f.rate));
    EXPECT_EQ(nullptr, channel.on_audio_preview);
    EXPECT_EQ(1u, log.Count(L"producer sends " + std::to_wstring(f.channels) + L" channels, " +
                            std::to_wstring(f.bits) + L" bits, " + std::to_wstring(f.rate) + L" per second"));
  }
}

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
}

}  // namespace
}  // namespace telvor::test
