#include "framework/Unknown.h"

namespace {
volatile LONG g_objectsActive = 0;
}

CBaseObject::CBaseObject(const wchar_t* name) : m_pName(name) { InterlockedIncrement(&g_objectsActive); }

CBaseObject::~CBaseObject() { InterlockedDecrement(&g_objectsActive); }

LONG CBaseObject::ObjectsActive() { return InterlockedCompareExchange(&g_objectsActive, 0, 0); }

CUnknown::CUnknown(const wchar_t* name, LPUNKNOWN outer, HRESULT*)
    : CBaseObject(name),
      // Not aggregated: our own inner unknown answers for us. Its slots line up
      // with IUnknown's, which is what lets an outer object hold it too.
      m_pUnknown(outer ? outer : reinterpret_cast<LPUNKNOWN>(static_cast<INonDelegatingUnknown*>(this))) {}

CUnknown::~CUnknown() = default;

STDMETHODIMP CUnknown::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    return GetInterface(reinterpret_cast<LPUNKNOWN>(static_cast<INonDelegatingUnknown*>(this)), out);
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CUnknown::NonDelegatingRelease() {
  LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) {
    // A destructor that hands out and drops a reference to this object
    // (a pin releasing its filter, say) must not start a second delete.
    m_cRef = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

HRESULT GetInterface(LPUNKNOWN unknown, void** out) {
  if (!out) return E_POINTER;
  *out = unknown;
  unknown->AddRef();
  return S_OK;
}
