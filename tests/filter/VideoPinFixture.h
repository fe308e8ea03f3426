// Helpers for video pin tests: a camera entry, and a camera filter created
// the way the class objects create it.
#pragma once

#include <windows.h>
#include <dshow.h>

#include "filter/Corvane.h"
#include "filter/CorvaneVideoStream.h"
#include "filter/VideoMediaTypes.h"
#include "framework/ComPtr.h"
#include "module/ClassObjects.h"
#include "support/CameraIndexes.h"
#include "support/TestSink.h"

namespace telvor::test {

inline FilterEntry MakeVideoEntry(int cameraIndex, double fps = 30.0, int width = 0, int height = 0) {
  FilterEntry entry = {};
  entry.clsid = VideoFilterId(cameraIndex);
  lstrcpynW(entry.name, L"Test camera", ARRAYSIZE(entry.name));
  lstrcpynW(entry.videoPinName, L"Video", ARRAYSIZE(entry.videoPinName));
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

}  // namespace telvor::test
