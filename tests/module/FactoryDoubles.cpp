// Stand-ins for the filter and property-page factories, so the tests see
// exactly what each creation function passes on.
#include "module/FactoryDoubles.h"

namespace telvor::test {
FactoryCall g_lastFactoryCall;
}

CUnknown* NewCameraFilter(LPUNKNOWN outer, const GUID& mediaKind, UINT cameraIndex, const FilterEntry* entry,
                          HRESULT* hr) {
  telvor::test::g_lastFactoryCall = {true, outer, mediaKind, static_cast<int>(cameraIndex), entry, hr};
  return nullptr;
}

CUnknown* NewPropertyPage(LPUNKNOWN outer, int cameraIndex, HRESULT* hr) {
  telvor::test::g_lastFactoryCall = {false, outer, GUID_NULL, cameraIndex, nullptr, hr};
  return nullptr;
}
