// IKsPropertySet as a capture pin answers it: the only property is the pin's
// category, and it is read-only. Capture applications (FFmpeg among them)
// look for an output pin whose category is PIN_CATEGORY_CAPTURE and ignore a
// source whose pin does not answer, so both camera pins mix this in.
//
// The mixing class supplies IUnknown (DECLARE_IUNKNOWN) and answers
// IID_IKsPropertySet in its NonDelegatingQueryInterface.
#pragma once

#include <windows.h>
#include <strmif.h>

namespace telvor {

class CapturePinCategory : public IKsPropertySet {
 public:
  // Bytes of the one property value: a GUID.
  static constexpr DWORD kCategoryBytes = sizeof(GUID);

  // --- IKsPropertySet ---
  // Nothing is writable.
  STDMETHODIMP Set(REFGUID set, DWORD id, void* instanceData, DWORD instanceLength, void* data,
                   DWORD dataLength) override;
  STDMETHODIMP Get(REFGUID set, DWORD id, void* instanceData, DWORD instanceLength, void* data, DWORD dataLength,
                   DWORD* returned) override;
  STDMETHODIMP QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

 protected:
  CapturePinCategory() = default;
  ~CapturePinCategory() = default;
};

}  // namespace telvor
