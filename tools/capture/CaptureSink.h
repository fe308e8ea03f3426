// The sink filter telvor-capture connects a camera to: a renderer-like filter
// on our own framework that records, for every sample, when it arrived, its
// stamps, and what it showed, inside a measuring window.
//
// The window opens with the first sample and lasts the requested time, so
// the counts do not depend on how long the graph took to start. Everything
// after the window is ignored; the main thread is woken when it has passed.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "FrameBand.h"
#include "Stats.h"
#include "framework/BaseFilter.h"
#include "framework/InputPin.h"
#include "framework/ComPtr.h"
#include "base/Handle.h"
#include "framework/MediaType.h"

namespace capture {

// Called on the streaming thread with each sample's bytes inside the window
// (the data is valid only during the call).
using SampleConsumer = std::function<void(const std::uint8_t* data, std::size_t size)>;

class CaptureSink;

class CaptureSinkPin : public CBaseInputPin {
 public:
  CaptureSinkPin(CaptureSink* filter, CCritSec* lock, HRESULT* hr);

  HRESULT CheckMediaType(const CMediaType* type) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;

 private:
  CaptureSink* m_pSink;
};

class CaptureSink : public CBaseFilter {
 public:
  // `majorType` is what the pin accepts (MEDIATYPE_Video or MEDIATYPE_Audio);
  // `expectedSamples` sizes the record so the streaming thread does not allocate.
  static ComPtr<CaptureSink> Create(const GUID& majorType, std::int64_t window, std::size_t expectedSamples);

  // IMediaFilter: Run gives the stream's origin, Stop ends it.
  STDMETHODIMP Run(REFERENCE_TIME start) override;
  STDMETHODIMP Stop() override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pPin : nullptr; }
  IPin* InputPin() { return m_pPin; }
  const CMediaType& ConnectionType() const { return m_pPin->CurrentMediaType(); }

  // Before running: what to do with each sample's bytes, and the picture
  // layout (from the connection type) for reading the bands.
  void SetConsumer(SampleConsumer consumer) { m_Consumer = std::move(consumer); }
  void SetLayout(const PictureLayout& layout) { m_Layout = layout; }

  // Signalled once the window has passed.
  HANDLE WindowDone() const { return m_WindowDone.Get(); }
  // After the graph has stopped.
  const std::vector<SampleRecord>& Records() const { return m_Records; }
  // Process CPU time spent from the first sample to the window's end, 100-ns units.
  std::int64_t CpuTime() const { return m_CpuEnd - m_CpuStart; }
  std::int64_t WindowStart() const { return m_WindowStart; }

 private:
  friend class CaptureSinkPin;
  CaptureSink(const GUID& majorType, std::int64_t window, std::size_t expectedSamples);
  ~CaptureSink() override;
  void Record(IMediaSample* sample, std::int64_t arrival, bool running, std::int64_t streamArrival);
  // Graph clock minus tStart now; false before Run (or without a clock).
  bool StreamTimeNow(std::int64_t& time) const;

  CCritSec m_StateLock;
  CaptureSinkPin* m_pPin = nullptr;
  GUID m_MajorType;
  std::int64_t m_Window;
  PictureLayout m_Layout;
  SampleConsumer m_Consumer;

  // Set by Run for the streaming thread, which does not take the state lock
  // (the graph may be stopping us while a Receive runs). The clock stays
  // alive in m_pClock, which the graph changes only while stopped.
  std::atomic<IReferenceClock*> m_RunClock{nullptr};
  std::atomic<std::int64_t> m_RunStart{0};

  // Written by the streaming thread only; read after the graph stopped.
  std::vector<SampleRecord> m_Records;
  std::int64_t m_WindowStart = 0;
  std::int64_t m_CpuStart = 0;
  std::int64_t m_CpuEnd = 0;
  bool m_Closed = false;
  UniqueHandle m_WindowDone;
};

// User plus kernel time of this process, 100-ns units.
std::int64_t ProcessCpuTime();

}  // namespace capture
