#include "framework/BasePropertyPage.h"

#include <cstring>

#include "framework/ModuleEntry.h"

namespace {

// What a frame gets when the dialog template cannot be measured.
constexpr SIZE kDefaultPageSize = {340, 150};

HINSTANCE ResourceInstance() {
  HINSTANCE module = ModuleHandle();
  return module ? module : GetModuleHandleW(nullptr);
}

// A task-memory copy of a string resource; an empty string when the resource
// is missing, null only when memory runs out.
LPOLESTR LoadTaskMemString(int id) {
  const wchar_t* text = nullptr;
  // Length 0 asks for a read-only pointer into the resource itself.
  const int length = LoadStringW(ResourceInstance(), static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
  const size_t count = (length > 0 && text) ? static_cast<size_t>(length) : 0;
  auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((count + 1) * sizeof(wchar_t)));
  if (!copy) return nullptr;
  if (count) std::memcpy(copy, text, count * sizeof(wchar_t));
  copy[count] = L'\0';
  return copy;
}

}  // namespace

CBasePropertyPage::CBasePropertyPage(const wchar_t* name, LPUNKNOWN outer, int dialogId, int titleId)
    : CUnknown(name, outer), m_DialogId(dialogId), m_TitleId(titleId) {}

CBasePropertyPage::~CBasePropertyPage() {
  // A host that never deactivated the page must not leave a dialog that
  // still points at freed memory.
  if (m_hwnd) {
    SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
    DestroyWindow(m_hwnd);
  }
}

// IUnknown

STDMETHODIMP CBasePropertyPage::NonDelegatingQueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IPropertyPage)) return GetInterface(static_cast<IPropertyPage*>(this), out);
  return CUnknown::NonDelegatingQueryInterface(iid, out);
}

STDMETHODIMP_(ULONG) CBasePropertyPage::NonDelegatingRelease() {
  const LONG count = InterlockedDecrement(&m_cRef);
  if (count != 0) return static_cast<ULONG>(count);
  // Hold a reference while the hooks run, so a hook that adds and drops one
  // cannot start a second deletion.
  m_cRef = 1;
  SetPageSite(nullptr);
  SetObjects(0, nullptr);
  delete this;
  return 0;
}

// IPropertyPage

STDMETHODIMP CBasePropertyPage::SetPageSite(IPropertyPageSite* site) {
  if (site) {
    if (m_pPageSite) return E_UNEXPECTED;
    m_pPageSite = site;
    return S_OK;
  }
  if (!m_pPageSite) return E_UNEXPECTED;
  m_pPageSite.Reset();
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::Activate(HWND parent, LPCRECT rect, BOOL) {
  if (!rect) return E_POINTER;
  if (!m_bObjectSet || m_hwnd) return E_UNEXPECTED;
  // Modeless even for a modal frame: the frame runs the message loop.
  HWND dialog = CreateDialogParamW(ResourceInstance(), MAKEINTRESOURCEW(m_DialogId), parent,
                                   &CBasePropertyPage::DialogProc, reinterpret_cast<LPARAM>(this));
  if (!dialog) return E_OUTOFMEMORY;
  m_hwnd = dialog;
  const HRESULT hr = OnActivate();
  if (FAILED(hr)) {
    DestroyWindow(m_hwnd);
    m_hwnd = nullptr;
    return hr;
  }
  Move(rect);
  return Show(SW_SHOWNORMAL);
}

STDMETHODIMP CBasePropertyPage::Deactivate() {
  if (!m_hwnd) return E_UNEXPECTED;
  // A frame moving focus while the page goes away must not tab into a
  // dialog that is being destroyed; OnReceiveMessage would put the flag back.
  m_bDeactivating = true;
  const LONG_PTR exStyle = GetWindowLongPtrW(m_hwnd, GWL_EXSTYLE);
  SetWindowLongPtrW(m_hwnd, GWL_EXSTYLE, exStyle & ~static_cast<LONG_PTR>(WS_EX_CONTROLPARENT));
  const HRESULT hr = OnDeactivate();
  DestroyWindow(m_hwnd);
  m_hwnd = nullptr;
  m_bDeactivating = false;
  return hr;
}

STDMETHODIMP CBasePropertyPage::GetPageInfo(PROPPAGEINFO* info) {
  if (!info) return E_POINTER;
  LPOLESTR title = LoadTaskMemString(m_TitleId);
  if (!title) return E_OUTOFMEMORY;
  info->cb = sizeof(PROPPAGEINFO);
  info->pszTitle = title;
  info->size = MeasureDialog();
  info->pszDocString = nullptr;
  info->pszHelpFile = nullptr;
  info->dwHelpContext = 0;
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::SetObjects(ULONG count, IUnknown** objects) {
  if (count == 1) {
    if (!objects || !objects[0]) return E_POINTER;
    // A page whose object refused it stays unconnected: activating it would
    // show controls with nothing behind them.
    const HRESULT hr = OnConnect(objects[0]);
    m_bObjectSet = SUCCEEDED(hr);
    return hr;
  }
  if (count == 0) {
    m_bObjectSet = false;
    return OnDisconnect();
  }
  return E_UNEXPECTED;
}

STDMETHODIMP CBasePropertyPage::Show(UINT command) {
  if (!m_hwnd) return E_UNEXPECTED;
  if (command != SW_SHOW && command != SW_SHOWNORMAL && command != SW_HIDE) return E_INVALIDARG;
  ShowWindow(m_hwnd, static_cast<int>(command));
  InvalidateRect(m_hwnd, nullptr, TRUE);
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::Move(LPCRECT rect) {
  if (!rect) return E_POINTER;
  if (!m_hwnd) return E_UNEXPECTED;
  MoveWindow(m_hwnd, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top, TRUE);
  return S_OK;
}

STDMETHODIMP CBasePropertyPage::IsPageDirty() { return m_bDirty ? S_OK : S_FALSE; }

STDMETHODIMP CBasePropertyPage::Apply() {
  if (!m_bObjectSet || !m_pPageSite) return E_UNEXPECTED;
  if (!m_bDirty) return S_OK;
  // A failed apply keeps the changes pending so the user can try again.
  const HRESULT hr = OnApplyChanges();
  if (SUCCEEDED(hr)) m_bDirty = false;
  return hr;
}

STDMETHODIMP CBasePropertyPage::Help(LPCOLESTR) { return E_NOTIMPL; }

STDMETHODIMP CBasePropertyPage::TranslateAccelerator(MSG*) { return E_NOTIMPL; }

// Hooks

HRESULT CBasePropertyPage::OnConnect(IUnknown*) { return S_OK; }
HRESULT CBasePropertyPage::OnDisconnect() { return S_OK; }
HRESULT CBasePropertyPage::OnActivate() { return S_OK; }
HRESULT CBasePropertyPage::OnDeactivate() { return S_OK; }
HRESULT CBasePropertyPage::OnApplyChanges() { return S_OK; }

INT_PTR CBasePropertyPage::OnReceiveMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_hwnd) return 0;
  if (message == WM_STYLECHANGING && wParam == static_cast<WPARAM>(GWL_EXSTYLE) && !m_bDeactivating) {
    reinterpret_cast<STYLESTRUCT*>(lParam)->styleNew |= WS_EX_CONTROLPARENT;
    return 0;
  }
  return DefWindowProcW(dialog, message, wParam, lParam);
}

void CBasePropertyPage::SetDirty() {
  m_bDirty = true;
  if (m_pPageSite) m_pPageSite->OnStatusChange(PROPPAGESTATUS_DIRTY);
}

// Dialog

INT_PTR CALLBACK CBasePropertyPage::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) SetWindowLongPtrW(dialog, DWLP_USER, lParam);
  auto* page = reinterpret_cast<CBasePropertyPage*>(GetWindowLongPtrW(dialog, DWLP_USER));
  if (!page) return TRUE;
  return page->OnReceiveMessage(dialog, message, wParam, lParam);
}

// The frame sizes itself before any page is active, so the template is
// measured with a throw-away dialog that knows no page.
SIZE CBasePropertyPage::MeasureDialog() const {
  SIZE size = kDefaultPageSize;
  HWND dialog = CreateDialogParamW(ResourceInstance(), MAKEINTRESOURCEW(m_DialogId), GetDesktopWindow(),
                                   &CBasePropertyPage::DialogProc, 0);
  if (!dialog) return size;
  RECT rect = {};
  if (GetWindowRect(dialog, &rect)) size = {rect.right - rect.left, rect.bottom - rect.top};
  DestroyWindow(dialog);
  return size;
}
