// Drives a video property page the way a property frame does (site, object,
// page info, activation under a frame window) and reads its controls back
// the way a user sees them.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "propertypage/PropertyPageFactory.h"
#include "propertypage/PageResources.h"
#include "support/FakeCom.h"

namespace telvor::test {

using FrameSite = FakePageSite;

struct ComboState {
  std::vector<std::wstring> items;
  int selected = -1;
};

inline ComboState ReadCombo(HWND combo) {
  ComboState state;
  const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
  for (WPARAM i = 0; i < static_cast<WPARAM>(count); ++i) {
    wchar_t text[256] = {};
    if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 255) {
      SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    }
    state.items.push_back(text);
  }
  state.selected = static_cast<int>(SendMessageW(combo, CB_GETCURSEL, 0, 0));
  return state;
}

// Works on the page's IPropertyPage only, so a page living inside the
// module is driven exactly like one linked into the test.
class PageDriver {
 public:
  // Takes over the caller's reference.
  explicit PageDriver(IPropertyPage* page) : page_(page) {
    frame_ = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  }
  ~PageDriver() {
    if (page_) page_->Release();
    DestroyWindow(frame_);
  }
  PageDriver(const PageDriver&) = delete;
  PageDriver& operator=(const PageDriver&) = delete;

  IPropertyPage* Page() const { return page_; }
  // The reference count the last release reports; the page is gone after it.
  ULONG ReleasePage() { return std::exchange(page_, nullptr)->Release(); }

  HRESULT Open(IUnknown* object) {
    IUnknown* objects[] = {object};
    PROPPAGEINFO info = {};
    HRESULT hr = page_->SetPageSite(&site_);
    if (SUCCEEDED(hr)) hr = page_->SetObjects(1, objects);
    if (SUCCEEDED(hr)) hr = page_->GetPageInfo(&info);
    if (FAILED(hr)) return hr;
    title_ = info.pszTitle ? info.pszTitle : L"";
    CoTaskMemFree(info.pszTitle);
    RECT rect = {0, 0, info.size.cx, info.size.cy};
    return page_->Activate(frame_, &rect, TRUE);
  }
  // Deactivate, drop the object and the site: a frame's ending.
  void Close() {
    EXPECT_EQ(page_->Deactivate(), S_OK);
    EXPECT_EQ(page_->SetObjects(0, nullptr), S_OK);
    EXPECT_EQ(page_->SetPageSite(nullptr), S_OK);
  }

  HWND Dialog() const { return GetWindow(frame_, GW_CHILD); }
  ComboState ColorSpaces() const { return ReadCombo(GetDlgItem(Dialog(), IDC_COLOR_SPACE)); }
  ComboState Sizes() const { return ReadCombo(GetDlgItem(Dialog(), IDC_OUTPUT_SIZE)); }

  // What a user's click on a combo item sends to the dialog.
  void Choose(int id, int position) {
    HWND combo = GetDlgItem(Dialog(), id);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(position), 0);
    SendMessageW(Dialog(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
  }
  const std::wstring& Title() const { return title_; }
  FrameSite& Site() { return site_; }
  HWND Frame() const { return frame_; }

 private:
  IPropertyPage* page_;
  FrameSite site_;
  HWND frame_ = nullptr;
  std::wstring title_;
};

// A page as its class object hands it out: one reference, on IPropertyPage.
// Only for programs that link the page itself.
inline IPropertyPage* NewPage(int camera) {
  HRESULT hr = S_OK;
  CUnknown* page = NewPropertyPage(nullptr, camera, &hr);
  EXPECT_EQ(hr, S_OK);
  if (!page) return nullptr;
  IPropertyPage* out = nullptr;
  page->NonDelegatingAddRef();
  EXPECT_EQ(page->NonDelegatingQueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&out)), S_OK);
  page->NonDelegatingRelease();
  return out;
}

}  // namespace telvor::test
