#include "framework/BaseFilter.h"

#include <evcode.h>

#include <algorithm>
#include <cwchar>
#include <new>

#include "framework/BasePin.h"
#include "framework/EnumPins.h"

CBaseFilter::CBaseFilter(const wchar_t* objectName, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid, HRESULT* hr)
    : CUnknown(objectName, outer, hr), m_clsid(clsid), m_pLock(lock) {}

CBaseFilter::~CBaseFilter() = default;

STDMETHODIMP CBaseFilter::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IBaseFilter)) return GetInterface(static_cast<IBaseFilter*>(this), out);
  if (IsEqualIID(iid, IID_IMediaFilter)) return GetInterface(static_cast<IMediaFilter*>(this), out);
  if (IsEqualIID(iid, IID_IPersist)) return GetInterface(static_cast<IPersist*>(this), out);
  if (IsEqualIID(iid, IID_IAMovieSetup)) return GetInterface(static_cast<IAMovieSetup*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

// --- own operations ---

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME& time) {
  ComPtr<IReferenceClock> clock;
  REFERENCE_TIME start;
  {
    CAutoLock lock(&m_InfoLock);
    clock = m_pClock;
    start = m_tStart;
  }
  if (!clock) return VFW_E_NO_CLOCK;
  HRESULT hr = clock->GetTime(&time);
  if (FAILED(hr)) return hr;
  time -= start;
  return S_OK;
}

LONG CBaseFilter::GetPinVersion() { return InterlockedCompareExchange(&m_PinVersion, 0, 0); }

void CBaseFilter::IncrementPinVersion() { InterlockedIncrement(&m_PinVersion); }

const FilterSetup* CBaseFilter::GetSetupData() { return nullptr; }

bool CBaseFilter::IsActive() {
  CAutoLock lock(&m_InfoLock);
  return m_State != State_Stopped;
}

bool CBaseFilter::IsStopped() {
  CAutoLock lock(&m_InfoLock);
  return m_State == State_Stopped;
}

HRESULT CBaseFilter::NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2) {
  IMediaEventSink* sink;
  {
    CAutoLock lock(&m_InfoLock);
    sink = m_pSink;
  }
  if (!sink) return E_NOTIMPL;
  if (code == EC_COMPLETE) param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
  return sink->Notify(code, param1, param2);
}

// --- IPersist ---

STDMETHODIMP CBaseFilter::GetClassID(CLSID* clsid) {
  if (!clsid) return E_POINTER;
  *clsid = m_clsid;
  return S_OK;
}

// --- IMediaFilter ---

STDMETHODIMP CBaseFilter::Stop() {
  CAutoLock lock(m_pLock);
  HRESULT result = S_OK;
  if (m_State != State_Stopped) {
    for (int i = 0; i < GetPinCount(); ++i) {
      CBasePin* pin = GetPin(i);
      if (!pin || !pin->IsConnected()) continue;
      HRESULT hr = pin->Inactive();
      if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
  }
  SetState(State_Stopped);
  return result;
}

STDMETHODIMP CBaseFilter::Pause() {
  CAutoLock lock(m_pLock);
  if (m_State != State_Paused) {
    const bool starting = m_State == State_Stopped;
    for (int i = 0; i < GetPinCount(); ++i) {
      CBasePin* pin = GetPin(i);
      if (!pin || !pin->IsConnected()) continue;
      HRESULT hr = starting ? pin->Active() : pin->Suspend();
      if (FAILED(hr)) return hr;
    }
  }
  SetState(State_Paused);
  return S_OK;
}

STDMETHODIMP CBaseFilter::Run(REFERENCE_TIME start) {
  CAutoLock lock(m_pLock);
  {
    CAutoLock info(&m_InfoLock);
    m_tStart = start;
  }
  if (m_State == State_Stopped) {
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
  }
  if (m_State != State_Running) {
    for (int i = 0; i < GetPinCount(); ++i) {
      CBasePin* pin = GetPin(i);
      if (!pin || !pin->IsConnected()) continue;
      HRESULT hr = pin->Run(start);
      if (FAILED(hr)) return hr;
    }
  }
  SetState(State_Running);
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
  if (!state) return E_POINTER;
  CAutoLock lock(&m_InfoLock);
  *state = m_State;
  return S_OK;
}

STDMETHODIMP CBaseFilter::SetSyncSource(IReferenceClock* clock) {
  CAutoLock lock(m_pLock);
  CAutoLock info(&m_InfoLock);
  m_pClock = clock;
  return S_OK;
}

STDMETHODIMP CBaseFilter::GetSyncSource(IReferenceClock** clock) {
  if (!clock) return E_POINTER;
  CAutoLock lock(&m_InfoLock);
  return m_pClock.CopyTo(clock);
}

// --- IBaseFilter ---

STDMETHODIMP CBaseFilter::EnumPins(IEnumPins** pins) {
  return NewStandalone<CEnumPins>(pins, this, nullptr);
}

STDMETHODIMP CBaseFilter::FindPin(LPCWSTR id, IPin** pin) {
  if (!id || !pin) return E_POINTER;
  *pin = nullptr;
  for (int i = 0; i < GetPinCount(); ++i) {
    CBasePin* candidate = GetPin(i);
    if (candidate && std::wcscmp(candidate->Name(), id) == 0) {
      *pin = candidate;
      candidate->AddRef();
      return S_OK;
    }
  }
  return VFW_E_NOT_FOUND;
}

STDMETHODIMP CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
  if (!info) return E_POINTER;
  CAutoLock lock(&m_InfoLock);
  // The name field is a fixed array: cut to fit, terminator included.
  const size_t length = std::min(m_pName.size(), size_t(MAX_FILTER_NAME - 1));
  m_pName.copy(info->achName, length);
  info->achName[length] = L'\0';
  info->pGraph = m_pGraph;
  if (m_pGraph) m_pGraph->AddRef();
  return S_OK;
}

STDMETHODIMP CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
  CAutoLock lock(m_pLock);
  CAutoLock info(&m_InfoLock);
  m_pGraph = graph;
  m_pSink = nullptr;
  if (graph) {
    // Kept without a reference, like the graph itself: it lives in the graph.
    IMediaEventSink* sink = nullptr;
    if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) && sink) {
      m_pSink = sink;
      sink->Release();
    }
  }
  try {
    m_pName = name ? name : L"";
  } catch (const std::bad_alloc&) {
    m_pName.clear();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

STDMETHODIMP CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

// --- IAMovieSetup ---

STDMETHODIMP CBaseFilter::Register() { return GetSetupData() ? E_NOTIMPL : S_FALSE; }

STDMETHODIMP CBaseFilter::Unregister() { return GetSetupData() ? E_NOTIMPL : S_FALSE; }
