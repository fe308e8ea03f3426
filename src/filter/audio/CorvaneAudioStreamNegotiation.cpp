// How many and how large the audio pin's buffers are: its own choice, or
// what an application suggested through IAMBufferNegotiation.
#include <algorithm>

#include "base/Log.h"
#include "filter/audio/CorvaneAudioStream.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneAudioStream";

// A suggestion within [low, high], or `fallback` when there is none.
long Honoured(long suggested, long low, long high, long fallback) {
  return suggested > 0 ? std::clamp(suggested, low, high) : fallback;
}

}  // namespace

STDMETHODIMP CorvaneAudioStream::SuggestAllocatorProperties(const ALLOCATOR_PROPERTIES* properties) {
  if (!properties) return E_POINTER;
  CAutoLock lock(m_pFilter->pStateLock());
  if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
  CAutoLock info(m_pFilter->pInfoLock());
  m_Suggested = *properties;
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::SuggestAllocatorProperties", this)
      << L" buffers=" << properties->cBuffers << L" bytes=" << properties->cbBuffer;
  return S_OK;
}

STDMETHODIMP CorvaneAudioStream::GetAllocatorProperties(ALLOCATOR_PROPERTIES* properties) {
  if (!properties) return E_POINTER;
  CAutoLock info(m_pFilter->pInfoLock());
  if (!IsConnected()) return VFW_E_NOT_CONNECTED;
  *properties = m_Granted;
  return S_OK;
}

HRESULT CorvaneAudioStream::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
  if (!allocator || !request) return E_POINTER;
  ALLOCATOR_PROPERTIES suggested;
  {
    CAutoLock info(m_pFilter->pInfoLock());
    suggested = m_Suggested;
  }
  const long frameBytes = std::max<long>(m_Connected.nBlockAlign, 1);
  const long bytes = Honoured(suggested.cbBuffer, kMinBufferBytes, kBufferSize, kBufferSize);
  request->cbBuffer = std::max(bytes / frameBytes * frameBytes, frameBytes);
  request->cBuffers = Honoured(suggested.cBuffers, kMinBufferCount, kMaxBufferCount, kBufferCount);
  request->cbAlign = suggested.cbAlign > 0 ? suggested.cbAlign : 1;
  request->cbPrefix = suggested.cbPrefix >= 0 ? suggested.cbPrefix : 0;
  ALLOCATOR_PROPERTIES granted = {};
  HRESULT hr = allocator->SetProperties(request, &granted);
  if (FAILED(hr)) return hr;
  if (granted.cbBuffer < request->cbBuffer) return E_FAIL;
  m_BufferBytes = request->cbBuffer;
  CAutoLock info(m_pFilter->pInfoLock());
  m_Granted = granted;
  return S_OK;
}
