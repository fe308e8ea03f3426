#include "framework/EnumPins.h"

#include <algorithm>
#include <new>

#include "framework/BaseFilter.h"
#include "framework/BasePin.h"

CEnumPins::CEnumPins(CBaseFilter* filter, const CEnumPins* copyFrom)
    : CStandaloneUnknown(L"Pin enumerator"), m_pFilter(filter) {
  m_pFilter->AddRef();
  if (copyFrom) {
    m_Position = copyFrom->m_Position;
    m_PinCount = copyFrom->m_PinCount;
    m_Version = copyFrom->m_Version;
    try {
      m_Returned = copyFrom->m_Returned;
    } catch (const std::bad_alloc&) {
      // A clone that forgot what was returned restarts cleanly instead.
      m_Returned.clear();
      m_Position = 0;
    }
  } else {
    m_Version = m_pFilter->GetPinVersion();
    m_PinCount = m_pFilter->GetPinCount();
  }
}

CEnumPins::~CEnumPins() { m_pFilter->Release(); }

// --- walking ---

void CEnumPins::Resynchronise() {
  const LONG version = m_pFilter->GetPinVersion();
  if (version == m_Version) return;
  m_Version = version;
  m_PinCount = m_pFilter->GetPinCount();
  m_Position = 0;
}

CBasePin* CEnumPins::Advance() {
  while (m_Position < m_PinCount) {
    CBasePin* pin = m_pFilter->GetPin(m_Position++);
    if (!pin) continue;
    if (std::find(m_Returned.begin(), m_Returned.end(), pin) != m_Returned.end()) continue;
    try {
      m_Returned.push_back(pin);
    } catch (const std::bad_alloc&) {
      --m_Position;
      return nullptr;
    }
    return pin;
  }
  return nullptr;
}

// --- IEnumPins ---

STDMETHODIMP CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
  if (!pins) return E_POINTER;
  if (!fetched && count != 1) return E_INVALIDARG;
  CAutoLock lock(m_pFilter->pInfoLock());
  Resynchronise();
  ULONG returned = 0;
  while (returned < count) {
    CBasePin* pin = Advance();
    if (!pin) break;
    pin->AddRef();
    pins[returned++] = pin;
  }
  if (fetched) *fetched = returned;
  return returned == count ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumPins::Skip(ULONG count) {
  CAutoLock lock(m_pFilter->pInfoLock());
  Resynchronise();
  for (ULONG i = 0; i < count; ++i) {
    if (!Advance()) return S_FALSE;
  }
  return S_OK;
}

STDMETHODIMP CEnumPins::Reset() {
  CAutoLock lock(m_pFilter->pInfoLock());
  m_Version = m_pFilter->GetPinVersion();
  m_PinCount = m_pFilter->GetPinCount();
  m_Position = 0;
  m_Returned.clear();
  return S_OK;
}

STDMETHODIMP CEnumPins::Clone(IEnumPins** clone) {
  CAutoLock lock(m_pFilter->pInfoLock());
  return NewStandalone<CEnumPins>(clone, m_pFilter, this);
}
