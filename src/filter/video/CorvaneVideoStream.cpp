// The video pin's life: construction (offer, probe), destruction and the
// interfaces it answers.
#include "filter/video/CorvaneVideoStream.h"

#include <dshow.h>

#include <cmath>
#include <cstring>
#include <cwchar>
#include <new>

#include "base/Log.h"
#include "filter/video/IdleImage.h"
#include "framework/Source.h"
#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"
#include "settings/SettingsKeys.h"
#include "settings/ZentraSettings.h"
#include "transport/SharedVideo.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneVideoStream";
constexpr wchar_t kThreadFunction[] = L"CorvaneVideoStream::KAVOShared_ThreadProc";
constexpr double kFallbackFps = 30.0;
constexpr double kMaxFps = 1000.0;

}  // namespace

std::atomic<long> CorvaneVideoStream::s_Instances{0};

bool UsableFrameRate(double fps) { return std::isfinite(fps) && fps > 0.0 && fps <= kMaxFps; }

CorvaneVideoStream::CorvaneVideoStream(HRESULT* hr, CSource* filter, const wchar_t* pinName, UINT cameraIndex,
                                       const FilterEntry* entry, const CameraSite& site)
    : ChannelSourceStream(nullptr, hr, filter, pinName, kUnit, kThreadFunction, telvor::ChannelThread::kStartChannel,
                          telvor::ChannelThread::kStopChannel),
      m_CameraIndex(cameraIndex),
      m_pEntry(entry),
      m_Host(site.host),
      m_Paths(site.paths),
      m_Pacing(this, telvor::PhaseLock::MarginRule::kAdapts),
      m_Frames(this) {
  m_SkipsLateDeadlines = true;
  SetPacing(&m_Pacing);
  const long instances = ++s_Instances;
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::CorvaneVideoStream", this) << L" instances=" << instances;

  // A camera rate of 0 (or garbage) would give no frame duration at all;
  // 30 is what capture applications expect from a webcam.
  m_CameraFps = entry->fps;
  if (!UsableFrameRate(m_CameraFps)) {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::CorvaneVideoStream", this)
        << L"frame rate " << m_CameraFps << L" unusable, using " << kFallbackFps;
    m_CameraFps = kFallbackFps;
  }
  // Until GetScaleStyle or SetScaleStyle runs, the style the table read at load.
  m_Frames.SetScaleStyle(static_cast<UINT>(entry->scaleStyle));
  if (!m_Frames.Ready() && hr && SUCCEEDED(*hr)) *hr = E_OUTOFMEMORY;
  UseIdleImageSetting();

  ProbeChannelFrameRate();
  try {
    const std::wstring formatFile = settings::FormatFilePath(m_Paths->formatPath, cameraIndex);
    m_Offer = BuildVideoOffer(m_Host, *entry, m_CameraFps, m_SourceFrameRate, formatFile.c_str());
  } catch (const std::bad_alloc&) {
    if (hr && SUCCEEDED(*hr)) *hr = E_OUTOFMEMORY;
  }
  if (m_Offer.types.empty() && hr && SUCCEEDED(*hr)) *hr = E_FAIL;
}

CorvaneVideoStream::~CorvaneVideoStream() {
  const long instances = --s_Instances;
  TELVOR_TRACE_OBJ(kUnit, L"CorvaneVideoStream::~CorvaneVideoStream", this) << L" instances=" << instances;
  // A filter released while still running never got Inactive: end the
  // channel thread here, which deletes the channel on its own thread.
  StopChannelThread();
}

// The producer's rate, read once, so that hosts that get a rate-specific list
// (skype) see the rate they will receive. Read holding the producer's mutex:
// a 32-bit process copies the 8 bytes in two halves, and a producer opening
// the channel anew meanwhile would leave it half old, half new. A producer
// that keeps the mutex longer than that leaves the camera's own rate.
void CorvaneVideoStream::ProbeChannelFrameRate() {
  constexpr DWORD kProbeWaitMs = 100;
  telvor::SharedVideo probe;
  probe.index = static_cast<std::int32_t>(m_CameraIndex);
  if (!probe.Create()) return;
  const telvor::SharedChannel::SlotHold hold = probe.LockSlots(kProbeWaitMs);
  if (hold != telvor::SharedChannel::SlotHold::kNone && probe.ViewSize() >= sizeof(telvor::SlotHeader)) {
    double fps;
    std::memcpy(&fps, probe.View() + offsetof(telvor::SlotHeader, video_frame_rate), sizeof(fps));
    if (UsableFrameRate(fps)) m_SourceFrameRate = fps;
  }
  probe.UnlockSlots(hold);
  probe.Close();
}

// Only the name is read here: decoding waits for the first output format,
// so hosts that merely list the camera never pay for it.
void CorvaneVideoStream::UseIdleImageSetting() {
  wchar_t setting[kConfigTextChars] = {};
  GetConfigString(m_Paths->iniPath, CameraKey(settings::kIdleImage).c_str(), L"", setting);
  if (!setting[0]) return;
  try {
    m_Frames.SetIdleImage(static_cast<int>(m_CameraIndex), IdleImagePath(setting, m_Paths->folder));
  } catch (const std::bad_alloc&) {
    TELVOR_ERROR_OBJ(kUnit, L"CorvaneVideoStream::UseIdleImageSetting", this)
        << L"no memory for the idle picture's name, black instead";
  }
}

std::wstring CorvaneVideoStream::CameraKey(const wchar_t* pattern) const {
  return settings::CameraKey(pattern, static_cast<int>(m_CameraIndex));
}

STDMETHODIMP CorvaneVideoStream::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IAMStreamConfig) return GetInterface(static_cast<IAMStreamConfig*>(this), out);
  if (iid == IID_IKsPropertySet) return GetInterface(static_cast<IKsPropertySet*>(this), out);
  if (iid == IID_ICorvaneVideoStream) return GetInterface(static_cast<ICorvaneVideoStream*>(this), out);
  // Capture-graph programs look for the camera's page on the pin as well.
  if (iid == IID_ISpecifyPropertyPages) return GetInterface(static_cast<ISpecifyPropertyPages*>(this), out);
  return ChannelSourceStream::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP CorvaneVideoStream::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }
