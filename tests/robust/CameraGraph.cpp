#include "CameraGraph.h"

namespace telvor::test {

bool CameraGraph::Add(int camera, double fps, const TestSinkOptions& options) {
  entry_ = MakeRobustVideoEntry(camera, fps);
  camera_ = Camera::Create(camera, &entry_);
  EXPECT_TRUE(camera_.pin);
  if (!camera_.pin) return false;
  sink_ = TestSink::Create(options);
  const HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                      graph_.PutVoid());
  EXPECT_EQ(S_OK, hr);
  if (FAILED(hr)) return false;
  EXPECT_EQ(S_OK, graph_->AddFilter(camera_.filter.Get(), L"camera"));
  EXPECT_EQ(S_OK, graph_->AddFilter(sink_.Get(), L"sink"));
  return SUCCEEDED(graph_.As(&control_));
}

bool CameraGraph::Build(int camera, double fps, const CMediaType& type, const TestSinkOptions& options) {
  if (!Add(camera, fps, options)) return false;
  const HRESULT hr = graph_->ConnectDirect(camera_.pin, sink_->InputPin(), &type);
  EXPECT_EQ(S_OK, hr);
  return SUCCEEDED(hr);
}

HRESULT CameraGraph::TryConnect(const AM_MEDIA_TYPE* type) {
  const HRESULT hr = graph_->ConnectDirect(camera_.pin, sink_->InputPin(), type);
  if (SUCCEEDED(hr)) Disconnect();
  return hr;
}

CameraGraph::~CameraGraph() {
  if (control_) control_->Stop();
  control_.Reset();
  graph_.Reset();
  sink_.Reset();
  camera_ = Camera();
}

std::vector<ReceivedSample> CameraGraph::Next(size_t count, DWORD timeout_ms) {
  const size_t from = sink_->SampleCount();
  sink_->WaitForSamples(from + count, timeout_ms);
  std::vector<ReceivedSample> all = sink_->Samples();
  if (all.size() <= from) return {};
  const size_t end = std::min(all.size(), from + count);
  return std::vector<ReceivedSample>(all.begin() + from, all.begin() + end);
}

bool CameraGraph::SeeFilled(BYTE value, size_t bytes, DWORD timeout_ms) {
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  while (GetTickCount64() < end) {
    for (const ReceivedSample& s : Next(1, 200)) {
      if (IsFilledWith(s, value, bytes)) return true;
    }
  }
  return false;
}

void StreamingCameraTest::TearDown() {
  graph.reset();
  EXPECT_EQ(0, CBaseObject::ObjectsActive());
  CoUninitialize();
}

void StreamingCameraTest::Build(int camera) {
  graph = std::make_unique<CameraGraph>();
  ASSERT_TRUE(graph->Build(camera, kFps, VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, kFps)));
}

bool IsBlackYuy2(const ReceivedSample& sample) {
  if (sample.data.size() < 4) return false;
  for (size_t i = 0; i + 1 < sample.data.size(); i += 2) {
    if (sample.data[i] != 16 || sample.data[i + 1] != 128) return false;
  }
  return true;
}

bool IsFilledWith(const ReceivedSample& sample, BYTE value, size_t bytes) {
  if (sample.data.size() != bytes) return false;
  for (BYTE b : sample.data) {
    if (b != value) return false;
  }
  return true;
}

}  // namespace telvor::test
