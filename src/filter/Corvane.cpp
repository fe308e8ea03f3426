#include "filter/Corvane.h"

#include <dshow.h>

#include <algorithm>
#include <new>
#include <vector>

#include "base/Log.h"
#include "filter/audio/CorvaneAudioStream.h"
#include "filter/video/CorvaneVideoStream.h"
#include "filter/video/ICorvaneVideoStream.h"

namespace {

constexpr wchar_t kUnit[] = L"Corvane";

// The process-wide list. Filters are created and released on any thread, so
// it has a lock of its own; detach takes a filter off under the lock but
// releases it outside, because the release may run the destructor, which
// takes the lock again.
class LiveFilters {
 public:
  void Add(Corvane* filter) {
    CAutoLock lock(&lock_);
    filters_.push_back(filter);
  }
  void Remove(Corvane* filter) {
    CAutoLock lock(&lock_);
    auto found = std::find(filters_.begin(), filters_.end(), filter);
    if (found != filters_.end()) filters_.erase(found);
  }
  Corvane* TakeLast() {
    CAutoLock lock(&lock_);
    if (filters_.empty()) return nullptr;
    Corvane* last = filters_.back();
    filters_.pop_back();
    return last;
  }
  int Count() {
    CAutoLock lock(&lock_);
    return static_cast<int>(filters_.size());
  }

 private:
  CCritSec lock_;
  std::vector<Corvane*> filters_;
};

LiveFilters& Live() {
  static LiveFilters live;
  return live;
}

}  // namespace

int LiveCameraFilterCount() { return Live().Count(); }

void ReleaseLiveCameraFilters() {
  while (Corvane* filter = Live().TakeLast()) static_cast<IBaseFilter*>(filter)->Release();
}

Corvane::Corvane(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry,
                 const CameraSite& site, HRESULT* hr)
    : CSource(nullptr, outer, entry->clsid, hr), m_CameraIndex(cameraIndex), m_pEntry(entry), m_MediaKind(mediaKind) {
  TELVOR_TRACE_OBJ(kUnit, L"Corvane::Corvane", this);
  CSourceStream* pin = nullptr;
  if (mediaKind == MEDIATYPE_Video) {
    pin = new (std::nothrow) CorvaneVideoStream(hr, this, entry->videoPinName, cameraIndex, entry, site);
    if (!pin) *hr = E_OUTOFMEMORY;
  } else if (mediaKind == MEDIATYPE_Audio) {
    pin = new (std::nothrow) CorvaneAudioStream(hr, this, entry->audioPinName, static_cast<int>(cameraIndex), entry);
    if (!pin) *hr = E_OUTOFMEMORY;
  } else {
    *hr = E_NOTIMPL;
    return;
  }
  if (SUCCEEDED(*hr)) {
    Live().Add(this);
  } else if (pin) {
    delete pin;  // takes itself out of the pin array
  }
}

Corvane::~Corvane() {
  TELVOR_TRACE_OBJ(kUnit, L"Corvane::~Corvane", this);
  Live().Remove(this);
}

STDMETHODIMP Corvane::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (iid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), out);
  // The pin's own interfaces, when the pin has them (the audio pin has neither).
  CBasePin* pin = m_iPins > 0 ? GetPin(0) : nullptr;
  if (iid == IID_ISpecifyPropertyPages) {
    if (auto* pages = dynamic_cast<ISpecifyPropertyPages*>(pin)) return GetInterface(pages, out);
  } else if (iid == IID_ICorvaneVideoStream) {
    if (auto* control = dynamic_cast<ICorvaneVideoStream*>(pin)) return GetInterface(control, out);
  }
  return CSource::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP Corvane::Stop() {
  TELVOR_TRACE_OBJ(kUnit, L"Corvane::Stop", this);
  return CSource::Stop();
}

STDMETHODIMP Corvane::Pause() {
  TELVOR_TRACE_OBJ(kUnit, L"Corvane::Pause", this);
  return CSource::Pause();
}

STDMETHODIMP Corvane::Run(REFERENCE_TIME start) {
  TELVOR_TRACE_OBJ(kUnit, L"Corvane::Run", this);
  return CSource::Run(start);
}

STDMETHODIMP_(ULONG) Corvane::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }
