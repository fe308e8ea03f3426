// The sinks the applications put behind a camera, on our own framework: one
// filter whose input pin proposes, accepts and receives as the application's
// own sink does (SinkRules), and the callback an application hands to the
// system's Sample Grabber.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include <atomic>
#include <functional>
#include <vector>

#include "Frames.h"
#include "base/Handle.h"
#include "framework/BaseFilter.h"
#include "framework/ComPtr.h"
#include "framework/InputPin.h"
#include "framework/MediaType.h"

namespace appcheck {

struct SinkRules {
  GUID majorType = MEDIATYPE_Video;
  // What EnumMediaTypes offers, in order.
  std::vector<CMediaType> proposals;
  // A type the pin takes in a connection; null: any of the major type.
  std::function<bool(const AM_MEDIA_TYPE& type)> accepts;
  // QueryAccept answers S_OK to any type of the major type and reads the
  // pictures by it from then on (OBS).
  bool adoptQueryAccept = false;
  // A type attached to a sample replaces the one the pictures are read by.
  bool honourSampleType = false;
  // Samples without a start time are thrown away (OBS).
  bool dropUnstamped = false;
  // Receive answers S_FALSE to a sample shorter than the frame (Chromium).
  bool shortSampleStops = false;
  // RGB rows are read bottom-up whatever the height's sign (Chromium).
  bool rgbAlwaysBottomUp = false;
  // Run on the streaming thread at the start of every Receive.
  std::function<void()> duringReceive;
};

class AppSink;

class AppSinkPin : public CBaseInputPin {
 public:
  AppSinkPin(AppSink* filter, CCritSec* lock, HRESULT* hr);
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Receive(IMediaSample* sample) override;

 private:
  AppSink* m_pSink;
};

class AppSink : public CBaseFilter {
 public:
  static ComPtr<AppSink> Create(const SinkRules& rules, const wchar_t* name);

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override { return n == 0 ? m_pPin : nullptr; }
  IPin* InputPin() { return m_pPin; }
  const CMediaType& ConnectionType() const { return m_pPin->CurrentMediaType(); }

  // Where samples go; set while the graph is stopped.
  void SetRecorder(Recorder* recorder) { m_Recorder.store(recorder); }
  // The next Receive signals InsideReceive() and then waits `holdMs` before
  // it goes on, so the application thread can act while a Receive is in
  // progress.
  void HoldNextReceive(DWORD holdMs);
  HANDLE InsideReceive() const { return m_Inside.Get(); }
  std::uint64_t QueryAccepts() const { return m_QueryAccepts.load(); }
  std::uint64_t SampleTypes() const { return m_SampleTypes.load(); }

 private:
  friend class AppSinkPin;
  AppSink(const SinkRules& rules, const wchar_t* name);
  ~AppSink() override;
  // Reads pictures by `type` from now on.
  void ReadBy(const AM_MEDIA_TYPE& type);

  CCritSec m_StateLock;
  SinkRules m_Rules;
  AppSinkPin* m_pPin = nullptr;
  std::atomic<Recorder*> m_Recorder{nullptr};
  std::atomic<DWORD> m_HoldMs{0};
  UniqueHandle m_Inside;
  std::atomic<std::uint64_t> m_QueryAccepts{0};
  std::atomic<std::uint64_t> m_SampleTypes{0};
};

// The application's callback on a Sample Grabber: every sample to a recorder.
class GrabberCallback : public ISampleGrabberCB {
 public:
  explicit GrabberCallback(Recorder* recorder) : recorder_(recorder) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  // Lives as long as the session: the grabber's references do not own it.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP SampleCB(double time, IMediaSample* sample) override;
  STDMETHODIMP BufferCB(double time, BYTE* buffer, long length) override;
  void SetRecorder(Recorder* recorder) { recorder_.store(recorder); }

 private:
  std::atomic<Recorder*> recorder_;
};

// The system's Sample Grabber and Null Renderer (qedit).
extern const CLSID kClsidSampleGrabber;
extern const CLSID kClsidNullRenderer;

}  // namespace appcheck
