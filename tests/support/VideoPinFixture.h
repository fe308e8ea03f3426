// Helpers for camera pin tests: a video camera entry, and a camera filter
// created the way the class objects create it.
#pragma once

#include <windows.h>
#include <dshow.h>

#include "filter/Corvane.h"
#include "filter/video/CorvaneVideoStream.h"
#include "filter/video/VideoMediaTypes.h"
#include "framework/ComPtr.h"
#include "filter/CameraFilterFactory.h"
#include "module/ModuleStartup.h"
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

// A camera filter of `kind` as its class object makes it (in this process's
// site unless told another), and its pin (null when it could not be made).
// The entry and the site's paths must outlive it.
template <typename Pin>
Pin* NewCamera(const GUID& kind, int cameraIndex, const FilterEntry* entry, ComPtr<IBaseFilter>* filter,
               const CameraSite& site = ProcessCameraSite()) {
  HRESULT hr = S_OK;
  CUnknown* unknown = NewCameraFilter(nullptr, kind, cameraIndex, entry, site, &hr);
  if (unknown && FAILED(hr)) delete unknown;
  if (!unknown || FAILED(hr)) return nullptr;
  unknown->NonDelegatingQueryInterface(IID_IBaseFilter, filter->PutVoid());
  return dynamic_cast<Pin*>(dynamic_cast<Corvane*>(unknown)->GetPin(0));
}

struct Camera {
  ComPtr<IBaseFilter> filter;
  CorvaneVideoStream* pin = nullptr;

  static Camera Create(int cameraIndex, const FilterEntry* entry, const CameraSite& site = ProcessCameraSite()) {
    Camera camera;
    camera.pin = NewCamera<CorvaneVideoStream>(MEDIATYPE_Video, cameraIndex, entry, &camera.filter, site);
    return camera;
  }
};

inline CMediaType VideoType(REFGUID subtype, int width, int height, double fps) {
  CMediaType type;
  BuildVideoType(&type, subtype, width, height, fps);
  return type;
}

}  // namespace telvor::test
