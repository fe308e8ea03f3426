// What applications see of a camera filter and its video pin: the filter's
// interfaces, IAMStreamConfig and the control interface.
#include <gtest/gtest.h>

#include <dshow.h>

#include <algorithm>
#include <climits>
#include <string>

#include "module/ModulePaths.h"
#include "module/ModuleStartup.h"
#include "framework/TestSource.h"
#include "support/LogCapture.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

class VideoPinConfig : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    // The settings then live beside this program (or in its registry key).
    StartModule(nullptr);
  }
  void TearDown() override {
    control.Reset();
    config.Reset();
    sink.Reset();
    camera = Camera();
    ComTest::TearDown();
  }
  void Create(int index, int defaultWidth = 0, int defaultHeight = 0) {
    entry = MakeVideoEntry(index, 30.0, defaultWidth, defaultHeight);
    camera = Camera::Create(index, &entry);
    ASSERT_TRUE(camera.pin);
    ASSERT_EQ(S_OK, camera.filter.QueryInto(IID_ICorvaneVideoStream, control.PutVoid()));
    ASSERT_EQ(S_OK, camera.pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
  }

  FilterEntry entry = {};
  Camera camera;
  ComPtr<ICorvaneVideoStream> control;
  ComPtr<IAMStreamConfig> config;
  ComPtr<TestSink> sink;
};

OutputFormat Describe(AM_MEDIA_TYPE* type) {
  const OutputFormat format = DescribeVideoType(*type);
  DeleteMediaType(type);
  return format;
}

// IAMStreamConfig through the pin's states. GetStreamCaps at odd indexes
// gives the fixed type wherever the pin has one (the offer's: HostileClient).
TEST_F(VideoPinConfig, StreamConfigThroughThePinsStatesAndATypeAttachedToASample) {
  Create(kVideoPinCameras + 8, 1281, 720);
  struct Row {
    int index;
    HRESULT result;
    const GUID* subtype = nullptr;
    LONG capsWidth = 0;  // 0: the type's width
  };
  auto check = [&](const char* state, int count, std::initializer_list<Row> rows) {
    SCOPED_TRACE(state);
    int n = 0, size = 0;
    ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&n, &size));
    EXPECT_TRUE(n == count && size == 128) << n;
    for (const Row& row : rows) {
      SCOPED_TRACE(row.index);
      AM_MEDIA_TYPE* type = nullptr;
      VIDEO_STREAM_CONFIG_CAPS caps = {};
      EXPECT_EQ(row.result, config->GetStreamCaps(row.index, &type, reinterpret_cast<BYTE*>(&caps)));
      if (row.result != S_OK || !type) continue;
      const OutputFormat format = Describe(type);
      EXPECT_TRUE(*row.subtype == format.subtype && caps.guid == FORMAT_VideoInfo && caps.MinFrameInterval == 333333);
      EXPECT_TRUE(caps.MaxOutputSize.cx == (row.capsWidth ? row.capsWidth : LONG(format.width)) &&
                  caps.MinOutputSize.cy == LONG(format.height));
    }
  };
  auto current = [&] {
    AM_MEDIA_TYPE* type = nullptr;
    EXPECT_EQ(S_OK, config->GetFormat(&type));
    return type ? Describe(type).subtype : GUID_NULL;
  };
  const GUID *yuy2 = &MEDIASUBTYPE_YUY2, *rgb24 = &MEDIASUBTYPE_RGB24;
  // YV12, YUY2, RGB32, RGB24 at the default size, its width padded.
  check("offer", 4, {{1, S_OK, yuy2, 1282}, {3, S_OK, rgb24, 1282}});
  CMediaType type = VideoType(MEDIASUBTYPE_RGB24, 640, 480, 30.0);
  ASSERT_EQ(S_OK, config->SetFormat(&type));
  check("current", 1, {{-1, S_OK, rgb24}, {INT_MIN, S_OK, rgb24}, {9, S_OK, rgb24}});
  EXPECT_EQ(MEDIASUBTYPE_RGB24, current());
  // A current type without a picture has nothing to force a subtype on.
  CMediaType bare;
  bare.SetType(&MEDIATYPE_Video);
  bare.SetSubtype(&MEDIASUBTYPE_YUY2);
  bare.SetFormatType(&FORMAT_None);
  ASSERT_EQ(S_OK, config->SetFormat(&bare));
  EXPECT_EQ(E_ACCESSDENIED, control->SetSubType(MEDIASUBTYPE_RGB32));
  ASSERT_EQ(S_OK, config->SetFormat(nullptr));
  EXPECT_EQ(MEDIASUBTYPE_YV12, current());

  // A type without a frame duration connects at the camera's rate.
  TestSinkOptions options;
  options.acceptedTypes = {VideoType(MEDIASUBTYPE_YUY2, 1280, 720, 0.0)};
  sink = TestSink::Create(options);
  ASSERT_EQ(S_OK, camera.pin->Connect(sink->InputPin(), &options.acceptedTypes[0]));
  EXPECT_EQ(333333, camera.pin->CurrentOutputFormat().frameDuration);
  check("connected", 1, {});
  GUID subtype;
  UINT width = 0, height = 0;
  ASSERT_EQ(S_OK, control->GetSubType(&subtype));
  ASSERT_EQ(S_OK, control->GetOutputSize(&width, &height));
  EXPECT_TRUE(subtype == MEDIASUBTYPE_YUY2 && width == 1280 && height == 720);
  CMediaType proposed;
  ASSERT_EQ(S_OK, camera.pin->GetMediaType(0, &proposed));
  EXPECT_TRUE(proposed == camera.pin->CurrentMediaType()) << "the connected type alone";
  EXPECT_EQ(E_INVALIDARG, camera.pin->GetMediaType(-1, &proposed));
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, camera.pin->GetMediaType(5, &proposed));
  camera.pin->Disconnect();
  sink->InputPin()->Disconnect();

  ASSERT_EQ(S_OK, control->SetSubType(MEDIASUBTYPE_YUY2));
  ASSERT_EQ(S_OK, config->SetFormat(nullptr));
  check("forced", 1, {{-1, S_OK, yuy2}, {INT_MIN, S_OK, yuy2}, {0, S_OK, yuy2}, {1, S_FALSE}});

  // A type downstream attaches to a sample: that very sample is filled in it
  // (black: no producer), and nothing beyond.
  const CMediaType qvga = VideoType(MEDIASUBTYPE_YUY2, 320, 240, 30.0);
  ASSERT_EQ(S_OK, camera.pin->SetMediaType(&qvga));
  ComPtr<IMemAllocator> allocator;
  ComPtr<IMediaSample> sample;
  ALLOCATOR_PROPERTIES request = {0, 0, 1, 0};  // the memory allocator takes no alignment of 0
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   allocator.PutVoid()));
  ASSERT_EQ(S_OK, camera.pin->DecideBufferSize(allocator.Get(), &request));
  ASSERT_EQ(S_OK, allocator->Commit());
  ASSERT_EQ(S_OK, allocator->GetBuffer(sample.Put(), nullptr, nullptr, 0));
  BYTE* data = nullptr;
  ASSERT_EQ(S_OK, sample->GetPointer(&data));
  std::fill(data, data + sample->GetSize(), BYTE{0xEE});
  CMediaType rgb32 = VideoType(MEDIASUBTYPE_RGB32, 160, 120, 30.0);
  ASSERT_EQ(S_OK, sample->SetMediaType(&rgb32));

  ASSERT_EQ(S_OK, camera.pin->FillBuffer(sample.Get()));
  const OutputFormat now = camera.pin->CurrentOutputFormat();
  EXPECT_TRUE(now.subtype == MEDIASUBTYPE_RGB32 && now.width == 160u);
  constexpr long kPicture = 160 * 120 * 4;
  ASSERT_EQ(kPicture, sample->GetActualDataLength());
  EXPECT_TRUE(std::all_of(data, data + kPicture, [](BYTE b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(data + kPicture, data + sample->GetSize(), [](BYTE b) { return b == 0xEE; }));
  EXPECT_TRUE(sample->IsSyncPoint() == S_OK && sample->IsDiscontinuity() == S_OK);
  sample.Reset();
  allocator->Decommit();
}

// The page and the pin's control interface through the filter. A size set
// forces the only capability (kept in the settings: PageTest), a forced
// subtype narrows the proposals. Numbers entered as REG_DWORD, as users are
// told to, come from the camera's own registry keys (this program has no
// settings file).
TEST_F(VideoPinConfig, FilterGivesItsPageAndAControlThatForcesTheOnlyCapability) {
  Create(kVideoPinCameras + 10);
  ComPtr<ISpecifyPropertyPages> pages;
  ASSERT_EQ(S_OK, camera.filter.QueryInto(IID_ISpecifyPropertyPages, pages.PutVoid()));
  CAUUID ids = {};
  ASSERT_EQ(S_OK, pages->GetPages(&ids));
  EXPECT_TRUE(ids.cElems == 1 && ids.pElems[0] == PropertyPageId(kVideoPinCameras + 10));
  CoTaskMemFree(ids.pElems);
  EXPECT_EQ(E_POINTER, pages->GetPages(nullptr));
  ComPtr<ICorvaneVideoStream> fromPin;
  ASSERT_EQ(S_OK, camera.pin->QueryInterface(IID_ICorvaneVideoStream, fromPin.PutVoid()));
  EXPECT_EQ(fromPin.Get(), control.Get());

  UINT width = 7, height = 7;
  ASSERT_EQ(S_OK, control->GetOutputSize(&width, &height));
  EXPECT_TRUE(width == 0 && height == 0) << "no default size and nothing set yet";
  ASSERT_EQ(S_OK, control->SetOutputSize(640, 480));
  int count = 0, size = 0;
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  ASSERT_EQ(S_OK, control->GetOutputSize(&width, &height));
  EXPECT_TRUE(count == 1 && width == 640u);

  ASSERT_EQ(S_OK, control->SetSubType(MEDIASUBTYPE_RGB32));
  CMediaType proposed;
  ASSERT_EQ(S_OK, camera.pin->GetMediaType(0, &proposed));
  EXPECT_TRUE(proposed.subtype == MEDIASUBTYPE_RGB32 && DescribeVideoType(proposed).width == 640);
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, camera.pin->GetMediaType(1, &proposed));
  const CMediaType other = VideoType(MEDIASUBTYPE_RGB32, 320, 240, 30.0);
  EXPECT_EQ(S_FALSE, camera.pin->CheckMediaType(&other));
  EXPECT_EQ(S_OK, camera.pin->CheckMediaType(&proposed));
  ASSERT_EQ(S_OK, control->GetSupportedSize(0, &width, &height));
  EXPECT_EQ(1280u, width);  // the fallback size of a camera without sizes
  LONG value = 0;
  EXPECT_EQ(E_NOTIMPL, control->GetInput(&width));
  EXPECT_EQ(E_NOTIMPL, control->GetProperty(235, &value));

  const std::wstring ini = GetModulePaths().iniPath;
  const std::wstring key = L"Software\\TELVOR\\" + ini.substr(ini.rfind(L'\\') + 1) + L"\\CONFIG";
  const DWORD two = 2;
  RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"FILTER.DEINTERLACING.36", REG_DWORD, &two, 4);
  LogCapture log;
  UINT style = 9, mode = 9;
  ASSERT_EQ(S_OK, control->SetScaleStyle(1));
  ASSERT_EQ(S_OK, control->GetScaleStyle(&style));
  ASSERT_EQ(S_OK, control->GetDeinterlacing(&mode));
  EXPECT_TRUE(style == 1 && mode == 2);
  EXPECT_EQ(0u, log.Count(L"[TELVOR][ERROR]"));
  RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"FILTER.DEINTERLACING.36");
  ASSERT_EQ(S_OK, control->GetDeinterlacing(&mode));
  EXPECT_EQ(1u, mode) << "its default, with no value";
  RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"FILTER.SCALE.STYLE.36");
}

}  // namespace
}  // namespace telvor::test
