// The page as a host gets it: from a private copy of the built TELVOR.AX, with
// the dialog from the module's resources, over a pin's control interface that
// answers from fields and over the module's own filters.
#include <windows.h>
#include <dshow.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "filter/video/ICorvaneVideoStream.h"
#include "framework/ComPtr.h"
#include "support/ModuleFixture.h"
#include "support/PageDriver.h"
#include "support/CameraIndexes.h"
#include "support/DeviceRegistry.h"

namespace telvor::test {
namespace {

constexpr int kCamera = kPropertyPageCameras;  // camera number kCamera + 1 in the settings
static_assert(kCamera < 9, "settings keys end in the two-digit camera number");
const std::string kNumber = "0" + std::to_string(kCamera + 1);

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

class PageTest : public ::testing::Test {
 protected:
  // One camera in RGB24 with a default size that its format file repeats, so
  // the pin's size list is 1280 x 720, 640 x 480, 1280 x 720.
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::string& n = kNumber;
    module_ = std::make_unique<LoadedModuleCopy>(
        kModuleFileName, "FILTERS=" + std::to_string(kCamera + 1) + "\r\nFILTER.VIDEO.NAME." + n + "=Page Camera\r\n" +
                             "FILTER.AUDIO.NAME." + n + "=Page Microphone\r\nFILTER.COLORSPACE." + n + "=RGB24\r\n" +
                             "FILTER.DEFAULT.OUTPUT.W." + n + "=1280\r\nFILTER.DEFAULT.OUTPUT.H." + n + "=720\r\n");
    WriteTextFile(module_->Dir().File(L"TELVOR.FORMAT." + std::wstring(n.begin(), n.end()) + L".INI"),
                  "[CONFIG]\r\nFILTER.OUTPUT.W.01=640\r\nFILTER.OUTPUT.H.01=480\r\n"
                  "FILTER.OUTPUT.W.02=1280\r\nFILTER.OUTPUT.H.02=720\r\n");
    ASSERT_TRUE(module_->Load());
  }
  void TearDown() override {
    module_.reset();
    CoUninitialize();
  }

  HRESULT Create(const std::wstring& id, REFIID iid, void** out) {
    ComPtr<IUnknown> unknown;
    HRESULT hr = module_->GetClassObject(id.c_str(), unknown.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IClassFactory> factory;
    hr = unknown->QueryInterface(IID_IClassFactory, factory.PutVoid());
    return FAILED(hr) ? hr : factory->CreateInstance(nullptr, iid, out);
  }
  IPropertyPage* NewPage() {
    IPropertyPage* page = nullptr;
    EXPECT_EQ(Create(PropertyPageIdText(kCamera), IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    return page;
  }
  // The subtype and size of the first type the filter's pin proposes.
  static std::pair<GUID, SIZE> FirstProposal(IBaseFilter* filter) {
    ComPtr<IPin> pin;
    ComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* type = nullptr;
    std::pair<GUID, SIZE> first = {GUID_NULL, {}};
    if (SUCCEEDED(filter->FindPin(L"Output", pin.Put())) && SUCCEEDED(pin->EnumMediaTypes(types.Put())) &&
        types->Next(1, &type, nullptr) == S_OK) {
      if (IsEqualGUID(type->formattype, FORMAT_VideoInfo) && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const BITMAPINFOHEADER& header = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
        first = {type->subtype, {header.biWidth, std::abs(header.biHeight)}};
      }
      CoTaskMemFree(type->pbFormat);
      CoTaskMemFree(type);
    }
    return first;
  }

  std::unique_ptr<LoadedModuleCopy> module_;
};

// Each case: a fresh page over a pin answering oddly (the pin's usual
// answers are the video filter's, below). Opening changes nothing on the pin;
// closing gives every reference back.
TEST_F(PageTest, OpensWithThePinsAnswersSelectedAndClosesClean) {
  struct Case {
    const char* name;
    void (*arrange)(FakeStream&);
    int colour;
    std::vector<std::wstring> sizes;
    int size;
  };
  const std::vector<std::wstring> offered = {L"640 x 480", L"1280 x 720"};
  const Case cases[] = {
      {"subtype outside the table, size not offered",
       [](FakeStream& s) { s.subtype = MEDIASUBTYPE_NV12, s.current = {800, 600}; }, -1, offered, -1},
      {"both getters fail", [](FakeStream& s) { s.subtypeResult = E_FAIL, s.currentResult = E_ACCESSDENIED; }, -1,
       offered, -1},
      {"no sizes at all", [](FakeStream& s) { s.sizes.clear(); }, 2, {}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeStream stream;
    c.arrange(stream);
    PageDriver driver(NewPage());
    ASSERT_EQ(driver.Open(&stream), S_OK);
    EXPECT_EQ(driver.Title(), L"Zentra Virtual Camera Property Dialog");
    EXPECT_EQ(driver.ColorSpaces().items, (std::vector<std::wstring>{L"YUY2", L"YV12", L"RGB24", L"RGB32"}));
    EXPECT_EQ(driver.ColorSpaces().selected, c.colour);
    EXPECT_EQ(driver.Sizes().items, c.sizes);
    EXPECT_EQ(driver.Sizes().selected, c.size);
    EXPECT_TRUE(stream.setSubTypes.empty() && stream.setSizes.empty() && stream.unexpectedCalls == 0);
    EXPECT_GT(stream.refs, 1);
    driver.Close();
    EXPECT_EQ(stream.refs, 1) << "the control interface is released at disconnect";
    EXPECT_EQ(driver.Site().refs, 1);
    EXPECT_EQ(driver.ReleasePage(), 0u);
  }
}

// A size text that does not parse becomes 0 x 0 (or keeps what did parse);
// a size the pin refuses stays on screen. Opening again asks the pin anew.
TEST_F(PageTest, ChoicesAreSetOnThePinAtOnceNothingIsLeftForApplyAndReopeningAsksAgain) {
  FakeStream stream;
  PageDriver driver(NewPage());
  ASSERT_EQ(driver.Open(&stream), S_OK);
  for (int i = 0; i < 4; ++i) driver.Choose(IDC_COLOR_SPACE, i);
  const std::vector<GUID> chosen = {MEDIASUBTYPE_YUY2, MEDIASUBTYPE_YV12, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32};
  EXPECT_EQ(stream.setSubTypes, chosen);
  // A selection change that leaves nothing selected, or opening and closing
  // a list, sets nothing.
  driver.Choose(IDC_COLOR_SPACE, -1);
  for (const int id : {IDC_COLOR_SPACE, IDC_OUTPUT_SIZE}) {
    for (const UINT code : {CBN_DROPDOWN, CBN_CLOSEUP})
      SendMessageW(driver.Dialog(), WM_COMMAND, MAKEWPARAM(id, code),
                   reinterpret_cast<LPARAM>(GetDlgItem(driver.Dialog(), id)));
  }
  EXPECT_TRUE(stream.setSubTypes == chosen && stream.setSizes.empty());

  driver.Choose(IDC_OUTPUT_SIZE, 0);
  EXPECT_EQ(driver.Sizes().selected, 0);
  HWND combo = GetDlgItem(driver.Dialog(), IDC_OUTPUT_SIZE);
  for (const wchar_t* text : {L"wide", L"720 by 576"})
    driver.Choose(IDC_OUTPUT_SIZE,
                  static_cast<int>(SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text))));
  EXPECT_EQ(stream.setSizes, (std::vector<std::pair<UINT, UINT>>{{640, 480}, {0, 0}, {720, 0}}));
  EXPECT_EQ(stream.setSubTypes, chosen);
  EXPECT_EQ(driver.Page()->IsPageDirty(), S_FALSE);
  EXPECT_EQ(driver.Page()->Apply(), S_OK);
  EXPECT_EQ(driver.Site().statusChanges, 0);

  // The pin now offers only the current size: a list kept from the first
  // opening would place it at the wrong position.
  ASSERT_EQ(driver.Page()->Deactivate(), S_OK);
  stream.sizes = {{1280, 720}};
  RECT rect = {0, 0, 400, 300};
  ASSERT_EQ(driver.Page()->Activate(driver.Frame(), &rect, FALSE), S_OK);
  EXPECT_EQ(driver.Sizes().items, std::vector<std::wstring>{L"1280 x 720"});
  EXPECT_EQ(driver.Sizes().selected, 0);
  EXPECT_EQ(stream.setSubTypes, chosen);
  driver.Close();
}

// Over the module's own filters: the audio filter refuses the page; over the
// video filter the page shows the pin's list and its choices reach what the
// pin proposes.
TEST_F(PageTest, PageRefusesTheAudioFilterAndChangesTheVideoFiltersProposal) {
  ComPtr<IBaseFilter> audio, video;
  ASSERT_EQ(Create(AudioFilterIdText(kCamera), IID_IBaseFilter, audio.PutVoid()), S_OK);
  ASSERT_EQ(Create(VideoFilterIdText(kCamera), IID_IBaseFilter, video.PutVoid()), S_OK);
  PageDriver driver(NewPage());
  ASSERT_NE(driver.Page(), nullptr);
  EXPECT_EQ(driver.Open(audio.Get()), E_NOINTERFACE);
  ASSERT_EQ(driver.Page()->SetPageSite(nullptr), S_OK);
  ASSERT_EQ(driver.Open(video.Get()), S_OK);
  EXPECT_EQ(driver.ColorSpaces().selected, 2);
  const ComboState sizes = driver.Sizes();
  EXPECT_EQ(sizes.items, (std::vector<std::wstring>{L"1280 x 720", L"640 x 480", L"1280 x 720"}));
  EXPECT_EQ(sizes.selected, 0) << "the first entry equal to the current size";

  driver.Choose(IDC_COLOR_SPACE, 1);
  EXPECT_TRUE(IsEqualGUID(FirstProposal(video.Get()).first, MEDIASUBTYPE_YV12));
  driver.Choose(IDC_OUTPUT_SIZE, 1);
  const auto proposal = FirstProposal(video.Get());
  EXPECT_TRUE(IsEqualGUID(proposal.first, MEDIASUBTYPE_YV12)) << "the size choice keeps the chosen colour space";
  EXPECT_TRUE(proposal.second.cx == 640 && proposal.second.cy == 480);
  driver.Close();
  EXPECT_EQ(driver.ReleasePage(), 0u);
}

}  // namespace
}  // namespace telvor::test
