// The list of types a video pin offers, from the camera's settings and the
// host program. Hosts that cannot cope with our general list get their own.
#include "filter/video/VideoOffer.h"

#include <dshow.h>
#include <dvdmedia.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <tuple>

#include "base/Log.h"
#include "filter/video/VideoMediaTypes.h"
#include "imaging/SwScaler.h"
#include "settings/SettingsKeys.h"
#include "settings/ZentraSettings.h"

namespace {

constexpr wchar_t kUnit[] = L"CorvaneVideoStream";

struct EdiusType {
  bool interlaced;
  int width;
  int height;
  double fps;
};

// EDIUS only connects to the broadcast formats of its project settings.
constexpr EdiusType kEdiusTypes[] = {
    {false, 1920, 1080, 30.0},          {false, 1920, 1080, 30000.0 / 1001}, {false, 1920, 1080, 25.0},
    {true, 1920, 1080, 30.0},           {true, 1920, 1080, 30000.0 / 1001},  {true, 1920, 1080, 25.0},
    {false, 1280, 720, 30.0},           {false, 1280, 720, 30000.0 / 1001},  {false, 1280, 720, 25.0},
    {false, 720, 480, 60000.0 / 1001},  {false, 720, 480, 60.0},             {true, 720, 480, 30000.0 / 1001},
    {false, 720, 576, 50.0},            {true, 720, 576, 25.0},
};

// Subtype, size, frame duration and interlacing as one ordered key: a format file may list
// thousands of sizes, and comparing each new type with every offered one made
// building the offer quadratic in the list.
using FormatKey = std::tuple<std::uint64_t, std::uint64_t, std::uint32_t, std::uint32_t, std::int64_t, bool>;

FormatKey KeyOf(const AM_MEDIA_TYPE& type) {
  const OutputFormat format = DescribeVideoType(type);
  std::uint64_t subtype[2];
  static_assert(sizeof(subtype) == sizeof(GUID), "a GUID is two 64-bit words");
  std::memcpy(subtype, &format.subtype, sizeof(subtype));
  return {subtype[0], subtype[1], format.width, format.height, format.frameDuration, format.interlaced};
}

class OfferBuilder {
 public:
  OfferBuilder(const HostInfo& host, VideoOffer& offer) : host_(host), offer_(offer) {}

  // Types describing a format already offered add nothing.
  void Append(CMediaType&& type) {
    if (!offered_.insert(KeyOf(type)).second) return;
    offer_.types.push_back(std::move(type));
  }
  void Append(REFGUID subtype, int width, int height, double fps, bool interlaced = false) {
    CMediaType type;
    const HRESULT hr = interlaced ? BuildVideoType2(&type, subtype, width, height, fps)
                                  : BuildVideoType(&type, subtype, width, height, fps);
    // A size beyond what a buffer can hold; the builder has logged it.
    if (FAILED(hr)) return;
    Append(std::move(type));
  }
  void AddOutputSize(int width, int height, double fps) {
    if (width > kMaxConverterSide || height > kMaxConverterSide) {
      TELVOR_ERROR_AT(kUnit, L"CorvaneVideoStream::AddOutputSize")
          << width << L'x' << height << L" not offered: a side is longer than " << kMaxConverterSide;
      return;
    }
    if (host_.isEdius || host_.isYyMixer) {
      Append(MEDIASUBTYPE_YUY2, width, height, fps);
    } else {
      // I420 and NV12 come last so that clients that take the first 4:2:0
      // type (FFmpeg's yuv420p) keep getting YV12.
      const GUID* const order[] = {&MEDIASUBTYPE_YV12,  &MEDIASUBTYPE_YUY2,         &MEDIASUBTYPE_RGB32,
                                   &MEDIASUBTYPE_RGB24, &telvor::kMediaSubtypeI420, &MEDIASUBTYPE_NV12};
      for (const GUID* subtype : order) Append(*subtype, width, height, fps);
    }
    offer_.sizes.emplace_back(static_cast<UINT>(width), static_cast<UINT>(height));
  }

 private:
  const HostInfo& host_;
  VideoOffer& offer_;
  std::set<FormatKey> offered_;
};

}  // namespace

VideoOffer BuildVideoOffer(const HostInfo& host, const FilterEntry& entry, double cameraFps, double sourceFps,
                           const wchar_t* formatFile) {
  VideoOffer offer;
  OfferBuilder builder(host, offer);
  if (host.isEdius) {
    for (const EdiusType& type : kEdiusTypes) {
      builder.Append(MEDIASUBTYPE_YUY2, type.width, type.height, type.fps, type.interlaced);
    }
    return offer;
  }
  if (host.isSkype) {
    builder.Append(MEDIASUBTYPE_YV12, 1920, 1080, sourceFps);
    builder.Append(MEDIASUBTYPE_YV12, 1280, 720, sourceFps);
    offer.sizes.emplace_back(1920u, 1080u);
    offer.sizes.emplace_back(1280u, 720u);
  } else if (entry.defaultWidth > 0 && entry.defaultHeight > 0) {
    builder.AddOutputSize(entry.defaultWidth, entry.defaultHeight, cameraFps);
  }
  const ConfigIntReader sizes(formatFile);
  for (int n = 1;; ++n) {
    const int width = sizes.Get(settings::NumberedKey(settings::kOutputWidth, n).c_str(), 0);
    const int height = sizes.Get(settings::NumberedKey(settings::kOutputHeight, n).c_str(), 0);
    if (width == 0 || height == 0) break;
    // A negative entry is a typing error in the file: skip it rather than
    // refuse the whole camera. Oversized ones the builder refuses and logs.
    if (width < 0 || height < 0) {
      TELVOR_ERROR_AT(kUnit, L"CorvaneVideoStream::AddOutputSize")
          << width << L'x' << height << L" not offered: a side is negative";
      continue;
    }
    builder.AddOutputSize(width, height, cameraFps);
  }
  if (offer.types.empty()) builder.AddOutputSize(1280, 720, cameraFps);
  return offer;
}
