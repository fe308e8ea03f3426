// Audio producers whose sound the camera cannot take: another sample format,
// or slots with no room for a packet. The host hears silence, on time.
#include <gtest/gtest.h>

#include <vector>

#include "CameraGraph.h"
#include "RobustSupport.h"
#include "filter/AudioRing.h"
#include "module/ClassObjects.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

bool Silent(const ReceivedSample& sample) {
  for (BYTE b : sample.data) {
    if (b != 0) return false;
  }
  return !sample.data.empty();
}

TEST(HostileAudioProducer, SoundTheCameraCannotTakeBecomesSilence) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  Watchdog dog("SoundTheCameraCannotTakeBecomesSilence", 90);
  const int camera = kHostileLayoutCamera;
  {
    FilterEntry entry = MakeRobustVideoEntry(camera, 30.0);
    entry.clsid = AudioFilterId(camera);
    HRESULT hr = S_OK;
    CUnknown* unknown = NewCameraFilter(nullptr, MEDIATYPE_Audio, camera, &entry, &hr);
    ASSERT_TRUE(unknown);
    ASSERT_EQ(S_OK, hr);
    ComPtr<IBaseFilter> filter;
    unknown->NonDelegatingQueryInterface(IID_IBaseFilter, filter.PutVoid());
    CBasePin* pin = dynamic_cast<Corvane*>(unknown)->GetPin(0);
    ASSERT_TRUE(pin);
    ComPtr<TestSink> sink = TestSink::Create();
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(filter.Get(), L"microphone"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(pin, sink->InputPin(), nullptr));
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph.As(&control));

    struct Case {
      const char* name;
      std::uint32_t capacity, channels, bits, rate;
    };
    const Case cases[] = {
        {"mono", 3840, 1, 16, 48000},       {"8-bit", 3840, 2, 8, 48000},
        {"44.1 kHz", 3840, 2, 16, 44100},   {"24-bit", 3840, 2, 24, 48000},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      AudioRing ring(camera, c.capacity, c.channels, c.bits, c.rate);
      ASSERT_TRUE(ring.Ok());
      const std::vector<std::uint8_t> loud(3840, 0x5A);
      sink->ClearSamples();
      ASSERT_EQ(S_OK, control->Run());
      for (int i = 0; i < 10; ++i) {
        ring.Write(loud);
        Sleep(10);
      }
      ASSERT_TRUE(sink->WaitForSamples(8, 5000)) << "the microphone stopped delivering";
      ASSERT_EQ(S_OK, control->Stop());
      for (const ReceivedSample& s : sink->Samples()) EXPECT_TRUE(Silent(s));
    }
    // The same ring with the camera's own format is heard: the cases above
    // were silent for their format, not for the test's own fault.
    AudioRing ring(camera, 3840, 2, 16, 48000);
    sink->ClearSamples();
    ASSERT_EQ(S_OK, control->Run());
    bool heard = false;
    for (int i = 0; i < 100 && !heard; ++i) {
      ring.Write(std::vector<std::uint8_t>(3840, 0x5A));
      Sleep(10);
      for (const ReceivedSample& s : sink->Samples()) heard = heard || !Silent(s);
    }
    EXPECT_TRUE(heard);
    ASSERT_EQ(S_OK, control->Stop());
    control.Reset();
    graph.Reset();
    sink.Reset();
    filter.Reset();
  }
  EXPECT_EQ(0, CBaseObject::ObjectsActive());
  CoUninitialize();
}

}  // namespace
}  // namespace telvor::test
