// Interfaces a test implements by hand. The objects live on the test's stack
// and only count their references, so a test can check that whatever took a
// reference gave it back.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace telvor::test {

template <typename Interface, const IID* Iid>
class FakeUnknown : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, *Iid)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs); }
  STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--refs); }

  long refs = 1;
};

// A property frame's side of a page: counts status changes.
class FakePageSite : public FakeUnknown<IPropertyPageSite, &IID_IPropertyPageSite> {
 public:
  STDMETHODIMP OnStatusChange(DWORD flags) override { return lastStatus = flags, ++statusChanges, S_OK; }
  STDMETHODIMP GetLocaleID(LCID* locale) override { return *locale = LOCALE_USER_DEFAULT, S_OK; }
  STDMETHODIMP GetPageContainer(IUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

  DWORD lastStatus = 0;
  int statusChanges = 0;
};

}  // namespace telvor::test
