#include "framework/OutputPin.h"

#include <uuids.h>

CBaseOutputPin::CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                               const wchar_t* pinName)
    : CBasePin(objectName, filter, lock, hr, pinName, PINDIR_OUTPUT) {}

CBaseOutputPin::~CBaseOutputPin() = default;

// --- connection hooks ---

HRESULT CBaseOutputPin::CheckConnect(IPin* pin) {
  HRESULT hr = CBasePin::CheckConnect(pin);
  if (FAILED(hr)) return hr;
  hr = pin->QueryInterface(IID_IMemInputPin, m_pInputPin.PutVoid());
  return FAILED(hr) ? E_NOINTERFACE : S_OK;
}

HRESULT CBaseOutputPin::BreakConnect() {
  if (m_pAllocator) {
    m_pAllocator->Decommit();
    m_pLastAllocator = std::move(m_pAllocator);
    m_pLastPeer = m_Connected.Get();
  }
  m_pInputPin.Reset();
  return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin* receivePin) {
  if (!m_pInputPin) return E_UNEXPECTED;
  ComPtr<IMemAllocator> allocator;
  HRESULT hr = E_FAIL;
  // Back on the pin it left (IFilterGraph::Reconnect, which SetFormat on a
  // connected pin runs), the allocator of before comes first: a filter may
  // have handed it to its own outputs when they connected, and it does not
  // hand them a new one (Wine's Smart Tee copies each sample into a buffer
  // from it). A new allocator would leave them one that nobody commits.
  if (m_pLastAllocator && receivePin == m_pLastPeer) {
    hr = OfferAllocator(m_pInputPin.Get(), m_pLastAllocator.Get());
    if (SUCCEEDED(hr)) allocator = m_pLastAllocator;
  }
  m_pLastAllocator.Reset();
  m_pLastPeer = nullptr;
  if (FAILED(hr)) hr = DecideAllocator(m_pInputPin.Get(), allocator.Put());
  if (FAILED(hr)) return hr;
  m_pAllocator = std::move(allocator);
  return S_OK;
}

// Sizes `allocator` for this pin and tells the downstream pin about it.
HRESULT CBaseOutputPin::OfferAllocator(IMemInputPin* pin, IMemAllocator* allocator) {
  // Requirements are advisory: a pin that has none answers E_NOTIMPL.
  ALLOCATOR_PROPERTIES request = {};
  pin->GetAllocatorRequirements(&request);
  if (request.cbAlign == 0) request.cbAlign = 1;
  HRESULT hr = DecideBufferSize(allocator, &request);
  if (FAILED(hr)) return hr;
  return pin->NotifyAllocator(allocator, FALSE);
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator) {
  if (!pin || !allocator) return E_POINTER;
  *allocator = nullptr;
  ComPtr<IMemAllocator> candidate;
  HRESULT hr = pin->GetAllocator(candidate.Put());
  if (SUCCEEDED(hr) && candidate) {
    hr = OfferAllocator(pin, candidate.Get());
    if (SUCCEEDED(hr)) {
      *allocator = candidate.Detach();
      return S_OK;
    }
  }
  candidate.Reset();
  hr = InitAllocator(candidate.Put());
  if (FAILED(hr)) return hr;
  hr = OfferAllocator(pin, candidate.Get());
  if (FAILED(hr)) return hr;
  *allocator = candidate.Detach();
  return S_OK;
}

HRESULT CBaseOutputPin::InitAllocator(IMemAllocator** allocator) {
  return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                          reinterpret_cast<void**>(allocator));
}

// --- state hooks ---

HRESULT CBaseOutputPin::Active() {
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive() {
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->Decommit();
}

// --- delivery ---

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                          DWORD flags) {
  if (!sample) return E_POINTER;
  *sample = nullptr;
  if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
  return m_pAllocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* sample) {
  if (!m_pInputPin) return VFW_E_NOT_CONNECTED;
  return m_pInputPin->Receive(sample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream() {
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  return m_Connected->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush() {
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  return m_Connected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush() {
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  return m_Connected->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
  if (!m_Connected) return VFW_E_NOT_CONNECTED;
  return m_Connected->NewSegment(start, stop, rate);
}

// --- IPin ---

STDMETHODIMP CBaseOutputPin::EndOfStream() { return E_UNEXPECTED; }

STDMETHODIMP CBaseOutputPin::BeginFlush() { return E_UNEXPECTED; }

STDMETHODIMP CBaseOutputPin::EndFlush() { return E_UNEXPECTED; }
