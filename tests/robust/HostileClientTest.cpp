// Clients that hand the video pin broken formats, null pointers and
// out-of-range indexes, and allocators that grant less than asked: each is
// answered with its exact HRESULT and nothing is written out of bounds.
// Format blocks the tests pass end at an inaccessible page, so reading past
// the bytes a client declared faults.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "CameraGraph.h"
#include "RobustSupport.h"
#include "filter/AudioHost.h"
#include "filter/VideoMediaTypes.h"
#include "imaging/GuardedBuffer.h"

namespace telvor::test {
namespace {

// {6F5E1A02-11C8-4A0B-9C55-1D0E6B7A5C33}: a subtype no one knows.
const GUID kUnknownGuid = {0x6f5e1a02, 0x11c8, 0x4a0b, {0x9c, 0x55, 0x1d, 0x0e, 0x6b, 0x7a, 0x5c, 0x33}};

// An AM_MEDIA_TYPE whose format block is exactly `format_bytes` long and
// ends at a guard page; the first bytes hold a VIDEOINFOHEADER as far as
// they reach.
class HostileType {
 public:
  HostileType(REFGUID major, REFGUID subtype, REFGUID formattype, std::size_t format_bytes, LONG width,
              LONG height, REFERENCE_TIME frame = 333333)
      : block_(format_bytes ? format_bytes : 1) {
    VIDEOINFOHEADER info = {};
    info.AvgTimePerFrame = frame;
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    const bool rgb = subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB32;
    info.bmiHeader.biBitCount = subtype == MEDIASUBTYPE_RGB24 ? 24 : subtype == MEDIASUBTYPE_RGB32 ? 32
                                : subtype == MEDIASUBTYPE_YV12  ? 12
                                                                : 16;
    info.bmiHeader.biCompression = rgb ? BI_RGB : subtype.Data1;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(static_cast<long long>(width) * height * info.bmiHeader.biBitCount / 8);
    std::memcpy(block_.data(), &info, std::min(format_bytes, sizeof(info)));
    type_.majortype = major;
    type_.subtype = subtype;
    type_.formattype = formattype;
    type_.bFixedSizeSamples = TRUE;
    type_.lSampleSize = info.bmiHeader.biSizeImage;
    type_.cbFormat = static_cast<ULONG>(format_bytes);
    type_.pbFormat = format_bytes ? block_.data() : nullptr;
  }
  AM_MEDIA_TYPE* Get() { return &type_; }
  // A block that claims bytes it does not have.
  void LieAboutLength(ULONG bytes, bool null_block) {
    type_.cbFormat = bytes;
    if (null_block) type_.pbFormat = nullptr;
  }

 private:
  GuardedBuffer block_;
  AM_MEDIA_TYPE type_ = {};
};

class HostileClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    AddToGraph();
  }
  void TearDown() override {
    config.Reset();
    control.Reset();
    graph.reset();
    EXPECT_EQ(0, CBaseObject::ObjectsActive());
    CoUninitialize();
  }
  // The camera and a sink in a graph, not connected.
  void AddToGraph(const TestSinkOptions& options = {}) {
    config.Reset();
    control.Reset();
    graph = std::make_unique<CameraGraph>();
    ASSERT_TRUE(graph->Add(kHostileLayoutCamera, 30.0, options));
    pin = graph->Pin();
    ASSERT_EQ(S_OK, pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
    ASSERT_EQ(S_OK, pin->QueryInterface(IID_ICorvaneVideoStream, control.PutVoid()));
  }
  HRESULT Connect(AM_MEDIA_TYPE* type) { return graph->TryConnect(type); }

  std::unique_ptr<CameraGraph> graph;
  CorvaneVideoStream* pin = nullptr;
  ComPtr<IAMStreamConfig> config;
  ComPtr<ICorvaneVideoStream> control;
};

TEST_F(HostileClient, SetFormatRefusesWhatIsNotOneOfItsVideoTypes) {
  EXPECT_EQ(S_OK, config->SetFormat(nullptr));
  const GUID kinds[][2] = {{MEDIATYPE_Audio, MEDIASUBTYPE_YUY2}, {MEDIATYPE_Video, kUnknownGuid},
                           {MEDIATYPE_Video, MEDIASUBTYPE_RGB565}, {GUID_NULL, MEDIASUBTYPE_YUY2}};
  for (const auto& kind : kinds) {
    HostileType type(kind[0], kind[1], FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 64, 48);
    EXPECT_EQ(E_INVALIDARG, config->SetFormat(type.Get()));
  }
}

// Blocks that are short, missing or lie about their length, and sizes no
// buffer can hold: accepted as the client's choice of subtype, never read
// past their end, and never reported as a capability.
TEST_F(HostileClient, SetFormatWithBrokenBlocksAndSizesLeavesTheOfferIntact) {
  int offered = 0, capsSize = 0;
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&offered, &capsSize));
  struct Case {
    const char* name;
    GUID formattype;
    std::size_t bytes;
    LONG width, height;
  };
  const Case cases[] = {
      {"no block", FORMAT_VideoInfo, 0, 64, 48},
      {"short block", FORMAT_VideoInfo, 20, 64, 48},
      {"header cut", FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER) - 1, 64, 48},
      {"VideoInfo2 with a VideoInfo block", FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER), 64, 48},
      {"no format type", FORMAT_None, sizeof(VIDEOINFOHEADER), 64, 48},
      {"unknown format type", kUnknownGuid, sizeof(VIDEOINFOHEADER), 64, 48},
      {"zero size", FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostileType type(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, c.formattype, c.bytes, c.width, c.height);
    EXPECT_EQ(S_OK, config->SetFormat(type.Get()));
    int count = 0, size = 0;
    EXPECT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
    EXPECT_EQ(offered, count);
    EXPECT_EQ(128, size);
    AM_MEDIA_TYPE* got = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps = {};
    EXPECT_EQ(S_OK, config->GetStreamCaps(0, &got, reinterpret_cast<BYTE*>(&caps)));
    if (got) DeleteMediaType(got);
    UINT w = 0, h = 0;
    const HRESULT sizeResult = control->GetOutputSize(&w, &h);
    EXPECT_TRUE(sizeResult == S_OK || sizeResult == E_ACCESSDENIED);
  }
  // A block pointer that is null while its length claims a header.
  HostileType liar(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 64, 48);
  liar.LieAboutLength(sizeof(VIDEOINFOHEADER), true);
  const HRESULT hr = config->SetFormat(liar.Get());
  EXPECT_TRUE(hr == S_OK || hr == E_INVALIDARG) << std::hex << hr;
  EXPECT_EQ(S_OK, config->SetFormat(nullptr));
}

// Sides up to the converter's limit are pictures, top-down ones and single
// lines included; beyond it SetFormat and connection refuse them.
TEST_F(HostileClient, SizesThatCannotBeProducedNeverConnect) {
  constexpr HRESULT kNotAccepted = VFW_E_TYPE_NOT_ACCEPTED;
  const struct {
    LONG width, height;
    HRESULT set, connect;
  } sizes[] = {{16384, 1, S_OK, S_OK},
               {1, 16384, S_OK, S_OK},
               {64, -48, S_OK, S_OK},
               {16385, 1, E_INVALIDARG, kNotAccepted},
               {1, 16385, E_INVALIDARG, kNotAccepted},
               {65535, 1, E_INVALIDARG, kNotAccepted},
               {65535, 65535, E_INVALIDARG, kNotAccepted},
               {100000, 100000, E_INVALIDARG, kNotAccepted},
               {LONG_MIN, LONG_MIN, E_INVALIDARG, kNotAccepted},
               {LONG_MAX, 2, E_INVALIDARG, kNotAccepted},
               {-64, 48, S_OK, E_FAIL},
               {0, 48, S_OK, E_FAIL}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    HostileType type(MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), s.width,
                     s.height);
    EXPECT_EQ(s.set, config->SetFormat(type.Get()));
    EXPECT_EQ(s.connect, Connect(type.Get()));
  }
  EXPECT_EQ(S_OK, config->SetFormat(nullptr));
}

TEST_F(HostileClient, ConnectionProposalsWithBrokenTypes) {
  HostileType unknown(MEDIATYPE_Video, kUnknownGuid, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 64, 48);
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, Connect(unknown.Get()));
  HostileType audio(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, sizeof(WAVEFORMATEX), 0, 0);
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, Connect(audio.Get()));
  HostileType shortBlock(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, 20, 64, 48);
  EXPECT_EQ(E_FAIL, Connect(shortBlock.Get()));
  HostileType wrongFormat(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, kUnknownGuid, sizeof(VIDEOINFOHEADER), 64, 48);
  EXPECT_EQ(E_FAIL, Connect(wrongFormat.Get()));
  HostileType odd(MEDIATYPE_Video, MEDIASUBTYPE_YV12, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 63, 47);
  EXPECT_EQ(S_OK, Connect(odd.Get())) << "odd sizes are pictures too";
  HostileType good(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 64, 48);
  EXPECT_EQ(S_OK, Connect(good.Get()));
}

TEST_F(HostileClient, StreamConfigNullPointersAndIndexesOutOfRange) {
  int count = 0, size = 0;
  EXPECT_EQ(E_POINTER, config->GetFormat(nullptr));
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(nullptr, &size));
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(&count, nullptr));
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  AM_MEDIA_TYPE* type = nullptr;
  VIDEO_STREAM_CONFIG_CAPS caps;
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, nullptr, reinterpret_cast<BYTE*>(&caps)));
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, &type, nullptr));
  for (int index : {-1, INT_MIN, count, count + 1, INT_MAX}) {
    SCOPED_TRACE(index);
    type = reinterpret_cast<AM_MEDIA_TYPE*>(1);
    EXPECT_EQ(S_FALSE, config->GetStreamCaps(index, &type, reinterpret_cast<BYTE*>(&caps)));
  }
}

TEST_F(HostileClient, ControlInterfaceNullPointersIndexesAndSizes) {
  UINT w = 0, h = 0;
  EXPECT_EQ(E_INVALIDARG, control->GetSubType(nullptr));
  EXPECT_EQ(E_INVALIDARG, control->GetOutputSize(nullptr, &h));
  EXPECT_EQ(E_INVALIDARG, control->GetOutputSize(&w, nullptr));
  for (INT index : {-1, INT_MIN, 1, INT_MAX}) EXPECT_EQ(E_INVALIDARG, control->GetSupportedSize(index, &w, &h));
  EXPECT_EQ(E_INVALIDARG, control->GetSupportedSize(0, nullptr, &h));
  EXPECT_EQ(E_INVALIDARG, control->GetSupportedSize(0, &w, nullptr));
  EXPECT_EQ(E_POINTER, control->GetScaleStyle(nullptr));
  EXPECT_EQ(E_POINTER, control->GetDeinterlacing(nullptr));
  UINT v[8];
  LONGLONG big;
  EXPECT_EQ(E_INVALIDARG, control->GetStatistics(nullptr, &v[1], &v[2], &v[3], &v[4], &big, &v[5], &v[6], &v[7]));
  EXPECT_EQ(E_INVALIDARG, control->GetStatistics(&v[0], &v[1], &v[2], &v[3], &v[4], nullptr, &v[5], &v[6], &v[7]));
  EXPECT_EQ(E_INVALIDARG, control->SetSubType(kUnknownGuid));
  EXPECT_EQ(E_INVALIDARG, control->SetSubType(GUID_NULL));
  EXPECT_EQ(E_INVALIDARG, control->SetOutputSize(16385, 8));
  EXPECT_EQ(E_INVALIDARG, control->SetOutputSize(100000, 100000));
  EXPECT_EQ(E_INVALIDARG, control->SetOutputSize(0xFFFFFFFFu, 1));
  EXPECT_EQ(E_INVALIDARG, control->SetOutputSize(0x80000000u, 0x80000000u));
  // None of it changed the offer: one capability per offered type.
  int count = 0, size = 0;
  EXPECT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  EXPECT_EQ(4, count);
}

// DecideBufferSize against allocators that grant less than the picture needs.
TEST_F(HostileClient, AllocatorsThatGrantLessThanAskedAreRefused) {
  HostileType good(MEDIATYPE_Video, MEDIASUBTYPE_RGB24, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), 65, 49);
  ASSERT_EQ(S_OK, graph->Graph()->ConnectDirect(pin, graph->Sink()->InputPin(), good.Get()));
  ComPtr<GuardedAllocator> allocator;
  allocator.Attach(GuardedAllocator::Create(false));
  ALLOCATOR_PROPERTIES request = {};
  EXPECT_EQ(E_POINTER, pin->DecideBufferSize(nullptr, &request));
  EXPECT_EQ(E_POINTER, pin->DecideBufferSize(allocator.Get(), nullptr));
  ASSERT_EQ(S_OK, pin->DecideBufferSize(allocator.Get(), &request));
  const long needed = allocator->GrantedSize();
  EXPECT_EQ((65 * 3 + 3) / 4 * 4 * 49 + 16, needed) << "rows padded to four bytes, plus 16";
  for (long granted : {needed - 1, 16L, 1L}) {
    SCOPED_TRACE(granted);
    ComPtr<GuardedAllocator> stingy;
    stingy.Attach(GuardedAllocator::Create(false));
    stingy->LimitBufferSize(granted);
    request = {};
    EXPECT_EQ(E_FAIL, pin->DecideBufferSize(stingy.Get(), &request));
  }
  graph->Disconnect();
  // Through the graph: the sink offers a stingy allocator; the pin falls back
  // to its own and the connection stands with buffers that hold the picture.
  ComPtr<GuardedAllocator> stingy;
  stingy.Attach(GuardedAllocator::Create(false));
  stingy->LimitBufferSize(100);
  TestSinkOptions options;
  options.offerAllocator = true;
  options.allocator = ComPtr<IMemAllocator>(stingy.Get());
  AddToGraph(options);
  ASSERT_EQ(S_OK, graph->Graph()->ConnectDirect(pin, graph->Sink()->InputPin(), good.Get()));
  ComPtr<IMemAllocator> chosen = graph->Sink()->NotifiedAllocator();
  ASSERT_TRUE(chosen);
  EXPECT_NE(static_cast<IMemAllocator*>(stingy.Get()), chosen.Get());
  ALLOCATOR_PROPERTIES props = {};
  ASSERT_EQ(S_OK, chosen->GetProperties(&props));
  EXPECT_EQ(needed, props.cbBuffer);
  graph->Disconnect();
}

// The audio pin asks a client's allocator for 32 buffers of 64 KiB and
// refuses less. One that then fails to decommit: the pin still ends its
// channel thread on the way to stopped, so the next run starts instead of
// waiting for that thread forever with the filter's lock held.
TEST(ClientAllocator, AudioPinSizesItAndRestartsWhenItFailsToDecommit) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  Watchdog dog("AudioPinSizesItAndRestartsWhenItFailsToDecommit", 30);
  {
    ComPtr<GuardedAllocator> allocator;
    allocator.Attach(GuardedAllocator::Create(false));
    allocator->SetDecommitResult(VFW_E_WRONG_STATE);
    TestSinkOptions options;
    options.offerAllocator = true;
    options.allocator = ComPtr<IMemAllocator>(allocator.Get());
    ComPtr<TestSink> sink = TestSink::Create(options);
    ComPtr<AudioHost> host = AudioHost::Create(kHostileLayoutCamera);
    ComPtr<IFilterGraph> graph;
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(host.Get(), L"camera"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(host->pin, sink->InputPin(), nullptr));
    ASSERT_EQ(S_OK, graph.As(&control));
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(S_OK, allocator->GetProperties(&props));
    EXPECT_EQ(32, props.cBuffers);
    EXPECT_EQ(65536, props.cbBuffer);
    ComPtr<GuardedAllocator> stingy;
    stingy.Attach(GuardedAllocator::Create(false));
    stingy->LimitBufferSize(65535);
    EXPECT_EQ(E_FAIL, host->pin->DecideBufferSize(stingy.Get(), &props));
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE(run);
      ASSERT_TRUE(SUCCEEDED(control->Run()));
      EXPECT_TRUE(sink->WaitForSamples(1, 5000));
      EXPECT_EQ(VFW_E_WRONG_STATE, control->Stop());
    }
    graph->Disconnect(host->pin);
    graph->Disconnect(sink->InputPin());
  }
  EXPECT_EQ(0, CBaseObject::ObjectsActive());
  CoUninitialize();
}

}  // namespace
}  // namespace telvor::test
