#include "framework/ClassFactory.h"

namespace {
volatile LONG g_serverLocks = 0;
}

CClassFactory::CClassFactory(const CFactoryTemplate* factoryTemplate)
    : CStandaloneUnknown(L"Class factory"), m_pTemplate(factoryTemplate) {}

CClassFactory::~CClassFactory() = default;

// --- IClassFactory ---

STDMETHODIMP CClassFactory::CreateInstance(LPUNKNOWN outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;

  HRESULT hr = S_OK;
  CUnknown* object = m_pTemplate->CreateInstance(outer, &hr);
  if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  // The extra reference keeps the object alive through a failed query, whose
  // release then deletes it.
  object->NonDelegatingAddRef();
  hr = object->NonDelegatingQueryInterface(iid, out);
  object->NonDelegatingRelease();
  return hr;
}

STDMETHODIMP CClassFactory::LockServer(BOOL lock) {
  if (lock) {
    InterlockedIncrement(&g_serverLocks);
  } else {
    InterlockedDecrement(&g_serverLocks);
  }
  return S_OK;
}

LONG CClassFactory::ServerLocks() { return InterlockedCompareExchange(&g_serverLocks, 0, 0); }

// --- module entry points ---

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;

  for (int i = 0; i < g_cTemplates; ++i) {
    const CFactoryTemplate& candidate = g_Templates[i];
    if (candidate.IsClassID(clsid)) {
      return NewStandalone<CClassFactory>(reinterpret_cast<IClassFactory**>(out), &candidate);
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return (CClassFactory::ServerLocks() > 0 || CBaseObject::ObjectsActive() > 0) ? S_FALSE : S_OK;
}
