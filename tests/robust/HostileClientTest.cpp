// Clients that hand the video pin broken formats, null pointers and
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
#include <utility>

#include "RobustSupport.h"
#include "filter/AudioHost.h"

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
// not one of the pin's video types are refused; blocks that are short,
// missing or of another format are taken as the client's choice of subtype
// and never read past their end; sides beyond the converter's limit never
// connect. Only a type the pin can produce changes what it offers. Null
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
  EXPECT_EQ(4, offered);

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
      {"no block", 64, 48, S_OK, E_FAIL, kYuy2, kVideo, kInfo, 0},
      {"short block", 64, 48, S_OK, E_FAIL, kYuy2, kVideo, kInfo, 20},
      {"header cut", 64, 48, S_OK, E_FAIL, kYuy2, kVideo, kInfo, kVih - 1},
      {"VideoInfo2 with a VideoInfo block", 64, 48, S_OK, E_FAIL, kYuy2, kVideo, FORMAT_VideoInfo2},
      {"no format type", 64, 48, S_OK, E_FAIL, kYuy2, kVideo, FORMAT_None},
      {"unknown format type", 64, 48, S_OK, E_FAIL, kYuy2, kVideo, kUnknownGuid},
      {"zero size", 0, 0, S_OK, E_FAIL, kYuy2},
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
      {"negative width", -64, 48, S_OK, E_FAIL},
      {"zero width", 0, 48, S_OK, E_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostileType type(c.major, c.subtype, c.formattype, c.bytes, c.width, c.height);
    EXPECT_EQ(c.set, config->SetFormat(type.Get()));
    int count = 0, size = 0;
    EXPECT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
    // A type the pin can produce is all it offers then; SetFormat takes a
    // negative width as such a type too, though no connection does.
    EXPECT_EQ(c.connect == S_OK || (c.width < 0 && c.set == S_OK) ? 1 : offered, count);
    EXPECT_EQ(S_OK, config->GetStreamCaps(0, &got, reinterpret_cast<BYTE*>(&caps)));
    DeleteMediaType(std::exchange(got, nullptr));
    const HRESULT sizeResult = control->GetOutputSize(&w, &h);
    EXPECT_TRUE(sizeResult == S_OK || sizeResult == E_ACCESSDENIED);
    EXPECT_EQ(c.connect, graph->TryConnect(type.Get()));
    EXPECT_EQ(S_OK, config->SetFormat(nullptr));
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

}  // namespace
}  // namespace telvor::test
