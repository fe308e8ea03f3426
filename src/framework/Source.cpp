#include "framework/Source.h"

#include <algorithm>
#include <new>

#include "framework/SourceStream.h"

#include <vfwmsgs.h>

CSource::CSource(const wchar_t* objectName, LPUNKNOWN outer, REFCLSID clsid, HRESULT* hr)
    : CBaseFilter(objectName, outer, &m_cStateLock, clsid, hr) {}

CSource::~CSource() {
  // A host that drops its last reference without stopping must not leave a
  // streaming thread running in a pin that is about to be deleted.
  if (!IsStopped()) CBaseFilter::Stop();
  while (!m_paStreams.empty()) delete m_paStreams.back();  // each removes itself
}

STDMETHODIMP CSource::GetState(DWORD timeoutMs, FILTER_STATE* state) {
  const HRESULT hr = CBaseFilter::GetState(timeoutMs, state);
  return hr == S_OK && *state == State_Paused ? VFW_S_CANT_CUE : hr;
}

int CSource::GetPinCount() {
  CAutoLock lock(&m_InfoLock);
  return m_iPins;
}

CBasePin* CSource::GetPin(int n) {
  CAutoLock lock(&m_InfoLock);
  if (n < 0 || n >= m_iPins) return nullptr;
  return m_paStreams[static_cast<size_t>(n)];
}

HRESULT CSource::AddPin(CSourceStream* pin) {
  CAutoLock lock(&m_InfoLock);
  try {
    m_paStreams.push_back(pin);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  m_iPins = static_cast<int>(m_paStreams.size());
  IncrementPinVersion();
  return S_OK;
}

HRESULT CSource::RemovePin(CSourceStream* pin) {
  CAutoLock lock(&m_InfoLock);
  auto found = std::find(m_paStreams.begin(), m_paStreams.end(), pin);
  if (found == m_paStreams.end()) return S_FALSE;
  m_paStreams.erase(found);
  m_iPins = static_cast<int>(m_paStreams.size());
  IncrementPinVersion();
  return S_OK;
}

int CSource::FindPinNumber(IPin* pin) {
  CAutoLock lock(&m_InfoLock);
  for (int i = 0; i < m_iPins; ++i) {
    if (static_cast<IPin*>(m_paStreams[static_cast<size_t>(i)]) == pin) return i;
  }
  return -1;
}
