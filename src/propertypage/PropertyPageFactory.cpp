#include "propertypage/PropertyPageFactory.h"

#include <new>

#include "propertypage/KT0519PropDlg.h"

CUnknown* NewPropertyPage(LPUNKNOWN outer, int cameraIndex, HRESULT*) {
  // Constructing the page cannot fail; only memory can run out, which the
  // class object reports for a null result.
  return new (std::nothrow) KT0519PropDlg(outer, cameraIndex);
}
