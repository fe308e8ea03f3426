// A small source filter on our own framework whose stream the tests script
// (which FillBuffer call ends the stream and with what result), and the graph
// harness every graph test of a source filter uses.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <strmif.h>
#include <amvideo.h>
#include <control.h>
#include <uuids.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "framework/ComPtr.h"
#include "framework/Source.h"
#include "framework/SourceStream.h"
#include "support/TestSink.h"

namespace telvor::test {

inline constexpr LONG kFrameWidth = 16;
inline constexpr LONG kFrameHeight = 8;
inline constexpr long kFrameBytes = kFrameWidth * kFrameHeight * 4;
inline constexpr REFERENCE_TIME kFrameDuration = 400000;

// 16x8 RGB32, the stream's single type.
inline CMediaType FrameType(LONG width = kFrameWidth) {
  VIDEOINFOHEADER format = {};
  format.AvgTimePerFrame = kFrameDuration;
  const DWORD bytes = static_cast<DWORD>(width * kFrameHeight * 4);
  format.bmiHeader = {sizeof(BITMAPINFOHEADER), width, kFrameHeight, 1, 32, BI_RGB, bytes, 0, 0, 0, 0};
  CMediaType type(&MEDIATYPE_Video);
  type.SetSubtype(&MEDIASUBTYPE_RGB32);
  type.SetFormatType(&FORMAT_VideoInfo);
  type.SetSampleSize(bytes);
  type.SetFormat(reinterpret_cast<const BYTE*>(&format), sizeof(format));
  return type;
}

class TestStream : public CSourceStream {
 public:
  TestStream(HRESULT* hr, CSource* filter, const wchar_t* name) : CSourceStream(L"TestStream", hr, filter, name) {}

  using CSourceStream::GetMediaType;
  HRESULT GetMediaType(CMediaType* type) override { return type->Set(FrameType()); }

  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
    request->cBuffers = std::max(request->cBuffers, 2L);
    request->cbBuffer = std::max(request->cbBuffer, kFrameBytes);
    ALLOCATOR_PROPERTIES granted = {};
    const HRESULT hr = allocator->SetProperties(request, &granted);
    return FAILED(hr) || granted.cbBuffer >= kFrameBytes ? hr : E_FAIL;
  }

  HRESULT FillBuffer(IMediaSample* sample) override {
    const int n = ++fills;
    if (n == endAt) return endResult;
    if (n == skipAt) return kSkipSample;
    if (n == stallAt) Sleep(stallMs);
    BYTE* data = nullptr;
    sample->GetPointer(&data);
    std::fill(data, data + kFrameBytes, static_cast<BYTE>(n));
    sample->SetActualDataLength(kFrameBytes);
    sample->SetSyncPoint(TRUE);
    return S_OK;
  }
  REFERENCE_TIME MediaTime(LONGLONG frames) override { return frames * kFrameDuration; }

  HRESULT OnThreadCreate() override { return ++threadCreates, threadCreateResult; }
  HRESULT OnThreadDestroy() override { return ++threadDestroys, S_OK; }

  void BumpTypeVersion() { IncrementTypeVersion(); }
  bool HasThread() const { return ThreadExists(); }

  std::atomic<int> fills{0};
  std::atomic<int> threadCreates{0};
  std::atomic<int> threadDestroys{0};
  std::atomic<int> endAt{0};  // the FillBuffer call (1-based) that answers endResult
  std::atomic<HRESULT> endResult{S_FALSE};
  std::atomic<int> skipAt{0};  // the FillBuffer call that lets its deadline pass
  std::atomic<int> stallAt{0};  // the FillBuffer call that takes stallMs
  DWORD stallMs = 0;
  void SkipLateDeadlines() { m_SkipsLateDeadlines = true; }
  void Pace(StreamPacing* pacing) { SetPacing(pacing); }
  HRESULT threadCreateResult = S_OK;
};

class TestSource : public CSource {
 public:
  static ComPtr<TestSource> Create(const wchar_t* pinName = L"Out") { return ComPtr<TestSource>(new TestSource(pinName)); }
  TestStream* stream = nullptr;

 private:
  explicit TestSource(const wchar_t* pinName) : CSource(L"TestSource", nullptr, CLSID_NULL) {
    HRESULT hr = S_OK;
    stream = new TestStream(&hr, this, pinName);
  }
};

// COM on the test's thread; no framework object may outlive a test.
class ComTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    EXPECT_EQ(0, CBaseObject::ObjectsActive()) << "framework objects outlived the test";
    CoUninitialize();
  }
};

// A source filter connected straight to a TestSink in Wine's filter graph.
// A fixture that holds the source itself releases it in its TearDown before
// this one's.
class SinkGraphTest : public ComTest {
 protected:
  void TearDown() override {
    if (control) control->Stop();
    control.Reset();
    graph.Reset();
    sink.Reset();
    ComTest::TearDown();
  }
  // `out` (a pin of `source`) connected with `type`, or with any type of its own when null.
  void Connect(IBaseFilter* source, IPin* out, const AM_MEDIA_TYPE* type, const TestSinkOptions& options = {}) {
    sink = TestSink::Create(options);
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(source, L"source"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ASSERT_EQ(S_OK, graph->ConnectDirect(out, sink->InputPin(), type));
    ASSERT_EQ(S_OK, graph.As(&control));
  }
  // Samples [from, from + count) of the sink's list, waiting for them; empty when they do not come.
  std::vector<ReceivedSample> Next(size_t from, size_t count, DWORD waitMs = 4000) {
    EXPECT_TRUE(sink->WaitForSamples(from + count, waitMs));
    std::vector<ReceivedSample> all = sink->Samples();
    if (all.size() < from + count) return {};
    return std::vector<ReceivedSample>(all.begin() + from, all.begin() + from + count);
  }

  ComPtr<TestSink> sink;
  ComPtr<IFilterGraph> graph;
  ComPtr<IMediaControl> control;
};

}  // namespace telvor::test
