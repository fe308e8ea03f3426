// The audio pin's format, stream configuration and allocator request.
#include <gtest/gtest.h>

#include <dshow.h>

#include "filter/AudioFormat.h"
#include "filter/AudioHost.h"
#include "support/CameraIndexes.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

// Camera indexes are not opened here (the pin never becomes active); the
// first of the range is named only so the pin has a valid one.
constexpr int kCamera = kAudioPinCameras;

CMediaType TypeWithRate(DWORD rate) {
  CMediaType type;
  EXPECT_EQ(S_OK, BuildAudioType(MakePcmFormat(2, 16, rate), &type));
  return type;
}

class AudioPinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    host = AudioHost::Create(kCamera);
    ASSERT_TRUE(host);
    pin = host->pin;
  }
  void TearDown() override {
    host.Reset();
    CoUninitialize();
  }
  ComPtr<AudioHost> host;
  CorvaneAudioStream* pin = nullptr;
};

TEST_F(AudioPinTest, OffersExactlyOneStereoPcmFormat) {
  CMediaType type;
  ASSERT_EQ(S_OK, pin->GetMediaType(0, &type));
  EXPECT_EQ(MEDIATYPE_Audio, type.majortype);
  EXPECT_EQ(MEDIASUBTYPE_PCM, type.subtype);
  EXPECT_EQ(FORMAT_WaveFormatEx, type.formattype);
  EXPECT_TRUE(type.bFixedSizeSamples);
  EXPECT_FALSE(type.bTemporalCompression);
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
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
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

TEST_F(AudioPinTest, PinCategoryTellsTheSizeItNeeds) {
  ComPtr<IKsPropertySet> properties;
  ASSERT_EQ(S_OK, pin->QueryInterface(IID_IKsPropertySet, properties.PutVoid()));
  GUID category = GUID_NULL;
  DWORD returned = 0;
  EXPECT_EQ(E_UNEXPECTED,
            properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 8, &returned));
  EXPECT_EQ(16u, returned);
  EXPECT_EQ(S_OK, properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, 16, &returned));
  EXPECT_EQ(PIN_CATEGORY_CAPTURE, category);
}

TEST(AudioPinLifetime, CountsInstancesAndTracesThem) {
  LogCapture log;
  const long before = CorvaneAudioStream::Instances();
  {
    ComPtr<AudioHost> first = AudioHost::Create(kCamera);
    ComPtr<AudioHost> second = AudioHost::Create(kCamera);
    EXPECT_EQ(before + 2, CorvaneAudioStream::Instances());
  }
  EXPECT_EQ(before, CorvaneAudioStream::Instances());
  std::vector<std::wstring> built = log.Matching(L"[CorvaneAudioStream::CorvaneAudioStream], 0x");
  std::vector<std::wstring> gone = log.Matching(L"[CorvaneAudioStream::~CorvaneAudioStream], 0x");
  ASSERT_EQ(2u, built.size());
  ASSERT_EQ(2u, gone.size());
  EXPECT_NE(std::wstring::npos, built[1].find(L" instances=" + std::to_wstring(before + 2)));
  EXPECT_NE(std::wstring::npos, gone[1].find(L" instances=" + std::to_wstring(before)));
  EXPECT_EQ(0u, built[0].find(L"[TELVOR] CorvaneAudioStream("));
}

}  // namespace
}  // namespace telvor::test
