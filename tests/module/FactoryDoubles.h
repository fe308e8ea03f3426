#pragma once

#include "module/ClassObjects.h"

namespace telvor::test {

struct FactoryCall {
  bool filter;  // false: property page
  LPUNKNOWN outer;
  GUID mediaKind;
  int cameraIndex;
  const FilterEntry* entry;
  HRESULT* hr;
};
extern FactoryCall g_lastFactoryCall;

}  // namespace telvor::test
