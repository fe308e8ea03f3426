// Walks a pin's offered types by position. The pin's type version is taken
// at creation (and at Reset); once the pin changes its list, Next, Skip and
// Clone answer VFW_E_ENUM_OUT_OF_SYNC until Reset.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include "framework/Unknown.h"

class CBasePin;

class CEnumMediaTypes : public CStandaloneUnknown<IEnumMediaTypes, IID_IEnumMediaTypes> {
 public:
  // Holds a reference on the pin (and so on its filter). `copyFrom` clones
  // another enumerator's position and version; null starts at the first type.
  CEnumMediaTypes(CBasePin* pin, const CEnumMediaTypes* copyFrom);
  ~CEnumMediaTypes() override;

  // IEnumMediaTypes
  // Each returned type is task memory owned by the caller (DeleteMediaType).
  // Without `fetched` only one type may be asked for (else E_INVALIDARG).
  STDMETHODIMP Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumMediaTypes** clone) override;

 private:
  bool InSync() const;

  CBasePin* m_pPin;
  int m_Position;
  LONG m_Version;
};
