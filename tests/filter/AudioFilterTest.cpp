// The audio camera as hosts get it: the camera filter built for the audio
// kind, and the same filter created through the built module's class object.
#include <gtest/gtest.h>

#include <dshow.h>

#include "filter/Corvane.h"
#include "filter/CorvaneAudioStream.h"
#include "filter/ICorvaneVideoStream.h"
#include "framework/ComPtr.h"
#include "module/ClassObjects.h"
#include "support/CameraIndexes.h"
#include "support/TestSink.h"
#include "support/WinTestSupport.h"

namespace telvor::test {
namespace {

constexpr int kFilterCamera = kAudioPinCameras + 6;
constexpr int kModuleCamera = kAudioPinCameras + 7;

class AudioFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(AudioFilterTest, AudioKindBuildsOneAudioPinAndNoVideoInterfaces) {
  FilterEntry entry = {};
  entry.clsid = AudioFilterId(kFilterCamera);
  entry.index = kFilterCamera;
  HRESULT hr = S_OK;
  CUnknown* object = NewCameraFilter(nullptr, MEDIATYPE_Audio, kFilterCamera, &entry, &hr);
  ASSERT_NE(nullptr, object);
  ASSERT_EQ(S_OK, hr);
  ComPtr<IBaseFilter> filter;
  ASSERT_EQ(S_OK, object->NonDelegatingQueryInterface(IID_IBaseFilter, filter.PutVoid()));

  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, filter->QueryInterface(IID_ICorvaneVideoStream, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_NOINTERFACE, filter->QueryInterface(IID_ISpecifyPropertyPages, &out));
  ComPtr<IAMFilterMiscFlags> flags;
  ASSERT_EQ(S_OK, filter.As(&flags));
  EXPECT_EQ(static_cast<ULONG>(AM_FILTER_MISC_FLAGS_IS_SOURCE), flags->GetMiscFlags());
  CLSID clsid;
  ASSERT_EQ(S_OK, filter->GetClassID(&clsid));
  EXPECT_EQ(AudioFilterId(kFilterCamera), clsid);

  {
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, filter->EnumPins(pins.Put()));
    ComPtr<IPin> pin, more;
    ASSERT_EQ(S_OK, pins->Next(1, pin.Put(), nullptr));
    EXPECT_EQ(S_FALSE, pins->Next(1, more.Put(), nullptr));
    PIN_INFO info = {};
    ASSERT_EQ(S_OK, pin->QueryPinInfo(&info));
    info.pFilter->Release();
    EXPECT_STREQ(L"", info.achName) << "no setting names the audio pin";
    ComPtr<IAMStreamConfig> config;
    EXPECT_EQ(S_OK, pin.As(&config));
  }
  flags.Reset();
  EXPECT_EQ(0u, filter.Detach()->Release());
}

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

TEST_F(AudioFilterTest, ModuleClassObjectMakesAStreamingAudioCamera) {
  TempDir dir;
  ASSERT_TRUE(CopyFileTo(BuiltModulePath(), dir.File(L"TELVOR.AX")));
  const std::string number = std::to_string(kModuleCamera + 1);
  WriteTextFile(dir.File(L"TELVOR.INI"),
                "[CONFIG]\r\nFILTERS=" + number + "\r\nFILTER.AUDIO.NAME." + number + "=Module audio\r\n");
  HMODULE module = LoadLibraryW(dir.File(L"TELVOR.AX").c_str());
  ASSERT_NE(nullptr, module);
  {
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    ASSERT_NE(nullptr, getClassObject);
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, getClassObject(AudioFilterId(kModuleCamera), IID_IClassFactory, factory.PutVoid()));
    ComPtr<IBaseFilter> camera;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IBaseFilter, camera.PutVoid()));

    ComPtr<TestSink> sink = TestSink::Create();
    ComPtr<IGraphBuilder> graph;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph.PutVoid()));
    ASSERT_EQ(S_OK, graph->AddFilter(camera.Get(), L"camera"));
    ASSERT_EQ(S_OK, graph->AddFilter(sink.Get(), L"sink"));
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(S_OK, camera->EnumPins(pins.Put()));
    ComPtr<IPin> out;
    ASSERT_EQ(S_OK, pins->Next(1, out.Put(), nullptr));
    ASSERT_EQ(S_OK, graph->ConnectDirect(out.Get(), sink->InputPin(), nullptr));
    ComPtr<IMediaControl> control;
    ASSERT_EQ(S_OK, graph.As(&control));
    ASSERT_TRUE(SUCCEEDED(control->Run()));
    EXPECT_TRUE(sink->WaitForSamples(3, 3000));
    ASSERT_EQ(S_OK, control->Stop());
  }
  FreeLibrary(module);
}

}  // namespace
}  // namespace telvor::test
