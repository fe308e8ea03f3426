// FillBuffer against a sample a downstream pin controls: a new media type
// attached to the sample.
#include <gtest/gtest.h>

#include <vector>

#include "support/LogCapture.h"
#include "VideoPinFixture.h"

namespace telvor::test {
namespace {

// The part of IMediaSample FillBuffer uses, over a buffer of a given size
// with a guard area behind it.
class FakeSample : public IMediaSample {
 public:
  FakeSample(long size, const AM_MEDIA_TYPE* attached) : size_(size), bytes_(size + kGuard, 0xEE) {
    if (attached) attached_ = CreateMediaType(attached);
  }
  ~FakeSample() { DeleteMediaType(attached_); }
  static constexpr long kGuard = 4096;
  bool GuardIntact() const {
    for (long i = size_; i < size_ + kGuard; ++i) {
      if (bytes_[i] != 0xEE) return false;
    }
    return true;
  }
  const BYTE* Data() const { return bytes_.data(); }
  long actual = -1;
  bool sync = false, discontinuity = false;

  STDMETHODIMP QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetPointer(BYTE** buffer) override {
    *buffer = bytes_.data();
    return S_OK;
  }
  STDMETHODIMP_(long) GetSize() override { return size_; }
  STDMETHODIMP GetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return VFW_E_SAMPLE_TIME_NOT_SET; }
  STDMETHODIMP SetTime(REFERENCE_TIME*, REFERENCE_TIME*) override { return S_OK; }
  STDMETHODIMP IsSyncPoint() override { return sync ? S_OK : S_FALSE; }
  STDMETHODIMP SetSyncPoint(BOOL value) override {
    sync = value;
    return S_OK;
  }
  STDMETHODIMP IsPreroll() override { return S_FALSE; }
  STDMETHODIMP SetPreroll(BOOL) override { return S_OK; }
  STDMETHODIMP_(long) GetActualDataLength() override { return actual; }
  STDMETHODIMP SetActualDataLength(long length) override {
    actual = length;
    return S_OK;
  }
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** type) override {
    *type = attached_;
    attached_ = nullptr;
    return *type ? S_OK : S_FALSE;
  }
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE*) override { return S_OK; }
  STDMETHODIMP IsDiscontinuity() override { return discontinuity ? S_OK : S_FALSE; }
  STDMETHODIMP SetDiscontinuity(BOOL value) override {
    discontinuity = value;
    return S_OK;
  }
  STDMETHODIMP GetMediaTime(LONGLONG*, LONGLONG*) override { return VFW_E_MEDIA_TIME_NOT_SET; }
  STDMETHODIMP SetMediaTime(LONGLONG*, LONGLONG*) override { return S_OK; }

 private:
  long size_;
  std::vector<BYTE> bytes_;
  AM_MEDIA_TYPE* attached_ = nullptr;
};

class VideoPinFill : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    entry = MakeVideoEntry(kVideoPinCameras + 11);
    camera = Camera::Create(kVideoPinCameras + 11, &entry);
    ASSERT_TRUE(camera.pin);
    const CMediaType yuy2 = VideoType(MEDIASUBTYPE_YUY2, 320, 240, 30.0);
    ASSERT_EQ(S_OK, camera.pin->SetMediaType(&yuy2));
  }
  void TearDown() override {
    camera = Camera();
    CoUninitialize();
  }
  FilterEntry entry = {};
  Camera camera;
};

TEST_F(VideoPinFill, TypeAttachedToASampleIsAppliedToThatSample) {
  LogCapture log;
  const CMediaType rgb32 = VideoType(MEDIASUBTYPE_RGB32, 160, 120, 30.0);
  FakeSample sample(160 * 120 * 4, &rgb32);
  ASSERT_EQ(S_OK, camera.pin->FillBuffer(&sample));
  const OutputFormat now = camera.pin->CurrentOutputFormat();
  EXPECT_EQ(MEDIASUBTYPE_RGB32, now.subtype);
  EXPECT_EQ(160u, now.width);
  EXPECT_EQ(160 * 120 * 4, sample.actual);
  for (long i = 0; i < 160 * 120 * 4; ++i) ASSERT_EQ(0, sample.Data()[i]) << i;
  EXPECT_TRUE(sample.GuardIntact());
  EXPECT_TRUE(sample.sync);
  EXPECT_TRUE(sample.discontinuity);
  EXPECT_EQ(1u, log.Count(L"--------- OUTPUT change media type ---------"));
  EXPECT_EQ(1u, log.Count(L"--------------------------------------------"));
}

}  // namespace
}  // namespace telvor::test
