#include "framework/EnumMediaTypes.h"

#include "framework/BasePin.h"
#include "framework/MediaType.h"

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin, const CEnumMediaTypes* copyFrom)
    : CStandaloneUnknown(L"Media type enumerator"),
      m_pPin(pin),
      m_Position(copyFrom ? copyFrom->m_Position : 0),
      m_Version(copyFrom ? copyFrom->m_Version : pin->GetMediaTypeVersion()) {
  m_pPin->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { m_pPin->Release(); }

// --- IEnumMediaTypes ---

bool CEnumMediaTypes::InSync() const { return m_pPin->GetMediaTypeVersion() == m_Version; }

STDMETHODIMP CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
  if (!types) return E_POINTER;
  if (!fetched && count != 1) return E_INVALIDARG;
  if (fetched) *fetched = 0;
  if (!InSync()) return VFW_E_ENUM_OUT_OF_SYNC;

  ULONG returned = 0;
  while (returned < count) {
    CMediaType type;
    if (m_pPin->GetMediaType(m_Position, &type) != S_OK) break;
    AM_MEDIA_TYPE* copy = CreateMediaType(&type);
    if (!copy) {
      // Hand back what was built; the caller owns those and learns of the rest.
      if (returned == 0) return E_OUTOFMEMORY;
      break;
    }
    types[returned++] = copy;
    ++m_Position;
  }
  if (fetched) *fetched = returned;
  return returned == count ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumMediaTypes::Skip(ULONG count) {
  if (!InSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  for (ULONG i = 0; i < count; ++i) {
    CMediaType type;
    if (m_pPin->GetMediaType(m_Position, &type) != S_OK) return S_FALSE;
    ++m_Position;
  }
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Reset() {
  m_Position = 0;
  m_Version = m_pPin->GetMediaTypeVersion();
  return S_OK;
}

STDMETHODIMP CEnumMediaTypes::Clone(IEnumMediaTypes** clone) {
  if (!clone) return E_POINTER;
  *clone = nullptr;
  if (!InSync()) return VFW_E_ENUM_OUT_OF_SYNC;
  return NewStandalone<CEnumMediaTypes>(clone, m_pPin, this);
}
