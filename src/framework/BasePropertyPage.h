// The base of a COM property page whose face is a dialog resource.
//
// A page subclass names its dialog template and title string and fills in the
// hooks; the base answers IPropertyPage for it:
//   SetObjects(1, &object)  -> OnConnect(object)      (the object being edited)
//   Activate                -> dialog created, OnActivate, moved and shown
//   every dialog message    -> OnReceiveMessage
//   Apply (when dirty)      -> OnApplyChanges
//   Deactivate              -> OnDeactivate, dialog destroyed
//   SetObjects(0, nullptr)  -> OnDisconnect
// The dialog and title resources come from the module handle recorded at
// process attach; a program that never ran the module entry (a test, say)
// uses its own executable's resources.
//
// Pages live on the host's window thread; nothing here is locked.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "framework/ComPtr.h"
#include "framework/Unknown.h"

class CBasePropertyPage : public IPropertyPage, public CUnknown {
 public:
  CBasePropertyPage(const wchar_t* name, LPUNKNOWN outer, int dialogId, int titleId);
  ~CBasePropertyPage() override;
  CBasePropertyPage(const CBasePropertyPage&) = delete;
  CBasePropertyPage& operator=(const CBasePropertyPage&) = delete;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  // The last release disconnects the page from its site and object (so the
  // hooks see a regular ending) before the object is deleted.
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // IPropertyPage
  STDMETHODIMP SetPageSite(IPropertyPageSite* site) override;
  STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL modal) override;
  STDMETHODIMP Deactivate() override;
  STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override;
  STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override;
  STDMETHODIMP Show(UINT command) override;
  STDMETHODIMP Move(LPCRECT rect) override;
  STDMETHODIMP IsPageDirty() override;
  STDMETHODIMP Apply() override;
  STDMETHODIMP Help(LPCOLESTR helpDir) override;
  STDMETHODIMP TranslateAccelerator(MSG* message) override;

  // Hooks; the defaults do nothing and succeed.
  virtual HRESULT OnConnect(IUnknown* object);
  virtual HRESULT OnDisconnect();
  virtual HRESULT OnActivate();
  virtual HRESULT OnDeactivate();
  virtual HRESULT OnApplyChanges();
  // Every message of the page's dialog once the dialog knows the page. The
  // base keeps the dialog a control parent (so the frame's tab order runs
  // through the page's controls) and leaves the rest to DefWindowProcW.
  virtual INT_PTR OnReceiveMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

 protected:
  // Marks the page as holding unapplied changes and tells the frame, which
  // enables its Apply button.
  void SetDirty();

  HWND m_hwnd = nullptr;  // the active dialog, null while inactive
  ComPtr<IPropertyPageSite> m_pPageSite;
  const int m_DialogId;
  const int m_TitleId;
  bool m_bDirty = false;
  bool m_bObjectSet = false;

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  SIZE MeasureDialog() const;

  bool m_bDeactivating = false;
};
