#include "framework/BasePin.h"

#include <algorithm>
#include <new>
#include <utility>

#include "framework/BaseFilter.h"
#include "framework/EnumMediaTypes.h"

namespace {

// Failures that only say "not this type"; anything else is worth reporting
// after every type has been tried.
bool IsTypeRefusal(HRESULT hr) {
  return hr == VFW_E_TYPE_NOT_ACCEPTED || hr == E_FAIL || hr == VFW_E_NO_ACCEPTABLE_TYPES;
}

}  // namespace

CBasePin::CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                   const wchar_t* pinName, PIN_DIRECTION direction)
    : CUnknown(objectName, nullptr, hr), m_dir(direction), m_pFilter(filter), m_pLock(lock) {
  try {
    m_pName = pinName ? pinName : L"";
  } catch (const std::bad_alloc&) {
    if (hr && SUCCEEDED(*hr)) *hr = E_OUTOFMEMORY;
  }
}

CBasePin::~CBasePin() = default;

STDMETHODIMP CBasePin::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IPin)) return GetInterface(static_cast<IPin*>(this), out);
  if (IsEqualIID(iid, IID_IQualityControl)) return GetInterface(static_cast<IQualityControl*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingAddRef() { return m_pFilter->AddRef(); }

STDMETHODIMP_(ULONG) CBasePin::NonDelegatingRelease() { return m_pFilter->Release(); }

// --- hooks ---

LONG CBasePin::GetMediaTypeVersion() { return InterlockedCompareExchange(&m_TypeVersion, 0, 0); }

void CBasePin::IncrementTypeVersion() { InterlockedIncrement(&m_TypeVersion); }

HRESULT CBasePin::Active() { return S_OK; }

HRESULT CBasePin::Inactive() { return S_OK; }

HRESULT CBasePin::Run(REFERENCE_TIME) { return S_OK; }

HRESULT CBasePin::Suspend() { return S_OK; }

HRESULT CBasePin::SetMediaType(const CMediaType* type) {
  CAutoLock info(m_pFilter->pInfoLock());
  return m_mt.Set(*type);
}

HRESULT CBasePin::CheckConnect(IPin* pin) {
  PIN_DIRECTION theirs;
  HRESULT hr = pin->QueryDirection(&theirs);
  if (FAILED(hr)) return hr;
  return theirs == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect() { return S_OK; }

HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }

HRESULT CBasePin::GetMediaType(int position, CMediaType*) {
  return position < 0 ? E_INVALIDARG : VFW_S_NO_MORE_ITEMS;
}

bool CBasePin::IsStopped() { return m_pFilter->IsStopped(); }

// --- connection ---

STDMETHODIMP CBasePin::Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) {
  if (!receivePin) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  return AgreeMediaType(receivePin, type);
}

HRESULT CBasePin::AgreeMediaType(IPin* receivePin, const AM_MEDIA_TYPE* partial) {
  if (partial && CMediaType::IsFullySpecified(*partial)) {
    CMediaType type;
    HRESULT hr = type.Set(*partial);
    return FAILED(hr) ? hr : AttemptConnection(receivePin, type);
  }
  HRESULT firstFailure = S_OK;
  ComPtr<IEnumMediaTypes> theirs;
  if (SUCCEEDED(receivePin->EnumMediaTypes(theirs.Put())) && theirs) {
    HRESULT hr = TryMediaTypes(receivePin, partial, theirs.Get());
    if (SUCCEEDED(hr)) return hr;
    if (!IsTypeRefusal(hr)) firstFailure = hr;
  }
  HRESULT hr = TryOwnMediaTypes(receivePin, partial);
  if (SUCCEEDED(hr)) return hr;
  if (SUCCEEDED(firstFailure) && !IsTypeRefusal(hr)) firstFailure = hr;
  return FAILED(firstFailure) ? firstFailure : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::TryMediaTypes(IPin* receivePin, const AM_MEDIA_TYPE* partial, IEnumMediaTypes* types) {
  HRESULT firstFailure = S_OK;
  for (;;) {
    AM_MEDIA_TYPE* offered = nullptr;
    ULONG fetched = 0;
    if (types->Next(1, &offered, &fetched) != S_OK || fetched != 1 || !offered) {
      DeleteMediaType(offered);
      break;
    }
    CMediaType type;
    HRESULT hr = type.Set(*offered);
    DeleteMediaType(offered);
    if (FAILED(hr)) return hr;
    if (partial && !type.MatchesPartial(*partial)) continue;
    hr = AttemptConnection(receivePin, type);
    if (SUCCEEDED(hr)) return hr;
    if (SUCCEEDED(firstFailure) && !IsTypeRefusal(hr)) firstFailure = hr;
  }
  return FAILED(firstFailure) ? firstFailure : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::TryOwnMediaTypes(IPin* receivePin, const AM_MEDIA_TYPE* partial) {
  HRESULT firstFailure = S_OK;
  for (int position = 0;; ++position) {
    CMediaType type;
    if (GetMediaType(position, &type) != S_OK) break;
    if (partial && !type.MatchesPartial(*partial)) continue;
    HRESULT hr = AttemptConnection(receivePin, type);
    if (SUCCEEDED(hr)) return hr;
    if (SUCCEEDED(firstFailure) && !IsTypeRefusal(hr)) firstFailure = hr;
  }
  return FAILED(firstFailure) ? firstFailure : VFW_E_NO_ACCEPTABLE_TYPES;
}

HRESULT CBasePin::CheckTypeExactly(const CMediaType& type) {
  HRESULT hr = CheckMediaType(&type);
  if (hr == S_OK) return S_OK;
  // Only a plain "yes" connects; vague refusals get the one code hosts know.
  if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG) return VFW_E_TYPE_NOT_ACCEPTED;
  return hr;
}

HRESULT CBasePin::TakeConnection(IPin* other, const CMediaType& type) {
  HRESULT hr = CheckConnect(other);
  if (SUCCEEDED(hr)) hr = CheckTypeExactly(type);
  if (FAILED(hr)) {
    BreakConnect();
    return hr;
  }
  {
    CAutoLock info(m_pFilter->pInfoLock());
    m_Connected = other;
  }
  hr = SetMediaType(&type);
  if (FAILED(hr)) ForgetConnection();
  return hr;
}

HRESULT CBasePin::AttemptConnection(IPin* receivePin, const CMediaType& type) {
  HRESULT hr = TakeConnection(receivePin, type);
  if (FAILED(hr)) return hr;
  hr = receivePin->ReceiveConnection(this, &type);
  if (SUCCEEDED(hr)) {
    hr = CompleteConnect(receivePin);
    if (SUCCEEDED(hr)) return S_OK;
    receivePin->Disconnect();
  }
  ForgetConnection();
  return hr;
}

STDMETHODIMP CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
  if (!connector || !type) return E_POINTER;
  CAutoLock lock(m_pLock);
  if (m_Connected) return VFW_E_ALREADY_CONNECTED;
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  CMediaType offered;
  HRESULT hr = offered.Set(*type);
  return FAILED(hr) ? hr : AcceptConnection(connector, offered);
}

HRESULT CBasePin::AcceptConnection(IPin* connector, const CMediaType& type) {
  HRESULT hr = TakeConnection(connector, type);
  if (FAILED(hr)) return hr;
  hr = CompleteConnect(connector);
  if (SUCCEEDED(hr)) return S_OK;
  ForgetConnection();
  return hr;
}

void CBasePin::ForgetConnection() {
  BreakConnect();
  ComPtr<IPin> peer;
  {
    CAutoLock info(m_pFilter->pInfoLock());
    peer = std::move(m_Connected);
  }
  // Released outside the lock: the last reference may run the peer's filter down.
}

STDMETHODIMP CBasePin::Disconnect() {
  CAutoLock lock(m_pLock);
  if (!IsStopped()) return VFW_E_NOT_STOPPED;
  if (!m_Connected) return S_FALSE;
  ForgetConnection();
  return S_OK;
}

// --- IPin queries ---

STDMETHODIMP CBasePin::ConnectedTo(IPin** pin) {
  if (!pin) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  *pin = nullptr;
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  return m_Connected.CopyTo(pin);
}

STDMETHODIMP CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  if (!m_Connected) {
    *type = AM_MEDIA_TYPE();
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(type, &m_mt);
}

STDMETHODIMP CBasePin::QueryPinInfo(PIN_INFO* info) {
  if (!info) return E_POINTER;
  info->pFilter = m_pFilter;
  m_pFilter->AddRef();
  const size_t length = std::min(m_pName.size(), size_t(MAX_PIN_NAME - 1));
  m_pName.copy(info->achName, length);
  info->achName[length] = L'\0';
  info->dir = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryDirection(PIN_DIRECTION* direction) {
  if (!direction) return E_POINTER;
  *direction = m_dir;
  return S_OK;
}

STDMETHODIMP CBasePin::QueryId(LPWSTR* id) {
  if (!id) return E_POINTER;
  const size_t bytes = (m_pName.size() + 1) * sizeof(wchar_t);
  *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
  if (!*id) return E_OUTOFMEMORY;
  std::copy(m_pName.c_str(), m_pName.c_str() + m_pName.size() + 1, *id);
  return S_OK;
}

STDMETHODIMP CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  CMediaType candidate;
  if (FAILED(candidate.Set(*type))) return S_FALSE;
  HRESULT hr = CheckMediaType(&candidate);
  return FAILED(hr) ? S_FALSE : hr;
}

STDMETHODIMP CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
  return NewStandalone<CEnumMediaTypes>(types, this, nullptr);
}

STDMETHODIMP CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  m_tStart = start;
  m_tStop = stop;
  m_dRate = rate;
  return S_OK;
}

// --- IQualityControl ---

STDMETHODIMP CBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

STDMETHODIMP CBasePin::SetSink(IQualityControl* sink) {
  CAutoLock lock(m_pLock);
  m_pQSink = sink;
  return S_OK;
}
