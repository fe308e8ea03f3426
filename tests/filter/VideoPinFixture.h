// Helpers for video pin tests: a camera entry, a camera filter created the
// way the class objects create it, and a producer feeding the camera.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <cstring>
#include <vector>

#include "filter/Corvane.h"
#include "filter/CorvaneVideoStream.h"
#include "filter/VideoMediaTypes.h"
#include "framework/ComPtr.h"
#include "module/ClassObjects.h"
#include "support/CameraIndexes.h"
#include "telvor_producer.h"

namespace telvor::test {

template <size_t N>
void CopyName(wchar_t (&target)[N], const wchar_t* name) {
  size_t i = 0;
  for (; name[i] && i + 1 < N; ++i) target[i] = name[i];
  target[i] = L'\0';
}

inline FilterEntry MakeVideoEntry(int cameraIndex, double fps = 30.0, int width = 0, int height = 0) {
  FilterEntry entry = {};
  entry.clsid = VideoFilterId(cameraIndex);
  CopyName(entry.name, L"Test camera");
  CopyName(entry.videoPinName, L"Video");
  entry.defaultWidth = width;
  entry.defaultHeight = height;
  entry.fps = fps;
  entry.subtype = MEDIASUBTYPE_YV12;
  entry.index = cameraIndex;
  return entry;
}

// A camera filter as its class object makes it. The entry must outlive it.
struct Camera {
  ComPtr<IBaseFilter> filter;
  Corvane* object = nullptr;
  CorvaneVideoStream* pin = nullptr;

  static Camera Create(int cameraIndex, const FilterEntry* entry, HRESULT* result = nullptr) {
    Camera camera;
    HRESULT hr = S_OK;
    CUnknown* unknown = NewCameraFilter(nullptr, MEDIATYPE_Video, cameraIndex, entry, &hr);
    if (result) *result = hr;
    if (!unknown) return camera;
    if (FAILED(hr)) {
      delete unknown;
      return camera;
    }
    unknown->NonDelegatingQueryInterface(IID_IBaseFilter, camera.filter.PutVoid());
    camera.object = dynamic_cast<Corvane*>(unknown);
    camera.pin = dynamic_cast<CorvaneVideoStream*>(camera.object->GetPin(0));
    return camera;
  }
};

inline CMediaType VideoType(REFGUID subtype, int width, int height, double fps) {
  CMediaType type;
  BuildVideoType(&type, subtype, width, height, fps);
  return type;
}

// A producer of this process feeding one camera.
class Producer {
 public:
  Producer(int cameraIndex, std::uint32_t width, std::uint32_t height, std::uint32_t capacity = 0) {
    const telvor_video_format format = {TELVOR_FOURCC_YUY2, width, height, 30.0, capacity};
    result_ = telvor_open_video(cameraIndex, 0, &format, &channel_);
    frame_.resize(static_cast<size_t>(width) * height * 2);
  }
  ~Producer() {
    if (channel_) telvor_close(channel_);
  }
  bool Ok() const { return result_ == TELVOR_OK; }
  std::uint32_t Capacity() const { return telvor_capacity(channel_); }
  // A frame whose every byte is `value`, or as much of it as the slot holds.
  bool Write(std::uint8_t value) {
    std::memset(frame_.data(), value, frame_.size());
    const std::uint32_t length = std::min<std::uint32_t>(static_cast<std::uint32_t>(frame_.size()), Capacity());
    return telvor_write(channel_, frame_.data(), length, TELVOR_TIMESTAMP_NOW) == TELVOR_OK;
  }

 private:
  telvor_channel* channel_ = nullptr;
  telvor_result result_ = TELVOR_E_INVALIDARG;
  std::vector<std::uint8_t> frame_;
};

}  // namespace telvor::test
