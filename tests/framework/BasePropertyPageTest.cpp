#include <gtest/gtest.h>

#include <string>

#include "framework/BasePropertyPage.h"
#include "framework/ComPtr.h"
#include "support/FakeCom.h"

namespace {

constexpr int kDialogId = 9;  // templates in PageTestResources.rc
constexpr int kTitleId = 102;
constexpr int kMissingId = 4242;

// What the hooks saw; lives outside the page so it survives the last release.
struct HookLog {
  int connects = 0, disconnects = 0, deactivates = 0;
  IUnknown* connected = nullptr;
  HRESULT connectResult = S_OK;
  HWND initDialogWindow = nullptr;
  int appMessages = 0;
  LONG_PTR exStyleAtDeactivate = 0;
};

class TestPage : public CBasePropertyPage {
 public:
  TestPage(HookLog* log, int dialogId = kDialogId, int titleId = kTitleId)
      : CBasePropertyPage(L"TestPage", nullptr, dialogId, titleId), log_(log) {}

  HWND Window() const { return m_hwnd; }

  HRESULT OnConnect(IUnknown* object) override {
    ++log_->connects;
    log_->connected = object;
    return log_->connectResult;
  }
  HRESULT OnDisconnect() override { return ++log_->disconnects, S_OK; }
  HRESULT OnDeactivate() override {
    ++log_->deactivates;
    log_->exStyleAtDeactivate = GetWindowLongPtrW(m_hwnd, GWL_EXSTYLE);
    return S_OK;
  }
  INT_PTR OnReceiveMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == WM_INITDIALOG) log_->initDialogWindow = dialog;
    if (message == WM_APP + 3) ++log_->appMessages;
    return CBasePropertyPage::OnReceiveMessage(dialog, message, wParam, lParam);
  }

 private:
  HookLog* log_;
};

// The frame itself stays hidden, so look at the page's own style only.
bool IsShown(HWND window) { return (GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0; }

using telvor::test::FakePageSite;

// Any COM object serves as the edited object; the site will do.
class PageFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    page_ = new TestPage(&log_);
    page_->NonDelegatingAddRef();
    parent_ = CreateWindowExW(0, L"STATIC", L"frame", WS_OVERLAPPEDWINDOW, 0, 0, 800, 600, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(parent_, nullptr);
  }
  void TearDown() override {
    if (page_) {
      EXPECT_EQ(page_->Release(), 0u);
    }
    DestroyWindow(parent_);
  }
  void Connect() {
    IUnknown* objects[] = {&object_};
    ASSERT_EQ(page_->SetObjects(1, objects), S_OK);
  }

  HookLog log_;
  TestPage* page_ = nullptr;
  FakePageSite object_;
  FakePageSite site_;
  HWND parent_ = nullptr;
  RECT rect_ = {10, 20, 410, 320};
};

// Without activation: one object or none, and one site held once. (No page
// of ours ever becomes dirty: choices go to the pin at once.)
TEST_F(PageFixture, SetObjectsSiteAndApplyAnswerExactCodes) {
  IUnknown* none[] = {nullptr};
  IUnknown* two[] = {&object_, &object_};
  EXPECT_EQ(page_->SetObjects(1, nullptr), E_POINTER);
  EXPECT_EQ(page_->SetObjects(1, none), E_POINTER);
  EXPECT_EQ(page_->SetObjects(2, two), E_UNEXPECTED);
  EXPECT_EQ(log_.connects, 0);
  EXPECT_EQ(page_->IsPageDirty(), S_FALSE);
  EXPECT_EQ(page_->Apply(), E_UNEXPECTED);

  Connect();
  EXPECT_TRUE(log_.connects == 1 && log_.connected == static_cast<IUnknown*>(&object_));
  EXPECT_EQ(page_->Apply(), E_UNEXPECTED) << "no site";
  EXPECT_EQ(page_->SetPageSite(nullptr), E_UNEXPECTED);
  ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
  EXPECT_EQ(site_.refs, 2);
  FakePageSite other;
  EXPECT_EQ(page_->SetPageSite(&other), E_UNEXPECTED);
  EXPECT_EQ(other.refs, 1);
  EXPECT_EQ(page_->Apply(), S_OK);
  EXPECT_EQ(page_->SetPageSite(nullptr), S_OK);
  EXPECT_EQ(site_.refs, 1);

  EXPECT_EQ(page_->SetObjects(0, nullptr), S_OK);
  EXPECT_EQ(log_.disconnects, 1);
  EXPECT_EQ(page_->Activate(parent_, &rect_, FALSE), E_UNEXPECTED) << "no object after disconnecting";
  // An object that refuses the page leaves it unconnected.
  log_.connectResult = E_NOINTERFACE;
  IUnknown* objects[] = {&object_};
  EXPECT_EQ(page_->SetObjects(1, objects), E_NOINTERFACE);
  EXPECT_EQ(page_->Activate(parent_, &rect_, FALSE), E_UNEXPECTED);
}

struct PageInfo : PROPPAGEINFO {
  PageInfo() : PROPPAGEINFO{} {}
  ~PageInfo() { CoTaskMemFree(pszTitle); }
};

// The page info measures the template without opening it; the dialog then
// sits inside the frame at the given place, follows Show and Move, and
// Deactivate destroys it.
TEST_F(PageFixture, PageInfoAndTheDialogInsideTheFrameFromActivateToDeactivate) {
  EXPECT_EQ(page_->GetPageInfo(nullptr), E_POINTER);
  PageInfo info;
  ASSERT_EQ(page_->GetPageInfo(&info), S_OK);
  EXPECT_TRUE(info.cb == sizeof(PROPPAGEINFO) && std::wstring(info.pszTitle) == L"Test Page Title");
  EXPECT_EQ(log_.initDialogWindow, nullptr) << "measuring must not initialise the page";
  EXPECT_EQ(page_->Activate(parent_, nullptr, FALSE), E_POINTER);
  EXPECT_EQ(page_->Activate(parent_, &rect_, FALSE), E_UNEXPECTED);
  EXPECT_EQ(page_->Deactivate(), E_UNEXPECTED);
  EXPECT_EQ(page_->Show(SW_SHOW), E_UNEXPECTED);
  EXPECT_EQ(page_->Move(&rect_), E_UNEXPECTED);
  Connect();

  ASSERT_EQ(page_->Activate(parent_, &rect_, TRUE), S_OK);
  HWND dialog = page_->Window();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(log_.initDialogWindow == dialog && GetParent(dialog) == parent_);
  EXPECT_TRUE(IsShown(dialog));
  // The template's 316 x 183 dialog units in this font's pixels.
  RECT units = {0, 0, 316, 183};
  ASSERT_TRUE(MapDialogRect(dialog, &units));
  EXPECT_TRUE(info.size.cx == units.right && info.size.cy == units.bottom);
  RECT placed = {};
  GetWindowRect(dialog, &placed);
  MapWindowPoints(nullptr, parent_, reinterpret_cast<POINT*>(&placed), 2);
  EXPECT_TRUE(placed.left == rect_.left && placed.top == rect_.top);
  EXPECT_TRUE(placed.right - placed.left == 400 && placed.bottom - placed.top == 300);
  EXPECT_EQ(page_->Activate(parent_, &rect_, FALSE), E_UNEXPECTED) << "already open";

  EXPECT_EQ(page_->Show(SW_MINIMIZE), E_INVALIDARG);
  EXPECT_TRUE(page_->Show(SW_HIDE) == S_OK && !IsShown(dialog));
  EXPECT_TRUE(page_->Show(SW_SHOW) == S_OK && IsShown(dialog));
  const RECT moved = {5, 6, 105, 56};
  EXPECT_EQ(page_->Move(&moved), S_OK);
  GetWindowRect(dialog, &placed);
  EXPECT_TRUE(placed.right - placed.left == 100 && placed.bottom - placed.top == 50);
  EXPECT_EQ(page_->Move(nullptr), E_POINTER);

  SendMessageW(dialog, WM_APP + 3, 0, 0);
  EXPECT_EQ(log_.appMessages, 1) << "messages after initialisation reach the page";

  // The dialog stays a control parent while active, whatever a frame does.
  SetWindowLongPtrW(dialog, GWL_EXSTYLE, GetWindowLongPtrW(dialog, GWL_EXSTYLE) & ~WS_EX_CONTROLPARENT);
  EXPECT_NE(GetWindowLongPtrW(dialog, GWL_EXSTYLE) & WS_EX_CONTROLPARENT, 0);

  EXPECT_EQ(page_->Deactivate(), S_OK);
  EXPECT_TRUE(log_.deactivates == 1 && (log_.exStyleAtDeactivate & WS_EX_CONTROLPARENT) == 0);
  EXPECT_TRUE(!IsWindow(dialog) && page_->Window() == nullptr);
  EXPECT_EQ(page_->Deactivate(), E_UNEXPECTED);

  // The page can be shown again after closing.
  EXPECT_EQ(page_->Activate(parent_, &rect_, FALSE), S_OK);
  EXPECT_EQ(page_->Deactivate(), S_OK);

  // Without its template and title: a default size, no title, and no dialog.
  HookLog log;
  ComPtr<IPropertyPage> bare(new TestPage(&log, kMissingId, kMissingId));
  PageInfo fallback;
  ASSERT_EQ(bare->GetPageInfo(&fallback), S_OK);
  EXPECT_STREQ(fallback.pszTitle, L"");
  EXPECT_TRUE(fallback.size.cx == 340 && fallback.size.cy == 150);
  IUnknown* objects[] = {&object_};
  ASSERT_EQ(bare->SetObjects(1, objects), S_OK);
  EXPECT_EQ(bare->Activate(parent_, &rect_, FALSE), E_OUTOFMEMORY);
  EXPECT_EQ(log.initDialogWindow, nullptr);
}

TEST_F(PageFixture, LastReleaseDisconnectsReleasesTheSiteAndDeletes) {
  ASSERT_EQ(page_->SetPageSite(&site_), S_OK);
  Connect();
  ASSERT_EQ(page_->Activate(parent_, &rect_, FALSE), S_OK);
  HWND dialog = page_->Window();
  ComPtr<IPropertyPage> viaInterface;
  ASSERT_EQ(page_->QueryInterface(IID_IPropertyPage, viaInterface.PutVoid()), S_OK);
  EXPECT_EQ(viaInterface.Detach()->Release(), 1u);
  EXPECT_EQ(log_.disconnects, 0);

  // A host that forgets Deactivate still gets its dialog cleaned up.
  EXPECT_EQ(page_->Release(), 0u);
  page_ = nullptr;
  EXPECT_TRUE(log_.disconnects == 1 && site_.refs == 1 && !IsWindow(dialog));
}

}  // namespace
