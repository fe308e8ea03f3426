// A video camera filter created as its class object creates it (the video
// pin tests' Camera), with the test sink in Wine's filter graph.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "filter/VideoPinFixture.h"

namespace telvor::test {

// Camera indexes of the robustness programs (the first three of the range
// belong to the capture tool's tests). The tests also share one ctest lock.
inline constexpr int kHostileLayoutCamera = kRobustnessCameras + 3;
inline constexpr int kHostileSequenceCamera = kRobustnessCameras + 4;
inline constexpr int kKilledProducerCamera = kRobustnessCameras + 5;
inline constexpr int kConcurrencyCamera = kRobustnessCameras + 6;
inline constexpr int kStressCamera = kRobustnessCameras + 7;

// The robustness cameras are configured for YUY2, the format their producers write.
inline FilterEntry MakeRobustVideoEntry(int camera, double fps) {
  FilterEntry entry = MakeVideoEntry(camera, fps);
  entry.subtype = MEDIASUBTYPE_YUY2;
  return entry;
}

// Every byte equal to `value` and the sample `bytes` long.
inline bool IsFilledWith(const ReceivedSample& sample, BYTE value, size_t bytes) {
  return sample.data.size() == bytes && std::all_of(sample.data.begin(), sample.data.end(), [&](BYTE b) { return b == value; });
}
// Every byte pair Y 16, chroma 128: the black YUY2 picture.
inline bool IsBlackYuy2(const ReceivedSample& sample) {
  if (sample.data.size() < 4) return false;
  for (size_t i = 0; i + 1 < sample.data.size(); i += 2) {
    if (sample.data[i] != 16 || sample.data[i + 1] != 128) return false;
  }
  return true;
}

class CameraGraph {
 public:
  // The filter and the sink in a graph, not connected. False (with the
  // reason through gtest) when any step fails.
  bool Add(int camera, double fps, const TestSinkOptions& options = {}) {
    entry_ = MakeRobustVideoEntry(camera, fps);
    camera_ = Camera::Create(camera, &entry_);
    EXPECT_TRUE(camera_.pin);
    sink_ = TestSink::Create(options);
    const HRESULT hr = camera_.pin ? CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                                      IID_IFilterGraph, graph_.PutVoid())
                                   : E_FAIL;
    EXPECT_EQ(S_OK, hr);
    if (FAILED(hr)) return false;
    EXPECT_EQ(S_OK, graph_->AddFilter(camera_.filter.Get(), L"camera"));
    EXPECT_EQ(S_OK, graph_->AddFilter(sink_.Get(), L"sink"));
    return SUCCEEDED(graph_.As(&control_));
  }
  // Added, then connected with `type`.
  bool Build(int camera, double fps, const CMediaType& type) {
    if (!Add(camera, fps)) return false;
    const HRESULT hr = graph_->ConnectDirect(camera_.pin, sink_->InputPin(), &type);
    EXPECT_EQ(S_OK, hr);
    return SUCCEEDED(hr);
  }
  ~CameraGraph() {
    if (control_) control_->Stop();
    control_.Reset();
    graph_.Reset();
    sink_.Reset();
    camera_ = Camera();
  }

  // Connects with `type` through the graph, and apart again when that worked.
  HRESULT TryConnect(const AM_MEDIA_TYPE* type) {
    const HRESULT hr = graph_->ConnectDirect(camera_.pin, sink_->InputPin(), type);
    if (SUCCEEDED(hr)) Disconnect();
    return hr;
  }
  void Disconnect() {
    graph_->Disconnect(camera_.pin);
    graph_->Disconnect(sink_->InputPin());
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
  ComPtr<TestSink> sink_;
  ComPtr<IFilterGraph> graph_;
  ComPtr<IMediaControl> control_;
};

// A streaming YUY2 64x48 camera at 50 frames per second, for tests that
// drive it from the producer's side; it must leave no object behind.
class StreamingCameraTest : public ::testing::Test {
 public:
  static constexpr int kWidth = 64;
  static constexpr int kHeight = 48;
  static constexpr std::uint32_t kFrameBytes = kWidth * kHeight * 2;
  static constexpr double kFps = 50.0;

 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    graph.reset();
    EXPECT_EQ(0, CBaseObject::ObjectsActive());
    CoUninitialize();
  }
  void Build(int camera) {
    graph = std::make_unique<CameraGraph>();
    ASSERT_TRUE(graph->Build(camera, kFps, VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, kFps)));
  }
  bool SeeValue(BYTE value, DWORD timeout_ms = 3000) { return graph->SeeFilled(value, kFrameBytes, timeout_ms); }

  std::unique_ptr<CameraGraph> graph;
};

}  // namespace telvor::test
