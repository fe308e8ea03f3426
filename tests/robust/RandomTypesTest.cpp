// Thousands of media types built from random fields (fixed seed, so a
// failure repeats) driven through everything a client can make the video pin
// do with a type: check, SetFormat, set, size the buffers, fill one sample.
// A write outside a sample buffer faults on its guard page, which the pin's
// fault guard turns into an "Access violation!!" line that must never appear.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>

#include <climits>
#include <cstring>
#include <random>

#include "RobustSupport.h"
#include "imaging/SwScaler.h"
#include "support/LogCapture.h"

namespace telvor::test {
namespace {

constexpr int kCases = 2500;
const GUID kStrangeGuid = {0x2b1a4c1e, 0x7d0f, 0x4e2b, {0x91, 0x3a, 0x55, 0x0c, 0x6d, 0x21, 0x8e, 0x40}};

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
    const GUID major = Chance(85) ? MEDIATYPE_Video : OneOf({MEDIATYPE_Audio, GUID_NULL, kStrangeGuid});
    const GUID subtype = Chance(75) ? OneOf({MEDIASUBTYPE_YV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32})
                                    : OneOf({MEDIASUBTYPE_RGB565, MEDIASUBTYPE_NV12, kStrangeGuid, GUID_NULL});
    const int f = Pick(10);
    const GUID formattype = f < 5 ? FORMAT_VideoInfo : f < 8 ? FORMAT_VideoInfo2
                                  : OneOf({FORMAT_None, FORMAT_WaveFormatEx, kStrangeGuid, GUID_NULL});
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
    header.biCompression = Chance(80) ? subtype.Data1 : rng_();
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
  return s == MEDIASUBTYPE_YV12 || s == MEDIASUBTYPE_YUY2 || s == MEDIASUBTYPE_RGB24 || s == MEDIASUBTYPE_RGB32;
}

using RandomTypes = RobustTest;

TEST_F(RandomTypes, EveryStepAnswersProperlyAndNoSampleIsOverrun) {
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
    // A picture the converter cannot produce is no type of ours either.
    const bool ours = raw.majortype == MEDIATYPE_Video && IsOurSubtype(raw.subtype) &&
                      !HasSideBeyond(raw, kMaxConverterSide);
    EXPECT_EQ(ours, check == S_OK);

    const HRESULT set = config->SetFormat(made->Get());
    EXPECT_EQ(ours ? S_OK : E_INVALIDARG, set) << std::hex << set;
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
  EXPECT_GT(accepted, kCases / 3);
  EXPECT_GT(sized, kCases / 10);
}

}  // namespace
}  // namespace telvor::test
