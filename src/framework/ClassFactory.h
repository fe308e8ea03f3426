// Class templates and class objects: how a host's DllGetClassObject request
// becomes a camera filter or a property page.
#pragma once

#include <windows.h>
#include <strmif.h>

#include "framework/Unknown.h"

// Creates one object; writes a failure into *hr when construction fails.
// Returns null (leaving *hr untouched) when memory runs out.
using LPFNNewCOMObject = CUnknown* (*)(LPUNKNOWN outer, HRESULT* hr);
// Called with TRUE at process attach and FALSE at detach.
using LPFNInitRoutine = void (*)(BOOL loading, const CLSID* clsid);

struct FilterSetup;  // registration record of one filter (module/ClassObjects.h)

struct CFactoryTemplate {
  const WCHAR* m_Name;
  const CLSID* m_ClsID;
  LPFNNewCOMObject m_lpfnNew;
  LPFNInitRoutine m_lpfnInit;
  const FilterSetup* m_pSetup;

  BOOL IsClassID(REFCLSID clsid) const { return IsEqualCLSID(*m_ClsID, clsid); }
  CUnknown* CreateInstance(LPUNKNOWN outer, HRESULT* hr) const { return m_lpfnNew(outer, hr); }
};

// One template per filter and per property page: up to 64 cameras x 3.
inline constexpr int kMaxTemplates = 192;

// Filled once at process attach from the settings (module start-up), then read-only.
extern CFactoryTemplate g_Templates[kMaxTemplates];
extern int g_cTemplates;

// The class object DllGetClassObject hands out for one template. It counts as
// a live framework object, so the module stays loaded while a host holds it.
class CClassFactory : public CStandaloneUnknown<IClassFactory, IID_IClassFactory> {
 public:
  explicit CClassFactory(const CFactoryTemplate* factoryTemplate);
  ~CClassFactory() override;
  CClassFactory(const CClassFactory&) = delete;
  CClassFactory& operator=(const CClassFactory&) = delete;

  // IClassFactory
  // Aggregation may ask only for IUnknown (E_NOINTERFACE otherwise, before
  // anything is created).
  STDMETHODIMP CreateInstance(LPUNKNOWN outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;

  // Server locks currently held through LockServer.
  static LONG ServerLocks();

 private:
  const CFactoryTemplate* m_pTemplate;
};

// Module entry points (exported by the DLL through its .def file).
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out);
STDAPI DllCanUnloadNow();
