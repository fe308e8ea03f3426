// The page as a host gets it: from a private copy of the built TELVOR.AX, over
// that module's own video filter, with the dialog from the module's resources.
#include <windows.h>
#include <dshow.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "framework/ComPtr.h"
#include "module/ModuleFixture.h"
#include "propertypage/PageDriver.h"
#include "support/CameraIndexes.h"
#include "support/DeviceRegistry.h"

namespace telvor::test {
namespace {

constexpr int kCamera = kPropertyPageCameras;  // camera number kCamera + 1 in the settings

// The camera number as settings keys end: two digits.
std::wstring KeyNumber() {
  wchar_t text[8];
  swprintf(text, 8, L"%02d", kCamera + 1);
  return text;
}
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// One camera in RGB24 with a default size that its format file repeats, so
// the pin's size list is 1280 x 720, 640 x 480, 1280 x 720.
std::string CameraSettings() {
  const std::string n = Narrow(KeyNumber());
  return "FILTERS=" + std::to_string(kCamera + 1) + "\r\nFILTER.VIDEO.NAME." + n + "=Page Test Camera\r\n" +
         "FILTER.AUDIO.NAME." + n + "=Page Test Microphone\r\nFILTER.COLORSPACE." + n + "=RGB24\r\n" +
         "FILTER.DEFAULT.OUTPUT.W." + n + "=1280\r\nFILTER.DEFAULT.OUTPUT.H." + n + "=720\r\n";
}
constexpr char kFormatFile[] =
    "[CONFIG]\r\nFILTER.OUTPUT.W.01=640\r\nFILTER.OUTPUT.H.01=480\r\n"
    "FILTER.OUTPUT.W.02=1280\r\nFILTER.OUTPUT.H.02=720\r\n";

class PageInModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    module_ = std::make_unique<LoadedModuleCopy>(kModuleFileName, CameraSettings());
    WriteTextFile(module_->Dir().File(L"TELVOR.FORMAT." + KeyNumber() + L".INI"), kFormatFile);
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
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, iid, out);
  }
  IPropertyPage* NewPage() {
    IPropertyPage* page = nullptr;
    EXPECT_EQ(Create(PropertyPageIdText(kCamera), IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    return page;
  }
  // Log lines equal to `line`, or with `partial`, containing it.
  size_t LogCount(const std::wstring& line, bool partial = false) const {
    const std::vector<std::wstring> lines = module_->LogLines();
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::wstring& l) {
      return partial ? l.find(line) != std::wstring::npos : l == line;
    }));
  }
  std::wstring Setting(const wchar_t* key) const {
    wchar_t value[64] = {};
    GetPrivateProfileStringW(L"CONFIG", key, L"", value, 64, module_->Dir().File(L"TELVOR.INI").c_str());
    return value;
  }
  // The first type the filter's pin proposes, as (subtype, width, height).
  static bool FirstProposal(IBaseFilter* filter, GUID* subtype, LONG* width, LONG* height) {
    ComPtr<IEnumPins> pins;
    ComPtr<IPin> pin;
    ComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* type = nullptr;
    if (FAILED(filter->EnumPins(pins.Put())) || pins->Next(1, pin.Put(), nullptr) != S_OK ||
        FAILED(pin->EnumMediaTypes(types.Put())) || types->Next(1, &type, nullptr) != S_OK)
      return false;
    const bool video = IsEqualGUID(type->formattype, FORMAT_VideoInfo) && type->cbFormat >= sizeof(VIDEOINFOHEADER);
    if (video) {
      const BITMAPINFOHEADER& header = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
      *subtype = type->subtype;
      *width = header.biWidth;
      *height = std::abs(header.biHeight);
    }
    CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
    return video;
  }

  std::unique_ptr<LoadedModuleCopy> module_;
};

TEST_F(PageInModuleTest, PageOverTheVideoFilterShowsAndChangesItsFormat) {
  ComPtr<IBaseFilter> filter;
  ASSERT_EQ(Create(VideoFilterIdText(kCamera), IID_IBaseFilter, filter.PutVoid()), S_OK);
  PageDriver driver(NewPage());
  ASSERT_NE(driver.Page(), nullptr);
  ASSERT_EQ(driver.Open(filter.Get()), S_OK);
  EXPECT_EQ(driver.Title(), L"Zentra Virtual Camera Property Dialog");
  EXPECT_EQ(driver.ColorSpaces().selected, 2);
  const ComboState sizes = driver.Sizes();
  EXPECT_EQ(sizes.items, (std::vector<std::wstring>{L"1280 x 720", L"640 x 480", L"1280 x 720"}));
  EXPECT_EQ(sizes.selected, 0) << "the first entry equal to the current size";

  driver.Choose(IDC_COLOR_SPACE, 1);
  EXPECT_EQ(LogCount(L"[TELVOR] SetSubType: MEDIASUBTYPE_YV12"), 1u);
  GUID subtype = GUID_NULL;
  LONG width = 0;
  LONG height = 0;
  ASSERT_TRUE(FirstProposal(filter.Get(), &subtype, &width, &height));
  EXPECT_TRUE(IsEqualGUID(subtype, MEDIASUBTYPE_YV12));

  driver.Choose(IDC_OUTPUT_SIZE, 1);
  EXPECT_EQ(LogCount(L"[TELVOR] SetOutputSize: 640,480"), 1u);
  EXPECT_EQ(Setting((L"FILTER.DEFAULT.OUTPUT.W." + KeyNumber()).c_str()), L"640");
  EXPECT_EQ(Setting((L"FILTER.DEFAULT.OUTPUT.H." + KeyNumber()).c_str()), L"480");
  ASSERT_TRUE(FirstProposal(filter.Get(), &subtype, &width, &height));
  EXPECT_TRUE(IsEqualGUID(subtype, MEDIASUBTYPE_YV12)) << "the size choice keeps the chosen colour space";
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 480);

  EXPECT_EQ(LogCount(L"SetSubType: ", true), 1u);
  EXPECT_EQ(LogCount(L"SetOutputSize: ", true), 1u);

  driver.Close();
  EXPECT_EQ(LogCount(L"[TELVOR] KT0519PropDlg::OnDisconnect: " + std::to_wstring(kCamera)), 1u);
  EXPECT_EQ(driver.ReleasePage(), 0u);
}

TEST_F(PageInModuleTest, TheAudioFilterRefusesThePage) {
  ComPtr<IBaseFilter> filter;
  ASSERT_EQ(Create(AudioFilterIdText(kCamera), IID_IBaseFilter, filter.PutVoid()), S_OK);
  PageDriver driver(NewPage());
  ASSERT_NE(driver.Page(), nullptr);
  IUnknown* objects[] = {filter.Get()};
  EXPECT_EQ(driver.Page()->SetObjects(1, objects), E_NOINTERFACE);
  RECT rect = {0, 0, 400, 300};
  EXPECT_EQ(driver.Page()->Activate(driver.Frame(), &rect, FALSE), E_UNEXPECTED);
  EXPECT_EQ(driver.ReleasePage(), 0u);
}

}  // namespace
}  // namespace telvor::test
