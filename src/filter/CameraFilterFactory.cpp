// Camera filters are not part of this build yet: a class-object request for a
// configured camera fails cleanly instead of crashing the host.
#include "module/ClassObjects.h"
#include "module/Log.h"

CUnknown* NewCameraFilter(LPUNKNOWN, const GUID&, UINT cameraIndex, const FilterEntry*, HRESULT* hr) {
  TELVOR_ERROR_AT(L"CameraFilterFactory", L"NewCameraFilter")
      << L"camera filter " << cameraIndex << L" unavailable: no filter implementation in this build";
  if (hr) *hr = E_NOTIMPL;
  return nullptr;
}
