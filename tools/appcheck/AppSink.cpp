#include "AppSink.h"

#include <dshow.h>
#include <vfwmsgs.h>

namespace appcheck {

const CLSID kClsidSampleGrabber = {0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const CLSID kClsidNullRenderer = {0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

namespace {
const CLSID kClsidAppSink = {0x3c9a5e14, 0x6b2d, 0x4f81, {0x9a, 0x37, 0x5e, 0x0c, 0x21, 0x84, 0x6d, 0x02}};
}  // namespace

// --- pin ---

AppSinkPin::AppSinkPin(AppSink* filter, CCritSec* lock, HRESULT* hr)
    : CBaseInputPin(L"AppSinkPin", filter, lock, hr, L"Input"), m_pSink(filter) {}

HRESULT AppSinkPin::CheckMediaType(const CMediaType* type) {
  if (!type || !IsEqualGUID(type->majortype, m_pSink->m_Rules.majorType)) return S_FALSE;
  const auto& accepts = m_pSink->m_Rules.accepts;
  return !accepts || accepts(*type) ? S_OK : S_FALSE;
}

HRESULT AppSinkPin::GetMediaType(int position, CMediaType* type) {
  if (position < 0) return E_INVALIDARG;
  if (!type) return E_POINTER;
  const std::vector<CMediaType>& proposals = m_pSink->m_Rules.proposals;
  if (static_cast<std::size_t>(position) >= proposals.size()) return VFW_S_NO_MORE_ITEMS;
  return type->Set(proposals[static_cast<std::size_t>(position)]);
}

STDMETHODIMP AppSinkPin::QueryAccept(const AM_MEDIA_TYPE* type) {
  if (!m_pSink->m_Rules.adoptQueryAccept) return CBasePin::QueryAccept(type);
  if (!type || !IsEqualGUID(type->majortype, m_pSink->m_Rules.majorType)) return S_FALSE;
  ++m_pSink->m_QueryAccepts;
  m_pSink->ReadBy(*type);
  return S_OK;
}

STDMETHODIMP AppSinkPin::Receive(IMediaSample* sample) {
  if (!sample) return E_POINTER;
  AppSink& sink = *m_pSink;
  if (const DWORD hold = sink.m_HoldMs.exchange(0)) {
    SetEvent(sink.m_Inside.Get());
    Sleep(hold);
  }
  if (sink.m_Rules.duringReceive) sink.m_Rules.duringReceive();
  Recorder* recorder = sink.m_Recorder.load();
  if (!recorder) return S_OK;
  if (sink.m_Rules.honourSampleType) {
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
      ++sink.m_SampleTypes;
      sink.ReadBy(*changed);
    }
    DeleteMediaType(changed);
  }
  REFERENCE_TIME start = 0, stop = 0;
  if (sink.m_Rules.dropUnstamped && FAILED(sample->GetTime(&start, &stop))) {
    recorder->CountDropped(Recorder::Dropped::kUnstamped);
    return S_OK;
  }
  if (sink.m_Rules.shortSampleStops &&
      static_cast<std::size_t>(std::max(0L, sample->GetActualDataLength())) < recorder->ExpectedBytes()) {
    recorder->CountDropped(Recorder::Dropped::kShort);
    return S_FALSE;
  }
  recorder->Add(sample);
  return S_OK;
}

// --- filter ---

ComPtr<AppSink> AppSink::Create(const SinkRules& rules, const wchar_t* name) {
  return ComPtr<AppSink>(new AppSink(rules, name));
}

AppSink::AppSink(const SinkRules& rules, const wchar_t* name)
    : CBaseFilter(name, nullptr, &m_StateLock, kClsidAppSink),
      m_Rules(rules),
      m_Inside(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  HRESULT hr = S_OK;
  m_pPin = new AppSinkPin(this, &m_StateLock, &hr);
}

AppSink::~AppSink() { delete m_pPin; }

void AppSink::HoldNextReceive(DWORD holdMs) {
  ResetEvent(m_Inside.Get());
  m_HoldMs.store(holdMs);
}

void AppSink::ReadBy(const AM_MEDIA_TYPE& type) {
  Recorder* recorder = m_Recorder.load();
  if (!recorder || !IsEqualGUID(m_Rules.majorType, MEDIATYPE_Video)) return;
  const Layout layout = LayoutOf(type, m_Rules.rgbAlwaysBottomUp);
  recorder->SetLayout(layout, LengthRule::kAtLeast, layout.bytes);
}

// --- grabber callback ---

STDMETHODIMP GrabberCallback::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISampleGrabberCB)) {
    *out = static_cast<ISampleGrabberCB*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP GrabberCallback::SampleCB(double, IMediaSample* sample) {
  if (Recorder* recorder = recorder_.load(); recorder && sample) recorder->Add(sample);
  return S_OK;
}

STDMETHODIMP GrabberCallback::BufferCB(double, BYTE*, long) { return S_OK; }

}  // namespace appcheck
