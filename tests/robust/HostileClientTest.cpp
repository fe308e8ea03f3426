// Clients that hand the video pin broken or random formats, null pointers and
// out-of-range indexes, and allocators that grant less than asked: each is
// answered with its exact HRESULT and nothing is written out of bounds.
// Format blocks the tests pass end at an inaccessible page, so reading past
// the bytes a client declared faults.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <utility>

#include "RobustSupport.h"
#include "support/AudioHost.h"
#include "imaging/SwScaler.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

// {6F5E1A02-11C8-4A0B-9C55-1D0E6B7A5C33}: a subtype no one knows.
const GUID kUnknownGuid = {0x6f5e1a02, 0x11c8, 0x4a0b, {0x9c, 0x55, 0x1d, 0x0e, 0x6b, 0x7a, 0x5c, 0x33}};
constexpr std::size_t kVih = sizeof(VIDEOINFOHEADER);

// A VIDEOINFOHEADER as far as `format_bytes` reach.
struct HostileType : GuardedType {
  HostileType(REFGUID major, REFGUID subtype, REFGUID formattype, std::size_t format_bytes, LONG width, LONG height)
      : GuardedType(major, subtype, formattype, format_bytes) {
    VIDEOINFOHEADER info = {};
    info.AvgTimePerFrame = 333333;
    const WORD bits = BitsPerPixel(subtype);
    const auto bytes = static_cast<DWORD>(static_cast<long long>(width) * height * bits / 8);
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, bits, bits >= 24 ? BI_RGB : subtype.Data1, bytes,
                      0, 0, 0, 0};
    std::memcpy(Block(), &info, std::min(format_bytes, sizeof info));
    Get()->lSampleSize = bytes;
  }
};

using HostileClient = RobustTest;

// Each type through SetFormat and as a connection proposal. Types that are
// not one of the pin's video types, or hold no whole picture header, are
// refused and never read past their end; sides beyond the converter's limit
// never connect. Nothing changes what the pin lists as its capabilities. Null
// pointers and sizes or indexes out of range get their exact codes first.
TEST_F(HostileClient, BrokenTypesNullPointersAndBadIndexesGetTheirExactCodes) {
  ASSERT_NO_FATAL_FAILURE(Add(kHostileLayoutCamera, 30.0));
  int offered = 0, capsSize = 0;
  EXPECT_EQ(E_POINTER, config->GetFormat(nullptr));
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(nullptr, &capsSize));
  EXPECT_EQ(E_POINTER, config->GetNumberOfCapabilities(&offered, nullptr));
  AM_MEDIA_TYPE* got = nullptr;
  VIDEO_STREAM_CONFIG_CAPS caps = {};
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, nullptr, reinterpret_cast<BYTE*>(&caps)));
  EXPECT_EQ(E_POINTER, config->GetStreamCaps(0, &got, nullptr));
  UINT w = 0, h = 0, v[8];
  LONGLONG big;
  EXPECT_EQ(E_INVALIDARG, control->GetSubType(nullptr));
  EXPECT_EQ(E_INVALIDARG, control->GetOutputSize(nullptr, &h));
  EXPECT_EQ(E_INVALIDARG, control->GetOutputSize(&w, nullptr));
  for (INT index : {-1, INT_MIN, 1, INT_MAX}) EXPECT_EQ(E_INVALIDARG, control->GetSupportedSize(index, &w, &h));
  EXPECT_EQ(E_INVALIDARG, control->GetSupportedSize(0, nullptr, &h));
  EXPECT_EQ(E_INVALIDARG, control->GetSupportedSize(0, &w, nullptr));
  EXPECT_EQ(E_POINTER, control->GetScaleStyle(nullptr));
  EXPECT_EQ(E_POINTER, control->GetDeinterlacing(nullptr));
  EXPECT_EQ(E_INVALIDARG, control->GetStatistics(nullptr, &v[1], &v[2], &v[3], &v[4], &big, &v[5], &v[6], &v[7]));
  EXPECT_EQ(E_INVALIDARG, control->GetStatistics(&v[0], &v[1], &v[2], &v[3], &v[4], nullptr, &v[5], &v[6], &v[7]));
  EXPECT_EQ(E_INVALIDARG, control->SetSubType(kUnknownGuid));
  EXPECT_EQ(E_INVALIDARG, control->SetSubType(GUID_NULL));
  for (const auto& [width, height] : {std::pair{16385u, 8u}, {100000u, 100000u}, {0xFFFFFFFFu, 1u},
                                      {0x80000000u, 0x80000000u}})
    EXPECT_EQ(E_INVALIDARG, control->SetOutputSize(width, height)) << width << "x" << height;
  // None of it changed the offer: one capability per offered type.
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&offered, &capsSize));
  EXPECT_EQ(6, offered);

  constexpr HRESULT kRefused = VFW_E_TYPE_NOT_ACCEPTED;
  const GUID kVideo = MEDIATYPE_Video, kYuy2 = MEDIASUBTYPE_YUY2, kInfo = FORMAT_VideoInfo;
  const struct {
    const char* name;
    LONG width, height;
    HRESULT set, connect;
    GUID subtype = MEDIASUBTYPE_RGB32, major = MEDIATYPE_Video, formattype = FORMAT_VideoInfo;
    std::size_t bytes = kVih;
  } cases[] = {
      {"audio major type", 64, 48, E_INVALIDARG, kRefused, kYuy2, MEDIATYPE_Audio},
      {"unknown subtype", 64, 48, E_INVALIDARG, kRefused, kUnknownGuid},
      {"RGB565", 64, 48, E_INVALIDARG, kRefused, MEDIASUBTYPE_RGB565},
      {"no major type", 64, 48, E_INVALIDARG, VFW_E_NO_ACCEPTABLE_TYPES, kYuy2, GUID_NULL},
      {"PCM", 0, 0, E_INVALIDARG, kRefused, MEDIASUBTYPE_PCM, MEDIATYPE_Audio, FORMAT_WaveFormatEx,
       sizeof(WAVEFORMATEX)},
      {"no block", 64, 48, E_INVALIDARG, kRefused, kYuy2, kVideo, kInfo, 0},
      {"short block", 64, 48, E_INVALIDARG, kRefused, kYuy2, kVideo, kInfo, 20},
      {"header cut", 64, 48, E_INVALIDARG, kRefused, kYuy2, kVideo, kInfo, kVih - 1},
      {"VideoInfo2 with a VideoInfo block", 64, 48, E_INVALIDARG, kRefused, kYuy2, kVideo, FORMAT_VideoInfo2},
      {"no format type", 64, 48, E_INVALIDARG, kRefused, kYuy2, kVideo, FORMAT_None},
      {"unknown format type", 64, 48, E_INVALIDARG, kRefused, kYuy2, kVideo, kUnknownGuid},
      {"zero size", 0, 0, E_INVALIDARG, kRefused, kYuy2},
      {"odd size", 63, 47, S_OK, S_OK, MEDIASUBTYPE_YV12},
      {"good", 64, 48, S_OK, S_OK, kYuy2},
      // Sides up to the converter's limit are pictures, top-down ones and single lines included.
      {"16384x1", 16384, 1, S_OK, S_OK},
      {"1x16384", 1, 16384, S_OK, S_OK},
      {"top-down", 64, -48, S_OK, S_OK},
      {"16385x1", 16385, 1, E_INVALIDARG, kRefused},
      {"1x16385", 1, 16385, E_INVALIDARG, kRefused},
      {"65535x1", 65535, 1, E_INVALIDARG, kRefused},
      {"65535x65535", 65535, 65535, E_INVALIDARG, kRefused},
      {"100000x100000", 100000, 100000, E_INVALIDARG, kRefused},
      {"LONG_MIN", LONG_MIN, LONG_MIN, E_INVALIDARG, kRefused},
      {"LONG_MAX", LONG_MAX, 2, E_INVALIDARG, kRefused},
      {"negative width", -64, 48, E_INVALIDARG, kRefused},
      {"zero width", 0, 48, E_INVALIDARG, kRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostileType type(c.major, c.subtype, c.formattype, c.bytes, c.width, c.height);
    EXPECT_EQ(c.set, config->SetFormat(type.Get()));
    int count = 0, size = 0;
    EXPECT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
    // The capabilities stay the offer, whatever was set.
    EXPECT_EQ(offered, count);
    EXPECT_EQ(S_OK, config->GetStreamCaps(0, &got, reinterpret_cast<BYTE*>(&caps)));
    DeleteMediaType(std::exchange(got, nullptr));
    const HRESULT sizeResult = control->GetOutputSize(&w, &h);
    EXPECT_TRUE(sizeResult == S_OK || sizeResult == E_ACCESSDENIED);
    EXPECT_EQ(c.connect, graph->TryConnect(type.Get()));
    EXPECT_EQ(S_OK, config->SetFormat(nullptr));
  }
  // Frame durations a camera cannot keep: the streaming thread would spin,
  // or sums of stream times overflow.
  for (const REFERENCE_TIME duration : {1LL, 9999LL, 100000001LL, LLONG_MAX / 5, -333333LL}) {
    HostileType type(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, kVih, 64, 48);
    std::memcpy(type.Block() + offsetof(VIDEOINFOHEADER, AvgTimePerFrame), &duration, sizeof duration);
    EXPECT_EQ(E_INVALIDARG, config->SetFormat(type.Get())) << duration;
    EXPECT_EQ(kRefused, graph->TryConnect(type.Get())) << duration;
  }
  // A block pointer that is null while its length claims a header.
  HostileType liar(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, kVih, 64, 48);
  liar.Get()->pbFormat = nullptr;
  const HRESULT hr = config->SetFormat(liar.Get());
  EXPECT_TRUE(hr == S_OK || hr == E_INVALIDARG) << std::hex << hr;
  EXPECT_EQ(S_OK, config->SetFormat(nullptr));
}

// Through the graph the sink offers a stingy allocator: the video pin falls
// back to its own, and the connection stands with buffers that hold the
// picture. The audio pin asks a client's allocator for 32 buffers of 64 KiB
// and refuses less; one that then fails to decommit: the pin still ends its
// channel thread on the way to stopped, so the next run starts instead of
// waiting for that thread forever with the filter's lock held.
TEST_F(HostileClient, AllocatorsThatGrantLessThanAskedOrFailToDecommit) {
  HostileType good(MEDIATYPE_Video, MEDIASUBTYPE_RGB24, FORMAT_VideoInfo, kVih, 65, 49);
  GuardedAllocator stingy(false, 100), failing;
  failing.SetDecommitResult(VFW_E_WRONG_STATE);
  TestSinkOptions options;
  options.offerAllocator = true;
  options.allocator = &stingy;
  CameraGraph video, audio;
  ASSERT_TRUE(video.AddCamera(kHostileLayoutCamera, 30.0, options));
  ASSERT_EQ(S_OK, video.Connect(good.Get()));
  ComPtr<IMemAllocator> chosen = video.Sink()->NotifiedAllocator();
  ASSERT_TRUE(chosen);
  EXPECT_NE(static_cast<IMemAllocator*>(&stingy), chosen.Get());
  ALLOCATOR_PROPERTIES props = {};
  ASSERT_EQ(S_OK, chosen->GetProperties(&props));
  const long needed = props.cbBuffer;
  EXPECT_GE(needed, (65 * 3 + 3) / 4 * 4 * 49) << "rows padded to four bytes";
  EXPECT_EQ(E_POINTER, video.Pin()->DecideBufferSize(nullptr, &props));
  EXPECT_EQ(E_POINTER, video.Pin()->DecideBufferSize(&stingy, nullptr));
  for (long granted : {needed - 1, 16L, 1L}) {
    GuardedAllocator short_one(false, granted);
    EXPECT_EQ(E_FAIL, video.Pin()->DecideBufferSize(&short_one, &props)) << granted;
  }

  options.allocator = &failing;
  ComPtr<AudioHost> host = AudioHost::Create(kHostileLayoutCamera);
  ASSERT_TRUE(audio.Add(host.Get(), host->pin, options));
  ASSERT_EQ(S_OK, audio.Connect(nullptr));
  ASSERT_EQ(S_OK, failing.GetProperties(&props));
  EXPECT_EQ(32, props.cBuffers);
  EXPECT_EQ(65536, props.cbBuffer);
  GuardedAllocator short_of_64k(false, 65535);
  EXPECT_EQ(E_FAIL, host->pin->DecideBufferSize(&short_of_64k, &props));
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    ASSERT_TRUE(SUCCEEDED(audio.Run()));
    EXPECT_TRUE(audio.Sink()->WaitForSamples(1, 5000));
    EXPECT_EQ(VFW_E_WRONG_STATE, audio.Stop());
  }
}

constexpr int kCases = 2500;

class TypeMaker {
 public:
  explicit TypeMaker(std::uint32_t seed) : rng_(seed) {}

  int Pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint32_t>(n)); }
  bool Chance(int percent) { return Pick(100) < percent; }
  template <typename T, std::size_t N>
  T OneOf(const T (&values)[N]) {
    return values[Pick(static_cast<int>(N))];
  }
  LONG Side() {
    const int kind = Pick(10);
    if (kind == 0) return 0;
    if (kind == 1) return -(1 + Pick(2000));
    if (kind == 2) return OneOf<LONG>({100000, 65535, 65536, 16385, LONG_MAX, LONG_MIN, 1, 2, 3});
    return 1 + Pick(700);
  }

  // Mostly a video type of ours with sound fields; now and then any field
  // wrong, and a format block cut short. Both headers begin with the
  // rectangles, the frame time and (after the second's own fields) the bitmap.
  std::unique_ptr<GuardedType> Make() {
    const GUID major = Chance(85) ? MEDIATYPE_Video : OneOf({MEDIATYPE_Audio, GUID_NULL, kUnknownGuid});
    const GUID subtype = Chance(75) ? OneOf({MEDIASUBTYPE_YV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32})
                                    : OneOf({MEDIASUBTYPE_RGB565, MEDIASUBTYPE_NV12, kUnknownGuid, GUID_NULL});
    const int f = Pick(10);
    const GUID formattype = f < 5 ? FORMAT_VideoInfo : f < 8 ? FORMAT_VideoInfo2
                                  : OneOf({FORMAT_None, FORMAT_WaveFormatEx, kUnknownGuid, GUID_NULL});
    const bool second = formattype == FORMAT_VideoInfo2;
    const std::size_t natural = second ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER);
    const std::size_t bytes = Chance(80) ? natural : static_cast<std::size_t>(Pick(static_cast<int>(natural) + 64));
    VIDEOINFOHEADER2 info = {};
    const std::size_t at = second ? offsetof(VIDEOINFOHEADER2, bmiHeader) : offsetof(VIDEOINFOHEADER, bmiHeader);
    BITMAPINFOHEADER& header = *reinterpret_cast<BITMAPINFOHEADER*>(reinterpret_cast<BYTE*>(&info) + at);
    if (second) {
      info.dwInterlaceFlags = Chance(30) ? rng_() : 0;
      info.dwPictAspectRatioX = rng_() % 20;
      info.dwPictAspectRatioY = rng_() % 20;
    }
    header.biSize = Chance(90) ? sizeof(BITMAPINFOHEADER) : rng_() % 100;
    header.biWidth = Side();
    header.biHeight = Side() * (Chance(20) ? -1 : 1);
    header.biBitCount = Chance(80) ? BitsPerPixel(subtype) : OneOf<WORD>({0, 8, 12, 16, 24, 32, 1, 64});
    header.biPlanes = 1;
    header.biCompression = Chance(80) ? (header.biBitCount >= 24 ? BI_RGB : subtype.Data1) : rng_();
    header.biSizeImage = Chance(70) ? 0 : rng_();
    if (Chance(20)) {
      info.rcSource = RECT{Pick(100) - 10, Pick(100) - 10, Pick(3000) - 10, Pick(3000) - 10};
      info.rcTarget = RECT{Pick(100) - 10, Pick(100) - 10, Pick(3000) - 10, Pick(3000) - 10};
    }
    info.AvgTimePerFrame = Chance(70) ? 333333 : OneOf({0LL, -1LL, 1LL, 400000LL, LLONG_MAX, LLONG_MIN, 10000000LL});
    auto made = std::make_unique<GuardedType>(major, subtype, formattype, bytes);
    std::memcpy(made->Block(), &info, std::min(bytes, sizeof info));
    made->Get()->bFixedSizeSamples = Chance(50);
    made->Get()->lSampleSize = rng_();
    return made;
  }

 private:
  std::mt19937 rng_;
};

bool IsOurSubtype(REFGUID s) {
  return s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_YUY2 || s == MEDIASUBTYPE_RGB24 || s == MEDIASUBTYPE_RGB32 ||
         s == MEDIASUBTYPE_NV12;
}

// Thousands of media types built from random fields (fixed seed, so a
// failure repeats) driven through everything a client can make the video pin
// do with a type: check, SetFormat, set, size the buffers, fill one sample.
// A write outside a sample buffer faults on its guard page, which the pin's
// fault guard turns into an "Access violation!!" line that must never appear.
TEST_F(HostileClient, RandomTypesThroughEveryStepAnswerProperlyAndOverrunNoSample) {
  LogCapture log;
  ASSERT_NO_FATAL_FAILURE(Add(kStressCamera, 30.0));
  CorvaneVideoStream* pin = graph->Pin();
  TypeMaker maker(20261206);
  int accepted = 0, sized = 0;
  for (int i = 0; i < kCases; ++i) {
    SCOPED_TRACE(i);
    const std::unique_ptr<GuardedType> made = maker.Make();
    const AM_MEDIA_TYPE& raw = *made->Get();
    CMediaType type;
    ASSERT_EQ(S_OK, type.Set(raw));
    const HRESULT check = pin->CheckMediaType(&type);
    ASSERT_TRUE(check == S_OK || check == S_FALSE) << std::hex << check;
    // A picture the converter cannot produce is no type of ours either; one
    // whose header contradicts its subtype connects only once SetFormat has
    // set it right.
    const bool ours = raw.majortype == MEDIATYPE_Video && IsOurSubtype(raw.subtype) &&
                      !HasSideBeyond(raw, kMaxConverterSide);
    const bool rate = HasUsableFrameDuration(raw);
    EXPECT_EQ(ours && rate && IsConsistentVideoType(raw), check == S_OK);

    CMediaType normalised;
    ASSERT_EQ(S_OK, normalised.Set(raw));
    const bool settable = ours && rate && NormaliseVideoType(&normalised);
    const HRESULT set = config->SetFormat(made->Get());
    EXPECT_EQ(settable ? S_OK : E_INVALIDARG, set) << std::hex << set;
    EXPECT_TRUE(!settable || IsConsistentVideoType(normalised));
    config->SetFormat(nullptr);  // a set format would bind the next checks
    if (check != S_OK) continue;
    ++accepted;
    ASSERT_EQ(S_OK, pin->SetMediaType(&type));

    GuardedAllocator allocator(i % 2 == 1, maker.Chance(10) ? 1 + maker.Pick(4096) : 0);
    ALLOCATOR_PROPERTIES request = {};
    const HRESULT decided = pin->DecideBufferSize(&allocator, &request);
    ASSERT_TRUE(decided == S_OK || decided == E_FAIL || decided == E_INVALIDARG) << std::hex << decided;
    if (decided != S_OK) continue;
    ++sized;
    ASSERT_EQ(S_OK, allocator.Commit());
    ComPtr<IMediaSample> sample;
    ASSERT_EQ(S_OK, allocator.GetBuffer(sample.Put(), nullptr, nullptr, 0));
    // Now and then the downstream pin asks for another format on the sample.
    if (maker.Chance(15)) sample->SetMediaType(maker.Make()->Get());
    EXPECT_EQ(S_OK, pin->FillBuffer(sample.Get()));
    EXPECT_LE(sample->GetActualDataLength(), sample->GetSize());
    ASSERT_EQ(0u, log.Count(L"Access violation")) << "a write outside the sample buffer";
  }
  EXPECT_EQ(S_OK, config->SetFormat(nullptr));
  // The seed exercises every path.
  EXPECT_GT(accepted, kCases / 8);
  EXPECT_GT(sized, kCases / 10);
}

}  // namespace
}  // namespace telvor::test
