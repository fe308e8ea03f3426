#include "framework/ClassFactory.h"

#include <new>

namespace {
volatile LONG g_serverLocks = 0;
}

CClassFactory::CClassFactory(const CFactoryTemplate* factoryTemplate)
    : CBaseObject(L"Class factory"), m_pTemplate(factoryTemplate) {}

CClassFactory::~CClassFactory() = default;

// --- IUnknown ---

STDMETHODIMP CClassFactory::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CClassFactory::Release() {
  LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) {
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

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
    if (!candidate.IsClassID(clsid)) continue;
    auto* factory = new (std::nothrow) CClassFactory(&candidate);
    if (!factory) return E_OUTOFMEMORY;
    factory->AddRef();
    *out = static_cast<IClassFactory*>(factory);
    return S_OK;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
  return (CClassFactory::ServerLocks() > 0 || CBaseObject::ObjectsActive() > 0) ? S_FALSE : S_OK;
}
