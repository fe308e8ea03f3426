// The graph's clock as a test wants it: the system clock moved by a shift
// the test can change at any moment (a machine waking from sleep jumps
// ahead), and optionally refusing every deadline a stream asks for.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <uuids.h>

#include <atomic>

#include "framework/ComPtr.h"

namespace telvor::test {

class ShiftedClock : public IReferenceClock {
 public:
  static ComPtr<ShiftedClock> Create() {
    ComPtr<ShiftedClock> clock(new ShiftedClock);
    CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock, clock->inner_.PutVoid());
    return clock->inner_ ? clock : ComPtr<ShiftedClock>();
  }
  std::atomic<REFERENCE_TIME> shift{0};
  std::atomic<bool> refuse_deadlines{false};

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IReferenceClock) return *out = nullptr, E_NOINTERFACE;
    *out = static_cast<IReferenceClock*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP GetTime(REFERENCE_TIME* time) override {
    const HRESULT hr = inner_->GetTime(time);
    if (SUCCEEDED(hr)) *time += shift;
    return hr;
  }
  STDMETHODIMP AdviseTime(REFERENCE_TIME base, REFERENCE_TIME stream, HEVENT event, DWORD_PTR* cookie) override {
    if (refuse_deadlines) return E_FAIL;
    return inner_->AdviseTime(base - shift, stream, event, cookie);
  }
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override { return E_NOTIMPL; }
  STDMETHODIMP Unadvise(DWORD_PTR cookie) override { return inner_->Unadvise(cookie); }

 private:
  ShiftedClock() = default;
  virtual ~ShiftedClock() = default;
  std::atomic<ULONG> references_{0};
  ComPtr<IReferenceClock> inner_;
};

}  // namespace telvor::test
