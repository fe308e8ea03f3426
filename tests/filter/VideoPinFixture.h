// Helpers for video pin tests: a camera entry, a camera filter created the
// way the class objects create it, and that camera in a graph.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <dshow.h>
#include <control.h>

#include <vector>

#include "filter/Corvane.h"
#include "filter/CorvaneVideoStream.h"
#include "filter/VideoMediaTypes.h"
#include "framework/ComPtr.h"
#include "module/ClassObjects.h"
#include "support/CameraIndexes.h"
#include "support/TestSink.h"

namespace telvor::test {

inline FilterEntry MakeVideoEntry(int cameraIndex, double fps = 30.0, int width = 0, int height = 0) {
  FilterEntry entry = {};
  entry.clsid = VideoFilterId(cameraIndex);
  lstrcpynW(entry.name, L"Test camera", ARRAYSIZE(entry.name));
  lstrcpynW(entry.videoPinName, L"Video", ARRAYSIZE(entry.videoPinName));
  entry.defaultWidth = width;
  entry.defaultHeight = height;
  entry.fps = fps;
  entry.subtype = MEDIASUBTYPE_YV12;
  entry.index = cameraIndex;
  return entry;
}

// A camera filter as its class object makes it. The entry must outlive it.
struct Camera {
  ComPtr<IBaseFilter> filter;
  Corvane* object = nullptr;
  CorvaneVideoStream* pin = nullptr;

  static Camera Create(int cameraIndex, const FilterEntry* entry, HRESULT* result = nullptr) {
    Camera camera;
    HRESULT hr = S_OK;
    CUnknown* unknown = NewCameraFilter(nullptr, MEDIATYPE_Video, cameraIndex, entry, &hr);
    if (result) *result = hr;
    if (!unknown) return camera;
    if (FAILED(hr)) {
      delete unknown;
      return camera;
    }
    unknown->NonDelegatingQueryInterface(IID_IBaseFilter, camera.filter.PutVoid());
    camera.object = dynamic_cast<Corvane*>(unknown);
    camera.pin = dynamic_cast<CorvaneVideoStream*>(camera.object->GetPin(0));
    return camera;
  }
};

inline CMediaType VideoType(REFGUID subtype, int width, int height, double fps) {
  CMediaType type;
  BuildVideoType(&type, subtype, width, height, fps);
  return type;
}

// A video camera connected straight to a TestSink in Wine's filter graph,
// YUY2 at the given size; every object is gone again after each test.
class CameraGraphTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    if (control) control->Stop();
    control.Reset();
    graph.Reset();
    sink.Reset();
    camera = Camera();
    EXPECT_EQ(0, CBaseObject::ObjectsActive());
    CoUninitialize();
  }
  void BuildGraph(int cameraIndex, double fps, int width, int height) {
    entry = MakeVideoEntry(cameraIndex, fps);
    camera = Camera::Create(cameraIndex, &entry);
    ASSERT_TRUE(camera.pin);
    TestSinkOptions options;
    options.maxCopyBytes = static_cast<size_t>(width) * height * 2;
    sink = TestSink::Create(options);
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(camera.filter.Get(), L"camera"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, width, height, fps);
    ASSERT_EQ(S_OK, graph->ConnectDirect(camera.pin, sink->InputPin(), &type));
    ASSERT_EQ(S_OK, graph.As(&control));
  }
  // Samples after `from` (an index into the sink's list), waiting for `count`.
  std::vector<ReceivedSample> Next(size_t from, size_t count, DWORD waitMs = 4000) {
    EXPECT_TRUE(sink->WaitForSamples(from + count, waitMs));
    std::vector<ReceivedSample> all = sink->Samples();
    if (all.size() < from + count) return {};
    return std::vector<ReceivedSample>(all.begin() + from, all.begin() + from + count);
  }

  FilterEntry entry = {};
  Camera camera;
  ComPtr<TestSink> sink;
  ComPtr<IFilterGraph> graph;
  ComPtr<IMediaControl> control;
};

}  // namespace telvor::test
