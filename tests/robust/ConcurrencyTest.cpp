// Threads meeting in a streaming camera: a producer that dies or stalls with
// the mutex, applications and the property page calling in while the
// streaming thread runs, producers coming and going.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "RobustSupport.h"
#include "support/PageDriver.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

using Concurrency = RobustTest;

// Stop must come back while the producer sits on its mutex: the reader waits
// for the mutex and its command together.
DWORD TimedStop(CameraGraph& graph) {
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(S_OK, graph.Stop());
  return static_cast<DWORD>(GetTickCount64() - start);
}

TEST_F(Concurrency, ProducerKilledHoldingTheMutexThenRestartedThenStalling) {
  const int camera = kKilledProducerCamera;
  Build(camera);
  LogCapture log;

  auto holder = std::make_unique<HelperProducer>(camera, L"3 60000 60");
  ASSERT_TRUE(holder->Started() && holder->Holding());
  ASSERT_EQ(S_OK, graph->Run());
  // The reader is stuck behind the producer's mutex; the picture is not.
  const std::vector<ReceivedSample> waiting = graph->Next(10);
  ASSERT_EQ(10u, waiting.size());
  for (const ReceivedSample& s : waiting) EXPECT_TRUE(IsBlackYuy2(s));

  holder.reset();  // dies holding the mutex
  EXPECT_TRUE(SeeValue(60)) << "the frames the dead producer left are shown";
  EXPECT_EQ(1u, log.Count(L"mutex abandoned by the producer"));

  {
    HelperProducer feeder(camera, L"1 0 61");
    EXPECT_TRUE(SeeValue(61, 10000)) << "a restarted producer is followed without a restart of the camera";
  }
  // 20 frames, then the mutex kept for 2.5 s.
  HelperProducer staller(camera, L"20 2500 62");
  EXPECT_TRUE(SeeValue(62, 10000));
  ASSERT_TRUE(staller.Holding());
  EXPECT_LT(TimedStop(*graph), 1500u);
  // Starting again while the mutex is still taken: black until it is free.
  graph->Clear();
  ASSERT_EQ(S_OK, graph->Run());
  EXPECT_TRUE(SeeValue(62, 6000));
  EXPECT_LT(TimedStop(*graph), 1500u);
  EXPECT_EQ(0u, log.Count(L"Access violation"));
}

// The application's thread, the property page's thread and a producer that
// keeps restarting, all while the camera streams and is stopped and started.
TEST_F(Concurrency, ControlAndPageCallsAndProducerRestartsWhileStreaming) {
  const int camera = kConcurrencyCamera;
  Build(camera);
  LogCapture log;
  std::atomic<bool> done{false};
  std::atomic<int> appCalls{0}, pageRounds{0}, restarts{0};

  std::thread application([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int i = 0; !done; ++i) {
      AM_MEDIA_TYPE* type = nullptr;
      if (config->GetFormat(&type) == S_OK) {
        config->SetFormat(type);  // reconnects through the graph, or is refused while running
        DeleteMediaType(type);
      }
      int count = 0, size = 0;
      config->GetNumberOfCapabilities(&count, &size);
      VIDEO_STREAM_CONFIG_CAPS caps;
      if (config->GetStreamCaps(i % (count + 2), &type, reinterpret_cast<BYTE*>(&caps)) == S_OK) DeleteMediaType(type);
      control->SetScaleStyle(static_cast<UINT>(i % 3));
      UINT style = 0, w = 0, h = 0;
      control->GetScaleStyle(&style);
      control->GetOutputSize(&w, &h);
      control->GetSupportedSize(i % 3, &w, &h);
      GUID subtype;
      control->GetSubType(&subtype);
      ++appCalls;
    }
    CoUninitialize();
  });
  std::thread page([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    while (!done) {
      PageDriver driver(NewPage(camera));
      if (driver.Open(graph->Filter()) == S_OK) {
        driver.Choose(IDC_COLOR_SPACE, pageRounds % 4);
        driver.Choose(IDC_OUTPUT_SIZE, 0);
        driver.Close();
      }
      ++pageRounds;
    }
    CoUninitialize();
  });
  std::thread producer([&] {
    for (BYTE value = 1; !done; ++value) {
      FakeRing ring(kVideoNames, camera, RingBytes(8, kFrameBytes));
      ring.SetVideoFormat(kFourCcYuy2, kWidth, kHeight, kFps, kFrameBytes);
      for (std::uint32_t i = 0; i < 10 && !done; ++i) {
        ring.WriteSlot(i % 8, kFrameBytes, i + 1, i * 200000ull, kFrameBytes, value, kFrameBytes);
        Sleep(5);
      }
      ++restarts;
    }
  });

  const ULONGLONG end = GetTickCount64() + 4000;
  while (GetTickCount64() < end) {
    ASSERT_EQ(S_OK, graph->Run());
    graph->Next(3, 2000);
    ASSERT_EQ(S_OK, graph->Stop());
  }
  done = true;
  application.join();
  page.join();
  producer.join();
  // Wine's graph does not make a reconnection atomic with a Run from another
  // thread, so the application may have left the pins apart. Nothing may
  // hang or break: connected again (with the pin's type, which the page may
  // have forced), the camera streams as before.
  if (!graph->Pin()->IsConnected()) {
    graph->Graph()->Disconnect(graph->Sink()->InputPin());
    ASSERT_EQ(S_OK, graph->Graph()->ConnectDirect(graph->Pin(), graph->Sink()->InputPin(), nullptr));
  }
  ASSERT_EQ(S_OK, graph->Run());
  EXPECT_EQ(10u, graph->Next(10).size());
  ASSERT_EQ(S_OK, graph->Stop());
  EXPECT_GT(appCalls.load(), 10);
  EXPECT_GT(pageRounds.load(), 2);
  EXPECT_GT(restarts.load(), 2);
  EXPECT_EQ(0u, log.Count(L"Access violation"));
}

// A filter graph as the system's graph manager behaves where it matters
// here: Reconnect takes the graph's lock, which the graph also holds while it
// calls the filters' state changes.
class LockingGraph : public FakeUnknown<IFilterGraph, &IID_IFilterGraph> {
 public:
  CCritSec lock;
  std::atomic<int> reconnects{0};
  STDMETHODIMP Reconnect(IPin*) override {
    CAutoLock graph(&lock);
    ++reconnects;
    return S_OK;
  }
  STDMETHODIMP AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
  STDMETHODIMP EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
  STDMETHODIMP FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
  STDMETHODIMP ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
  STDMETHODIMP Disconnect(IPin*) override { return E_NOTIMPL; }
  STDMETHODIMP SetDefaultSyncSource() override { return E_NOTIMPL; }
};

// A camera outside any graph manager. The pin's type is guarded by the
// filter's state lock: the streaming thread changes it when downstream
// attaches a type to a sample, and must wait for that lock as every reader and
// writer of the type does. And the graph stops the filter holding its own
// lock while an application calls SetFormat on the connected pin: SetFormat
// must not wait for the graph's lock while holding ours.
TEST_F(Concurrency, AnAttachedTypeAndSetFormatTakeTheLocksInOrder) {
  const FilterEntry entry = MakeVideoEntry(kConcurrencyCamera, 30.0);
  Camera camera = Camera::Create(kConcurrencyCamera, &entry);
  ASSERT_NE(camera.pin, nullptr);
  CMediaType type = VideoType(MEDIASUBTYPE_YUY2, 64, 48, 30.0);
  CMediaType attached = VideoType(MEDIASUBTYPE_RGB32, 32, 24, 30.0);
  ASSERT_EQ(S_OK, camera.pin->SetMediaType(&type));
  GuardedAllocator allocator;
  ALLOCATOR_PROPERTIES request = {};
  ASSERT_EQ(S_OK, camera.pin->DecideBufferSize(&allocator, &request));
  ASSERT_EQ(S_OK, allocator.Commit());
  ComPtr<IMediaSample> sample;
  ASSERT_EQ(S_OK, allocator.GetBuffer(sample.Put(), nullptr, nullptr, 0));
  ASSERT_EQ(S_OK, sample->SetMediaType(&attached));
  std::thread streaming;
  {
    CAutoLock state(dynamic_cast<CSource*>(camera.filter.Get())->pStateLock());
    streaming = std::thread([&] { EXPECT_EQ(S_OK, camera.pin->FillBuffer(sample.Get())); });
    Sleep(200);
    EXPECT_EQ(MEDIASUBTYPE_YUY2, camera.pin->CurrentMediaType().subtype) << "changed under the state lock";
  }
  streaming.join();
  EXPECT_EQ(MEDIASUBTYPE_RGB32, camera.pin->CurrentMediaType().subtype);
  sample.Reset();

  ComPtr<TestSink> sink = TestSink::Create();
  LockingGraph manager;
  ASSERT_EQ(S_OK, camera.filter->JoinFilterGraph(&manager, L"camera"));
  ASSERT_EQ(S_OK, camera.pin->Connect(sink->InputPin(), &type));
  ComPtr<IAMStreamConfig> setter;
  ASSERT_EQ(S_OK, camera.pin->QueryInterface(IID_IAMStreamConfig, setter.PutVoid()));
  HRESULT stopped = E_FAIL;
  UniqueHandle graphBusy(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread stopping([&] {
    CAutoLock graphLock(&manager.lock);
    SetEvent(graphBusy.Get());
    Sleep(200);  // the application's SetFormat is now waiting for the graph
    stopped = camera.filter->Stop();
  });
  WaitForSingleObject(graphBusy.Get(), INFINITE);
  EXPECT_EQ(S_OK, setter->SetFormat(&type));
  stopping.join();
  EXPECT_EQ(S_OK, stopped);
  EXPECT_EQ(1, manager.reconnects.load());
  camera.pin->Disconnect();
  sink->InputPin()->Disconnect();
  camera.filter->JoinFilterGraph(nullptr, nullptr);
}

}  // namespace
}  // namespace telvor::test
