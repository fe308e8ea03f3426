#include "filter/CapturePinCategory.h"

#include <uuids.h>
#include <vfwmsgs.h>

#include <cstring>

namespace telvor {

STDMETHODIMP CapturePinCategory::Set(REFGUID, DWORD, void*, DWORD, void*, DWORD) { return E_NOTIMPL; }

STDMETHODIMP CapturePinCategory::Get(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD dataLength,
                                     DWORD* returned) {
  if (set != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (!data && !returned) return E_POINTER;
  if (returned) *returned = kCategoryBytes;
  // A caller may ask for the size alone before it allocates.
  if (!data) return S_OK;
  if (dataLength < kCategoryBytes) return E_UNEXPECTED;
  std::memcpy(data, &PIN_CATEGORY_CAPTURE, kCategoryBytes);
  return S_OK;
}

STDMETHODIMP CapturePinCategory::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
  if (set != AMPROPSETID_Pin) return E_PROP_SET_UNSUPPORTED;
  if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (support) *support = KSPROPERTY_SUPPORT_GET;
  return S_OK;
}

}  // namespace telvor
