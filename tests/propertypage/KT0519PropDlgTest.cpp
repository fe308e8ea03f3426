#include <dshow.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "propertypage/KT0519PropDlg.h"
#include "propertypage/PageDriver.h"
#include "support/LogCapture.h"

// The page needs the framework's module entry (for its resource handle),
// which expects a template list; this program serves no class objects.
CFactoryTemplate g_Templates[kMaxTemplates] = {};
int g_cTemplates = 0;

namespace telvor::test {
namespace {

constexpr int kCameraIndex = 7;

// A video pin's control interface as the page sees it: answers from fields,
// records every call.
class FakeStream : public FakeUnknown<ICorvaneVideoStream, &IID_ICorvaneVideoStream> {
 public:
  STDMETHODIMP GetSubType(GUID* out) override {
    *out = subtype;
    return subtypeResult;
  }
  STDMETHODIMP GetOutputSize(UINT* width, UINT* height) override {
    *width = current.first;
    *height = current.second;
    return currentResult;
  }
  STDMETHODIMP GetSupportedSize(INT index, UINT* width, UINT* height) override {
    if (index < 0 || static_cast<size_t>(index) >= sizes.size()) return E_INVALIDARG;
    *width = sizes[index].first;
    *height = sizes[index].second;
    return S_OK;
  }
  STDMETHODIMP SetSubType(REFGUID value) override {
    setSubTypes.push_back(value);
    return S_OK;
  }
  STDMETHODIMP SetOutputSize(UINT width, UINT height) override {
    setSizes.emplace_back(width, height);
    return E_ACCESSDENIED;  // the page must not care
  }
  STDMETHODIMP GetInput(UINT*) override {
    ++getInputs;
    return E_NOTIMPL;
  }
  STDMETHODIMP SetInput(UINT) override { return Unexpected(); }
  STDMETHODIMP Reserved10() override { return Unexpected(); }
  STDMETHODIMP Reserved11() override { return Unexpected(); }
  STDMETHODIMP GetProperty(UINT property, LONG*) override {
    propertiesAsked.push_back(property);
    return E_NOTIMPL;
  }
  STDMETHODIMP SetProperty(UINT, LONG) override { return Unexpected(); }
  STDMETHODIMP GetScaleStyle(UINT*) override { return Unexpected(); }
  STDMETHODIMP SetScaleStyle(UINT) override { return Unexpected(); }
  STDMETHODIMP GetDeinterlacing(UINT*) override { return Unexpected(); }
  STDMETHODIMP Reserved17() override { return Unexpected(); }
  STDMETHODIMP Reserved18() override { return Unexpected(); }
  STDMETHODIMP Reserved19() override { return Unexpected(); }
  STDMETHODIMP GetStatistics(UINT*, UINT*, UINT*, UINT*, UINT*, LONGLONG*, UINT*, UINT*, UINT*) override {
    return Unexpected();
  }

  GUID subtype = MEDIASUBTYPE_RGB24;
  HRESULT subtypeResult = S_OK;
  std::vector<std::pair<UINT, UINT>> sizes = {{640, 480}, {1280, 720}};
  std::pair<UINT, UINT> current = {1280, 720};
  HRESULT currentResult = S_OK;

  std::vector<GUID> setSubTypes;
  std::vector<std::pair<UINT, UINT>> setSizes;
  int getInputs = 0;
  std::vector<UINT> propertiesAsked;
  int unexpectedCalls = 0;

 private:
  HRESULT Unexpected() {
    ++unexpectedCalls;
    return E_UNEXPECTED;
  }
};

class VideoPageTest : public ::testing::Test {
 protected:
  LogCapture log_;
  FakeStream stream_;
  PageDriver driver_{NewPage(kCameraIndex)};
};

TEST_F(VideoPageTest, OpensWithThePinsColourSpaceAndSizesSelectedAndClosesClean) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  EXPECT_EQ(driver_.Title(), L"Zentra Virtual Camera Property Dialog");
  EXPECT_GT(driver_.PageSize().cx, 0);
  EXPECT_GT(driver_.PageSize().cy, 0);

  const ComboState colours = driver_.ColorSpaces();
  EXPECT_EQ(colours.items, (std::vector<std::wstring>{L"YUY2", L"YV12", L"RGB24", L"RGB32"}));
  EXPECT_EQ(colours.selected, 2);
  const ComboState sizes = driver_.Sizes();
  EXPECT_EQ(sizes.items, (std::vector<std::wstring>{L"640 x 480", L"1280 x 720"}));
  EXPECT_EQ(sizes.selected, 1);

  // The hardware probes are asked once and change nothing.
  EXPECT_EQ(stream_.getInputs, 1);
  EXPECT_EQ(stream_.propertiesAsked, (std::vector<UINT>{235, 234}));
  EXPECT_TRUE(stream_.setSubTypes.empty());
  EXPECT_TRUE(stream_.setSizes.empty());
  EXPECT_EQ(stream_.unexpectedCalls, 0);

  EXPECT_EQ(log_.Matching(L"KT0519PropDlg::OnConnect: "),
            std::vector<std::wstring>{L"[TELVOR] KT0519PropDlg::OnConnect: 7"});
  const auto init = log_.Matching(L"[KT0519PropDlg::OnInitDialog]");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_EQ(init[0].rfind(L"[TELVOR] KT0519PropDlg(", 0), 0u) << init[0];

  // Closing logs and gives every reference back.
  EXPECT_GT(stream_.refs, 1);
  driver_.Close();
  EXPECT_EQ(stream_.refs, 1) << "the control interface is released at disconnect";
  EXPECT_EQ(driver_.Site().refs, 1);
  EXPECT_EQ(log_.Matching(L"KT0519PropDlg::OnDeactivate: "),
            std::vector<std::wstring>{L"[TELVOR] KT0519PropDlg::OnDeactivate: 7"});
  EXPECT_EQ(log_.Matching(L"KT0519PropDlg::OnDisconnect: "),
            std::vector<std::wstring>{L"[TELVOR] KT0519PropDlg::OnDisconnect: 7"});
  EXPECT_EQ(driver_.ReleasePage(), 0u);
}

TEST_F(VideoPageTest, AnswersOutsideTheListsLeaveTheCombosWithoutSelection) {
  // Each case: a fresh page over a pin answering one thing the lists cannot show.
  struct Case {
    const char* name;
    void (*arrange)(FakeStream&);
    int colour;
    std::vector<std::wstring> sizes;
    int size;
  };
  const Case cases[] = {
      {"subtype outside the table, size not offered",
       [](FakeStream& s) { s.subtype = MEDIASUBTYPE_NV12, s.current = {800, 600}; }, -1,
       {L"640 x 480", L"1280 x 720"}, -1},
      {"both getters fail", [](FakeStream& s) { s.subtypeResult = E_FAIL, s.currentResult = E_ACCESSDENIED; },
       -1, {L"640 x 480", L"1280 x 720"}, -1},
      {"no sizes at all", [](FakeStream& s) { s.sizes.clear(); }, 2, {}, -1},
      {"current size first of two equal entries",
       [](FakeStream& s) { s.sizes = {{320, 240}, {1280, 720}, {1280, 720}}; }, 2,
       {L"320 x 240", L"1280 x 720", L"1280 x 720"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeStream stream;
    c.arrange(stream);
    PageDriver driver(NewPage(kCameraIndex));
    ASSERT_EQ(driver.Open(&stream), S_OK);
    EXPECT_EQ(driver.ColorSpaces().items.size(), 4u);
    EXPECT_EQ(driver.ColorSpaces().selected, c.colour);
    EXPECT_EQ(driver.Sizes().items, c.sizes);
    EXPECT_EQ(driver.Sizes().selected, c.size);
    driver.Close();
  }
}

TEST_F(VideoPageTest, ChoosingAColourSpaceSetsItOnThePinAtOnce) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  const GUID* expected[] = {&MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_YV12, &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32};
  const wchar_t* lines[] = {L"[TELVOR] SetSubType: MEDIASUBTYPE_YUY2", L"[TELVOR] SetSubType: MEDIASUBTYPE_YV12",
                            L"[TELVOR] SetSubType: MEDIASUBTYPE_RGB24", L"[TELVOR] SetSubType: MEDIASUBTYPE_RGB32"};
  for (int i = 0; i < 4; ++i) {
    log_.Clear();
    driver_.Choose(IDC_COLOR_SPACE, i);
    ASSERT_EQ(stream_.setSubTypes.size(), static_cast<size_t>(i + 1));
    EXPECT_TRUE(IsEqualGUID(stream_.setSubTypes.back(), *expected[i])) << i;
    EXPECT_EQ(log_.Matching(L"SetSubType"), std::vector<std::wstring>{lines[i]});
    EXPECT_EQ(log_.Count(L"[KT0519PropDlg::OnCommand]"), 1u);
  }
  // A selection change that leaves nothing selected sets nothing.
  driver_.Choose(IDC_COLOR_SPACE, -1);
  EXPECT_EQ(stream_.setSubTypes.size(), 4u);
  EXPECT_TRUE(stream_.setSizes.empty());

  // Changes are applied already: nothing is left for Apply.
  EXPECT_EQ(driver_.Page()->IsPageDirty(), S_FALSE);
  EXPECT_EQ(driver_.Page()->Apply(), S_OK);
  EXPECT_EQ(driver_.Site().statusChanges, 0);
  EXPECT_EQ(stream_.setSubTypes.size(), 4u);
  driver_.Close();
}

// A size text that does not parse becomes 0 x 0 (or keeps what did parse).
TEST_F(VideoPageTest, ChoosingASizeSetsItOnThePinEvenWhenThePinRefuses) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  driver_.Choose(IDC_OUTPUT_SIZE, 0);
  EXPECT_EQ(driver_.Sizes().selected, 0) << "the refused choice stays on screen";
  HWND combo = driver_.SizeCombo();
  driver_.Choose(IDC_OUTPUT_SIZE, static_cast<int>(SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"wide"))));
  driver_.Choose(IDC_OUTPUT_SIZE,
                 static_cast<int>(SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"720 by 576"))));
  EXPECT_EQ(stream_.setSizes, (std::vector<std::pair<UINT, UINT>>{{640, 480}, {0, 0}, {720, 0}}));
  EXPECT_EQ(log_.Matching(L"SetOutputSize"),
            (std::vector<std::wstring>{L"[TELVOR] SetOutputSize: 640,480", L"[TELVOR] SetOutputSize: 0,0",
                                       L"[TELVOR] SetOutputSize: 720,0"}));
  EXPECT_TRUE(stream_.setSubTypes.empty());
  EXPECT_EQ(driver_.Page()->IsPageDirty(), S_FALSE);
  driver_.Close();
}

TEST_F(VideoPageTest, OnlyCommandsInThePagesRangeAreHandled) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  log_.Clear();
  EXPECT_EQ(driver_.Command(1000, CBN_SELCHANGE), FALSE);
  EXPECT_EQ(driver_.Command(1013, CBN_SELCHANGE), FALSE);
  EXPECT_EQ(driver_.Command(IDC_COLOR_SPACE, CBN_DROPDOWN), TRUE);
  EXPECT_EQ(driver_.Command(IDC_OUTPUT_SIZE, CBN_CLOSEUP), TRUE);
  EXPECT_EQ(driver_.Command(1012, CBN_SELCHANGE), TRUE);
  EXPECT_EQ(log_.Count(L"[KT0519PropDlg::OnCommand]"), 5u) << "every command is traced, handled or not";
  EXPECT_EQ(driver_.Answer(WM_TIMER, 1, 0), TRUE);
  EXPECT_TRUE(stream_.setSubTypes.empty());
  EXPECT_TRUE(stream_.setSizes.empty());
  EXPECT_EQ(driver_.ColorSpaces().selected, 2);
  driver_.Close();
}

TEST_F(VideoPageTest, ReopeningRebuildsTheSizeList) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  ASSERT_EQ(driver_.Page()->Deactivate(), S_OK);
  // The pin now offers only the current size: a list kept from the first
  // opening would place it at the wrong position.
  stream_.sizes = {{1280, 720}};
  RECT rect = {0, 0, 400, 300};
  ASSERT_EQ(driver_.Page()->Activate(driver_.Frame(), &rect, FALSE), S_OK);
  EXPECT_EQ(driver_.Sizes().items, std::vector<std::wstring>{L"1280 x 720"});
  EXPECT_EQ(driver_.Sizes().selected, 0);
  driver_.Close();
}

}  // namespace
}  // namespace telvor::test
