// IAMStreamConfig of the audio pin: one capability, one acceptable format.
#include "filter/audio/CorvaneAudioStream.h"

#include <cstring>

#include "base/Log.h"

namespace {
constexpr wchar_t kUnit[] = L"CorvaneAudioStream";
}

STDMETHODIMP CorvaneAudioStream::SetFormat(AM_MEDIA_TYPE* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::SetFormat", this);
  // Nothing to change: the only format a caller may set is the one offered.
  return m_OfferedType == *type ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CorvaneAudioStream::GetFormat(AM_MEDIA_TYPE** type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::GetFormat", this);
  *type = CreateMediaType(&m_OfferedType);
  return *type ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CorvaneAudioStream::GetNumberOfCapabilities(int* count, int* size) {
  if (!count || !size) return E_POINTER;
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::GetNumberOfCapabilities", this);
  *count = 1;
  *size = sizeof(AUDIO_STREAM_CONFIG_CAPS);
  return S_OK;
}

STDMETHODIMP CorvaneAudioStream::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
  if (!type || !caps) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  if (index >= 1) return S_FALSE;
  *type = CreateMediaType(&m_OfferedType);
  if (!*type) return E_OUTOFMEMORY;
  WAVEFORMATEX wave;
  std::memcpy(&wave, m_OfferedType.Format(), sizeof(wave));
  AUDIO_STREAM_CONFIG_CAPS filled;
  telvor::FillAudioCaps(wave, &filled);
  // The caller's bytes need not be aligned for the record.
  std::memcpy(caps, &filled, sizeof(filled));
  return S_OK;
}
