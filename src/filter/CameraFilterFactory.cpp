// The creation function behind every camera's class object.
#include "filter/CameraFilterFactory.h"

#include <new>

#include "base/Log.h"
#include "filter/Corvane.h"

CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry,
                          const CameraSite& site, HRESULT* hr) {
  if (!hr) return nullptr;
  if (!entry || cameraIndex >= static_cast<UINT>(kMaxCameras)) {
    TELVOR_ERROR_AT(L"Corvane", L"NewCameraFilter") << L"no camera entry for index " << cameraIndex;
    *hr = E_INVALIDARG;
    return nullptr;
  }
  return new (std::nothrow) Corvane(outer, mediaKind, cameraIndex, entry, site, hr);
}
