// The property page is not part of this build yet: a class-object request
// for it fails cleanly instead of crashing the host.
#include "module/ClassObjects.h"
#include "module/Log.h"

CUnknown* NewPropertyPage(LPUNKNOWN, int cameraIndex, HRESULT* hr) {
  TELVOR_ERROR_AT(L"PropertyPageFactory", L"NewPropertyPage")
      << L"property page " << cameraIndex << L" unavailable: no page implementation in this build";
  if (hr) *hr = E_NOTIMPL;
  return nullptr;
}
