// Construction, interfaces and media-type negotiation of the audio pin.
#include "filter/audio/CorvaneAudioStream.h"

#include <uuids.h>

#include <cstring>

#include "base/Log.h"
#include "transport/SharedAudio.h"

namespace {
constexpr wchar_t kUnit[] = L"CorvaneAudioStream";
constexpr wchar_t kThreadFunction[] = L"CorvaneAudioStream::KAVOShared_ThreadProc";
}  // namespace

std::atomic<long> CorvaneAudioStream::s_Instances{0};

CorvaneAudioStream::CorvaneAudioStream(HRESULT* hr, CSource* filter, const wchar_t* pinName, int cameraIndex,
                                       const FilterEntry* entry)
    : ChannelSourceStream(L"CorvaneAudioStream", hr, filter, pinName, kUnit, kThreadFunction, kStartChannel,
                          kStopChannel),
      m_CameraIndex(cameraIndex),
      m_pEntry(entry),
      m_Connected(telvor::MakePcmFormat(m_Channels, m_BitsPerSample, m_SamplesPerSecond)) {
  SetPacing(&m_Pacing);
  HRESULT built = telvor::BuildAudioType(m_Connected, &m_OfferedType);
  if (FAILED(built) && hr && SUCCEEDED(*hr)) *hr = built;
  const long count = ++s_Instances;
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::CorvaneAudioStream", this) << L" instances=" << count;
}

CorvaneAudioStream::~CorvaneAudioStream() {
  const long count = --s_Instances;
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::~CorvaneAudioStream", this) << L" instances=" << count;
  // A filter released while still running never got Inactive: end the
  // channel thread here, which deletes the channel on its own thread.
  StopChannelThread();
}

STDMETHODIMP CorvaneAudioStream::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IAMStreamConfig) return GetInterface(static_cast<IAMStreamConfig*>(this), out);
  if (iid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet*>(this), out);
  if (iid == IID_IAMBufferNegotiation) return GetInterface(static_cast<IAMBufferNegotiation*>(this), out);
  return ChannelSourceStream::NonDelegatingQueryInterface(iid, out);
}

// --- negotiation ---

HRESULT CorvaneAudioStream::CheckMediaType(const CMediaType* type) {
  if (!type) return E_POINTER;
  CAutoLock lock(m_pFilter->pInfoLock());
  return m_OfferedType == *type ? S_OK : S_FALSE;
}

// The framework's list offers this one type, under the state lock.
HRESULT CorvaneAudioStream::GetMediaType(CMediaType* type) { return type->Set(m_OfferedType); }

HRESULT CorvaneAudioStream::SetMediaType(const CMediaType* type) {
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneAudioStream::SetMediaType", this);
  HRESULT hr = CSourceStream::SetMediaType(type);
  if (SUCCEEDED(hr) && type->formattype == FORMAT_WaveFormatEx && type->pbFormat &&
      type->cbFormat >= sizeof(WAVEFORMATEX)) {
    std::memcpy(&m_Connected, type->pbFormat, sizeof(WAVEFORMATEX));
  }
  return hr;
}

