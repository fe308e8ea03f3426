// Thousands of media types built from random fields (fixed seed, so a
// failure repeats) driven through everything a client can make the video pin
// do with a type: check, SetFormat, set, size the buffers, fill one sample.
// The sample buffers touch an inaccessible page on one side, so a write
// outside them faults; the pin's own fault guard would turn such a fault
// into an "Access violation!!" line, which therefore must never appear.
#include <gtest/gtest.h>

#include <windows.h>
#include <dshow.h>
#include <dvdmedia.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "RobustSupport.h"
#include "imaging/GuardedBuffer.h"
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

  LONG Side() {
    switch (Pick(10)) {
      case 0: return 0;
      case 1: return -(1 + Pick(2000));
      case 2: {
        const LONG edges[] = {100000, 65535, 65536, 16385, LONG_MAX, LONG_MIN, 1, 2, 3};
        return edges[Pick(9)];
      }
      default: return 1 + Pick(700);
    }
  }

  // A type and, for clients that pass raw types, its format block guarded.
  struct Made {
    AM_MEDIA_TYPE type = {};
    std::unique_ptr<GuardedBuffer> block;
    bool bounded = true;  // both sides at most 4096: safe to connect in a graph
  };

  Made Make() {
    Made made;
    AM_MEDIA_TYPE& t = made.type;
    const GUID majors[] = {MEDIATYPE_Audio, GUID_NULL, kStrangeGuid};
    t.majortype = Chance(85) ? MEDIATYPE_Video : majors[Pick(3)];
    const GUID good[] = {MEDIASUBTYPE_YV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_RGB32};
    const GUID bad[] = {MEDIASUBTYPE_RGB565, MEDIASUBTYPE_NV12, kStrangeGuid, GUID_NULL, MEDIASUBTYPE_PCM};
    t.subtype = Chance(75) ? good[Pick(4)] : bad[Pick(5)];
    const GUID formats[] = {FORMAT_None, FORMAT_WaveFormatEx, kStrangeGuid, GUID_NULL};
    const int f = Pick(10);
    t.formattype = f < 5 ? FORMAT_VideoInfo : f < 8 ? FORMAT_VideoInfo2 : formats[Pick(4)];
    const bool second = t.formattype == FORMAT_VideoInfo2;
    const std::size_t natural = second ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER);
    std::size_t bytes = Chance(80) ? natural : static_cast<std::size_t>(Pick(static_cast<int>(natural) + 64));
    made.block = std::make_unique<GuardedBuffer>(bytes ? bytes : 1);
    std::vector<BYTE> fields(natural + 64, 0);
    // Both headers begin with the rectangles, rates and frame time.
    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(fields.data());
    auto* info2 = reinterpret_cast<VIDEOINFOHEADER2*>(fields.data());
    BITMAPINFOHEADER* header = second ? &info2->bmiHeader : &info->bmiHeader;
    if (second) {
      info2->dwInterlaceFlags = Chance(30) ? rng_() : 0;
      info2->dwPictAspectRatioX = rng_() % 20;
      info2->dwPictAspectRatioY = rng_() % 20;
    }
    header->biSize = Chance(90) ? sizeof(BITMAPINFOHEADER) : rng_() % 100;
    header->biWidth = Side();
    header->biHeight = Side() * (Chance(20) ? -1 : 1);
    const WORD bits[] = {0, 8, 12, 16, 24, 32, 1, 64};
    header->biBitCount = Chance(80) ? static_cast<WORD>(t.subtype == MEDIASUBTYPE_RGB24 ? 24 : t.subtype == MEDIASUBTYPE_RGB32 ? 32 : t.subtype == MEDIASUBTYPE_YV12 ? 12 : 16) : bits[Pick(8)];
    header->biPlanes = 1;
    header->biCompression = Chance(80) ? t.subtype.Data1 : rng_();
    header->biSizeImage = Chance(70) ? 0 : rng_();
    if (Chance(20)) {
      info->rcSource = RECT{Pick(100) - 10, Pick(100) - 10, Pick(3000) - 10, Pick(3000) - 10};
      info->rcTarget = RECT{Pick(100) - 10, Pick(100) - 10, Pick(3000) - 10, Pick(3000) - 10};
    }
    const REFERENCE_TIME frames[] = {0, -1, 1, 333333, 400000, LLONG_MAX, LLONG_MIN, 10000000};
    info->AvgTimePerFrame = Chance(70) ? 333333 : frames[Pick(8)];
    std::memcpy(made.block->data(), fields.data(), bytes);
    t.cbFormat = static_cast<ULONG>(bytes);
    t.pbFormat = bytes ? made.block->data() : nullptr;
    t.bFixedSizeSamples = Chance(50);
    t.lSampleSize = rng_();
    const auto fits = [](LONG v) { return v >= -4096 && v <= 4096; };
    made.bounded = fits(header->biWidth) && fits(header->biHeight);
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
  Watchdog dog("RandomTypes", 240);
  LogCapture log;
  graph = std::make_unique<CameraGraph>();
  ASSERT_TRUE(graph->AddCamera(kStressCamera, 30.0));
  CorvaneVideoStream* pin = graph->Pin();
  ComPtr<IAMStreamConfig> config;
  ASSERT_EQ(S_OK, pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
  TypeMaker maker(20261206);
  int accepted = 0, sized = 0, filled = 0, connected = 0;
  for (int i = 0; i < kCases; ++i) {
    SCOPED_TRACE(i);
    TypeMaker::Made made = maker.Make();
    AM_MEDIA_TYPE& raw = made.type;
    CMediaType type;
    ASSERT_EQ(S_OK, type.Set(raw));

    // Every twentieth type is proposed through the graph instead.
    if (i % 20 == 0 && made.bounded) {
      const HRESULT hr = graph->TryConnect(&raw);
      if (SUCCEEDED(hr)) {
        ++connected;
      } else {
        EXPECT_TRUE(hr == VFW_E_TYPE_NOT_ACCEPTED || hr == E_FAIL || hr == VFW_E_NO_ACCEPTABLE_TYPES ||
                    hr == E_INVALIDARG)
            << std::hex << hr;
      }
      continue;
    }

    const HRESULT check = pin->CheckMediaType(&type);
    ASSERT_TRUE(check == S_OK || check == S_FALSE) << std::hex << check;
    // A picture the converter cannot produce is no type of ours either.
    const bool ours = raw.majortype == MEDIATYPE_Video && IsOurSubtype(raw.subtype) &&
                      !HasSideBeyond(raw, kMaxConverterSide);
    EXPECT_EQ(ours, check == S_OK);

    const HRESULT set = config->SetFormat(&raw);
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
    if (maker.Chance(15)) {
      TypeMaker::Made other = maker.Make();
      sample->SetMediaType(&other.type);
    }
    EXPECT_EQ(S_OK, pin->FillBuffer(sample.Get()));
    EXPECT_LE(sample->GetActualDataLength(), sample->GetSize());
    ++filled;
    ASSERT_EQ(0u, log.Count(L"Access violation")) << "a write outside the sample buffer";
  }
  EXPECT_EQ(S_OK, config->SetFormat(nullptr));
  // The seed exercises every path.
  EXPECT_GT(accepted, kCases / 3);
  EXPECT_GT(sized, kCases / 10);
  EXPECT_GT(filled, kCases / 10);
  EXPECT_GT(connected, 5);
}

}  // namespace
}  // namespace telvor::test
