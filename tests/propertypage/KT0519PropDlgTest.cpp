#include <dshow.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "propertypage/KT0519PropDlg.h"
#include "propertypage/PageDriver.h"

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
  // The hardware probes: no answer changes what the page shows.
  STDMETHODIMP GetInput(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP SetInput(UINT) override { return Unexpected(); }
  STDMETHODIMP Reserved10() override { return Unexpected(); }
  STDMETHODIMP Reserved11() override { return Unexpected(); }
  STDMETHODIMP GetProperty(UINT, LONG*) override { return E_NOTIMPL; }
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
  int unexpectedCalls = 0;

 private:
  HRESULT Unexpected() {
    ++unexpectedCalls;
    return E_UNEXPECTED;
  }
};

class VideoPageTest : public ::testing::Test {
 protected:
  FakeStream stream_;
  PageDriver driver_{NewPage(kCameraIndex)};
};

TEST_F(VideoPageTest, OpensWithThePinsColourSpaceAndSizesSelectedAndClosesClean) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  EXPECT_EQ(driver_.Title(), L"Zentra Virtual Camera Property Dialog");
  EXPECT_TRUE(driver_.PageSize().cx > 0 && driver_.PageSize().cy > 0);
  const ComboState colours = driver_.ColorSpaces();
  EXPECT_EQ(colours.items, (std::vector<std::wstring>{L"YUY2", L"YV12", L"RGB24", L"RGB32"}));
  EXPECT_EQ(colours.selected, 2);
  const ComboState sizes = driver_.Sizes();
  EXPECT_EQ(sizes.items, (std::vector<std::wstring>{L"640 x 480", L"1280 x 720"}));
  EXPECT_EQ(sizes.selected, 1);
  // Opening changes nothing on the pin.
  EXPECT_TRUE(stream_.setSubTypes.empty() && stream_.setSizes.empty());
  EXPECT_EQ(stream_.unexpectedCalls, 0);

  // Closing gives every reference back.
  EXPECT_GT(stream_.refs, 1);
  driver_.Close();
  EXPECT_EQ(stream_.refs, 1) << "the control interface is released at disconnect";
  EXPECT_EQ(driver_.Site().refs, 1);
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

// A size text that does not parse becomes 0 x 0 (or keeps what did parse);
// a size the pin refuses stays on screen.
TEST_F(VideoPageTest, ChoicesAreSetOnThePinAtOnceAndNothingIsLeftForApply) {
  ASSERT_EQ(driver_.Open(&stream_), S_OK);
  const GUID* expected[] = {&MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_YV12, &MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32};
  for (int i = 0; i < 4; ++i) {
    driver_.Choose(IDC_COLOR_SPACE, i);
    ASSERT_EQ(stream_.setSubTypes.size(), static_cast<size_t>(i + 1));
    EXPECT_TRUE(IsEqualGUID(stream_.setSubTypes.back(), *expected[i])) << i;
  }
  // A selection change that leaves nothing selected, or opening and closing
  // a list, sets nothing.
  driver_.Choose(IDC_COLOR_SPACE, -1);
  for (const int id : {IDC_COLOR_SPACE, IDC_OUTPUT_SIZE}) {
    for (const UINT code : {CBN_DROPDOWN, CBN_CLOSEUP})
      SendMessageW(driver_.Dialog(), WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(driver_.Dialog(), id)));
  }
  EXPECT_EQ(stream_.setSubTypes.size(), 4u);
  EXPECT_TRUE(stream_.setSizes.empty());

  driver_.Choose(IDC_OUTPUT_SIZE, 0);
  EXPECT_EQ(driver_.Sizes().selected, 0);
  HWND combo = driver_.SizeCombo();
  for (const wchar_t* text : {L"wide", L"720 by 576"})
    driver_.Choose(IDC_OUTPUT_SIZE, static_cast<int>(SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text))));
  EXPECT_EQ(stream_.setSizes, (std::vector<std::pair<UINT, UINT>>{{640, 480}, {0, 0}, {720, 0}}));
  EXPECT_EQ(stream_.setSubTypes.size(), 4u);

  EXPECT_EQ(driver_.Page()->IsPageDirty(), S_FALSE);
  EXPECT_EQ(driver_.Page()->Apply(), S_OK);
  EXPECT_EQ(driver_.Site().statusChanges, 0);
  EXPECT_EQ(stream_.setSubTypes.size(), 4u);
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
