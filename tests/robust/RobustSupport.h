// Tools of the robustness tests: a camera and the test sink in Wine's filter
// graph, and an allocator whose sample buffers touch an inaccessible page.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "support/VideoPinFixture.h"
#include "support/GuardedBuffer.h"
#include "support/FakeCom.h"
#include "support/Watchdog.h"
#include "support/FakeRing.h"

namespace telvor::test {

// Camera indexes of the robustness programs (the first three of the range
// belong to the capture tool's tests). The tests also share one ctest lock.
inline constexpr int kHostileLayoutCamera = kRobustnessCameras + 3;
inline constexpr int kKilledProducerCamera = kRobustnessCameras + 5;
inline constexpr int kConcurrencyCamera = kRobustnessCameras + 6;
inline constexpr int kStressCamera = kRobustnessCameras + 7;

// Every byte equal to `value` and the sample `bytes` long.
inline bool IsFilledWith(const ReceivedSample& sample, BYTE value, size_t bytes) {
  return sample.data.size() == bytes &&
         std::all_of(sample.data.begin(), sample.data.end(), [&](BYTE b) { return b == value; });
}
// Every byte pair Y 16, chroma 128: the black YUY2 picture.
inline bool IsBlackYuy2(const ReceivedSample& sample) {
  if (sample.data.size() < 4) return false;
  for (size_t i = 0; i + 1 < sample.data.size(); i += 2) {
    if (sample.data[i] != 16 || sample.data[i + 1] != 128) return false;
  }
  return true;
}

// A client's media type whose format block, zeroed, is exactly `bytes` long
// and ends at a guard page: reading past what the client declared faults.
class GuardedType {
 public:
  GuardedType(REFGUID major, REFGUID subtype, REFGUID formattype, std::size_t bytes) : block_(bytes ? bytes : 1) {
    type_ = {major, subtype, TRUE, FALSE, 0, formattype, nullptr, static_cast<ULONG>(bytes),
             bytes ? block_.data() : nullptr};
  }
  AM_MEDIA_TYPE* Get() { return &type_; }
  BYTE* Block() { return block_.data(); }

 private:
  GuardedBuffer block_;
  AM_MEDIA_TYPE type_ = {};
};

inline WORD BitsPerPixel(REFGUID subtype) {
  const VideoSubtypeInfo* info = FindVideoSubtype(subtype);
  return info ? info->bitCount : 16;
}

// One sample with its own pages: [guard][data...] or [data...][guard].
class GuardedSample : public FakeUnknown<IMediaSample, &IID_IMediaSample> {
 public:
  GuardedSample(long bytes, bool guard_before) : size_(bytes) {
    constexpr std::size_t kPage = 4096;  // x86 and x64 pages
    const std::size_t rounded = (static_cast<std::size_t>(std::max<long>(bytes, 1)) + kPage - 1) / kPage * kPage;
    base_ = static_cast<BYTE*>(VirtualAlloc(nullptr, rounded + kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base_) return;
    DWORD old = 0;
    VirtualProtect(guard_before ? base_ : base_ + rounded, kPage, PAGE_NOACCESS, &old);
    data_ = guard_before ? base_ + kPage : base_ + rounded - bytes;
    std::memset(data_, 0xA5, static_cast<std::size_t>(bytes));
  }
  ~GuardedSample() {
    if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    ::DeleteMediaType(type_);
  }
  bool Ok() const { return base_ != nullptr; }

  STDMETHODIMP GetPointer(BYTE** buffer) override { return buffer ? (*buffer = data_, S_OK) : E_POINTER; }
  STDMETHODIMP_(long) GetSize() override { return size_; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
  STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
  STDMETHODIMP IsSyncPoint() override { return S_FALSE; }
  STDMETHODIMP SetSyncPoint(BOOL) override { return S_OK; }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
  STDMETHODIMP IsDiscontinuity() override { return S_FALSE; }
  STDMETHODIMP SetDiscontinuity(BOOL) override { return S_OK; }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }
  STDMETHODIMP_(long) GetActualDataLength() override { return actual_; }
  STDMETHODIMP SetActualDataLength(long length) override {
    if (length < 0 || length > size_) return VFW_E_BUFFER_OVERFLOW;
    actual_ = length;
    return S_OK;
  }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override {
    if (!type) return E_POINTER;
    *type = type_ ? ::CreateMediaType(type_) : nullptr;
    return !type_ ? S_FALSE : *type ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* type) override {
    ::DeleteMediaType(type_);
    type_ = type ? ::CreateMediaType(type) : nullptr;
    return S_OK;
  }

 private:
  long size_;
  long actual_ = 0;
  BYTE* base_ = nullptr;
  BYTE* data_ = nullptr;
  AM_MEDIA_TYPE* type_ = nullptr;
};

// Hands out samples of the size the pin asked for, each guarded as above. It
// keeps every sample it made until it goes, and must outlive their users.
class GuardedAllocator : public FakeUnknown<IMemAllocator, &IID_IMemAllocator> {
 public:
  explicit GuardedAllocator(bool guard_before = false, long limit = 0) : guard_before_(guard_before), limit_(limit) {}

  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override {
    if (!request || !actual) return E_POINTER;
    if (committed_) return VFW_E_ALREADY_COMMITTED;
    // Like the platform's memory allocator: no negative or absurd sizes.
    if (request->cbBuffer < 0 || request->cBuffers < 0 || request->cbAlign < 0 || request->cbPrefix < 0) {
      return E_INVALIDARG;
    }
    props_ = *request;
    props_.cBuffers = std::max(props_.cBuffers, 1L);
    props_.cbAlign = std::max(props_.cbAlign, 1L);
    if (limit_ > 0) props_.cbBuffer = std::min(props_.cbBuffer, limit_);
    *actual = props_;
    return S_OK;
  }
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override { return props ? (*props = props_, S_OK) : E_POINTER; }
  STDMETHODIMP Commit() override { return committed_ = true, S_OK; }
  STDMETHODIMP Decommit() override { return committed_ = false, decommit_result_; }
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    if (!committed_) return VFW_E_NOT_COMMITTED;
    samples_.push_back(std::make_unique<GuardedSample>(props_.cbBuffer, guard_before_));
    if (!samples_.back()->Ok()) return E_OUTOFMEMORY;
    *sample = samples_.back().get();
    return S_OK;
  }
  STDMETHODIMP ReleaseBuffer(IMediaSample*) override { return S_OK; }

  // Decommit still decommits but answers `result` (a client whose allocator fails).
  void SetDecommitResult(HRESULT result) { decommit_result_ = result; }

 private:
  bool guard_before_;
  long limit_;  // at most this many bytes per buffer (0: what is asked)
  bool committed_ = false;
  HRESULT decommit_result_ = S_OK;
  ALLOCATOR_PROPERTIES props_ = {};
  std::vector<std::unique_ptr<GuardedSample>> samples_;
};

// A filter and the test sink in Wine's filter graph; by default the video
// camera, configured for YUY2, the format the robustness producers write.
class CameraGraph {
 public:
  // The two filters in the graph, not connected. False when any step fails.
  bool Add(IBaseFilter* filter, IPin* output, const TestSinkOptions& options = {}) {
    output_ = output;
    sink_ = TestSink::Create(options);
    const HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                        graph_.PutVoid());
    if (FAILED(hr)) return false;
    EXPECT_EQ(S_OK, graph_->AddFilter(filter, L"source"));
    EXPECT_EQ(S_OK, graph_->AddFilter(sink_.Get(), L"sink"));
    return SUCCEEDED(graph_.As(&control_));
  }
  bool AddCamera(int camera, double fps, const TestSinkOptions& options = {}) {
    entry_ = MakeVideoEntry(camera, fps);
    entry_.subtype = MEDIASUBTYPE_YUY2;
    camera_ = Camera::Create(camera, &entry_);
    EXPECT_TRUE(camera_.pin);
    return camera_.pin && Add(camera_.filter.Get(), camera_.pin, options);
  }
  // The members then go in the order that releases the graph before the filters.
  ~CameraGraph() {
    if (control_) control_->Stop();
  }

  HRESULT Connect(const AM_MEDIA_TYPE* type) { return graph_->ConnectDirect(output_, sink_->InputPin(), type); }
  // Connects with `type`, and apart again when that worked.
  HRESULT TryConnect(const AM_MEDIA_TYPE* type) {
    const HRESULT hr = Connect(type);
    if (SUCCEEDED(hr)) {
      graph_->Disconnect(output_);
      graph_->Disconnect(sink_->InputPin());
    }
    return hr;
  }

  HRESULT Run() { return control_->Run(); }
  HRESULT Stop() { return control_->Stop(); }
  // The next `count` samples after the ones already received; fewer on timeout.
  std::vector<ReceivedSample> Next(size_t count, DWORD timeout_ms = 5000) {
    const size_t from = sink_->SampleCount();
    sink_->WaitForSamples(from + count, timeout_ms);
    std::vector<ReceivedSample> all = sink_->Samples();
    if (all.size() <= from) return {};
    return std::vector<ReceivedSample>(all.begin() + from, all.begin() + std::min(all.size(), from + count));
  }
  void Clear() { sink_->ClearSamples(); }
  // Waits until a sample of `bytes` bytes all equal to `value` arrives.
  bool SeeFilled(BYTE value, size_t bytes, DWORD timeout_ms) {
    for (const ULONGLONG end = GetTickCount64() + timeout_ms; GetTickCount64() < end;) {
      for (const ReceivedSample& s : Next(1, 200)) {
        if (IsFilledWith(s, value, bytes)) return true;
      }
    }
    return false;
  }

  CorvaneVideoStream* Pin() const { return camera_.pin; }
  IBaseFilter* Filter() const { return camera_.filter.Get(); }
  TestSink* Sink() const { return sink_.Get(); }
  IFilterGraph* Graph() const { return graph_.Get(); }

 private:
  FilterEntry entry_ = {};
  Camera camera_;
  IPin* output_ = nullptr;
  ComPtr<TestSink> sink_;
  ComPtr<IFilterGraph> graph_;
  ComPtr<IMediaControl> control_;
};

// One COM apartment per test, every object gone after it, and a watchdog: a
// deadlock ends the program with a message instead of hanging. The camera,
// when built, streams YUY2 64x48 at 50 frames per second.
class RobustTest : public ::testing::Test {
 public:
  static constexpr int kWidth = 64;
  static constexpr int kHeight = 48;
  static constexpr std::uint32_t kFrameBytes = kWidth * kHeight * 2;
  static constexpr double kFps = 50.0;

 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  // After the fixtures' own members, their COM pointers into the camera included.
  ~RobustTest() override {
    config.Reset();
    control.Reset();
    graph.reset();
    EXPECT_EQ(0, CBaseObject::ObjectsActive());
    CoUninitialize();
  }
  // The camera beside the sink, not connected, and the pin's two client interfaces.
  void Add(int camera, double fps) {
    graph = std::make_unique<CameraGraph>();
    ASSERT_TRUE(graph->AddCamera(camera, fps));
    ASSERT_EQ(S_OK, graph->Pin()->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
    ASSERT_EQ(S_OK, graph->Pin()->QueryInterface(IID_ICorvaneVideoStream, control.PutVoid()));
  }
  void Build(int camera) {
    Add(camera, kFps);
    const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, kFps);
    ASSERT_EQ(S_OK, graph->Connect(&type));
  }
  bool SeeValue(BYTE value, DWORD timeout_ms = 3000) { return graph->SeeFilled(value, kFrameBytes, timeout_ms); }

  Watchdog dog{::testing::UnitTest::GetInstance()->current_test_info()->name(), 240};
  std::unique_ptr<CameraGraph> graph;
  ComPtr<IAMStreamConfig> config;
  ComPtr<ICorvaneVideoStream> control;
};

}  // namespace telvor::test
