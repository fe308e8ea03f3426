// Class templates and class objects: how a host's DllGetClassObject request
// becomes a camera filter or a property page.
#pragma once

#include <windows.h>
#include <strmif.h>

class CUnknown;

// Creates one object; writes a failure into *hr when construction fails.
// Returns null (leaving *hr untouched) when memory runs out.
using LPFNNewCOMObject = CUnknown* (*)(LPUNKNOWN outer, HRESULT* hr);
// Called with TRUE at process attach and FALSE at detach.
using LPFNInitRoutine = void (*)(BOOL loading, const CLSID* clsid);

struct FilterSetup;  // registration record of one filter (module/CameraTable.h)

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
