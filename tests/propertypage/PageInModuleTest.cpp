// The page as a host gets it: from a private copy of the built TELVOR.AX, over
// that module's own video filter, with the dialog from the module's resources.
#include <windows.h>
#include <dshow.h>
#include <ocidl.h>

#include <gtest/gtest.h>

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
static_assert(kCamera < 9, "settings keys end in the two-digit camera number");
const std::string kNumber = "0" + std::to_string(kCamera + 1);

class PageInModuleTest : public ::testing::Test {
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
  std::wstring Setting(const char* key) const {
    const std::string name = key + kNumber;
    wchar_t value[64] = {};
    GetPrivateProfileStringW(L"CONFIG", std::wstring(name.begin(), name.end()).c_str(), L"", value, 64,
                             module_->Dir().File(L"TELVOR.INI").c_str());
    return value;
  }
  // The first type the filter's pin proposes: subtype, width and height.
  static bool FirstProposal(IBaseFilter* filter, GUID* subtype, SIZE* size) {
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
      *size = {header.biWidth, std::abs(header.biHeight)};
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
  EXPECT_EQ(driver.ColorSpaces().selected, 2);
  const ComboState sizes = driver.Sizes();
  EXPECT_EQ(sizes.items, (std::vector<std::wstring>{L"1280 x 720", L"640 x 480", L"1280 x 720"}));
  EXPECT_EQ(sizes.selected, 0) << "the first entry equal to the current size";

  driver.Choose(IDC_COLOR_SPACE, 1);
  GUID subtype = GUID_NULL;
  SIZE size = {};
  ASSERT_TRUE(FirstProposal(filter.Get(), &subtype, &size));
  EXPECT_TRUE(IsEqualGUID(subtype, MEDIASUBTYPE_YV12));

  driver.Choose(IDC_OUTPUT_SIZE, 1);
  EXPECT_EQ(Setting("FILTER.DEFAULT.OUTPUT.W.") + L"x" + Setting("FILTER.DEFAULT.OUTPUT.H."), L"640x480");
  ASSERT_TRUE(FirstProposal(filter.Get(), &subtype, &size));
  EXPECT_TRUE(IsEqualGUID(subtype, MEDIASUBTYPE_YV12)) << "the size choice keeps the chosen colour space";
  EXPECT_EQ(size.cx * 10000 + size.cy, 640 * 10000 + 480);

  driver.Close();
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
