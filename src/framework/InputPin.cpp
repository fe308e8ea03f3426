#include "framework/InputPin.h"

CBaseInputPin::CBaseInputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                             const wchar_t* pinName)
    : CBasePin(objectName, filter, lock, hr, pinName, PINDIR_INPUT) {}

STDMETHODIMP CBaseInputPin::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IMemInputPin)) return GetInterface(static_cast<IMemInputPin*>(this), out);
  return CBasePin::NonDelegatingQueryInterface(iid, out);
}

HRESULT CBaseInputPin::BreakConnect() {
  CAutoLock lock(m_pLock);
  m_pAllocator.Reset();
  return CBasePin::BreakConnect();
}

STDMETHODIMP CBaseInputPin::EndOfStream() { return S_OK; }
STDMETHODIMP CBaseInputPin::BeginFlush() { return S_OK; }
STDMETHODIMP CBaseInputPin::EndFlush() { return S_OK; }

STDMETHODIMP CBaseInputPin::GetAllocator(IMemAllocator** allocator) {
  if (!allocator) return E_POINTER;
  *allocator = nullptr;
  return VFW_E_NO_ALLOCATOR;
}

STDMETHODIMP CBaseInputPin::NotifyAllocator(IMemAllocator* allocator, BOOL) {
  if (!allocator) return E_POINTER;
  CAutoLock lock(m_pLock);
  m_pAllocator = allocator;
  return S_OK;
}

STDMETHODIMP CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) {
  return props ? E_NOTIMPL : E_POINTER;
}

STDMETHODIMP CBaseInputPin::ReceiveMultiple(IMediaSample** samples, long count, long* processed) {
  if (!samples || !processed) return E_POINTER;
  for (*processed = 0; *processed < count; ++*processed) {
    const HRESULT hr = Receive(samples[*processed]);
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

STDMETHODIMP CBaseInputPin::ReceiveCanBlock() { return S_FALSE; }

ComPtr<IMemAllocator> CBaseInputPin::Allocator() {
  CAutoLock lock(m_pLock);
  return m_pAllocator;
}
