#include "framework/MediaType.h"

#include <cstring>
#include <utility>

void FreeMediaType(AM_MEDIA_TYPE& type) {
  if (type.pbFormat) CoTaskMemFree(type.pbFormat);
  type.pbFormat = nullptr;
  type.cbFormat = 0;
  if (type.pUnk) type.pUnk->Release();
  type.pUnk = nullptr;
}

void DeleteMediaType(AM_MEDIA_TYPE* type) {
  if (!type) return;
  FreeMediaType(*type);
  CoTaskMemFree(type);
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
  if (!target || !source) return E_POINTER;
  *target = *source;
  target->pbFormat = nullptr;
  target->cbFormat = 0;
  // A length without a block (or the reverse) is a malformed type from
  // outside; copy it as "no format" rather than read through a bad pointer.
  if (source->cbFormat != 0 && source->pbFormat) {
    target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
    if (!target->pbFormat) {
      target->pUnk = nullptr;
      return E_OUTOFMEMORY;
    }
    std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
    target->cbFormat = source->cbFormat;
  }
  if (target->pUnk) target->pUnk->AddRef();
  return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source) {
  if (!source) return nullptr;
  auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (!type) return nullptr;
  if (FAILED(CopyMediaType(type, source))) {
    CoTaskMemFree(type);
    return nullptr;
  }
  return type;
}

CMediaType::CMediaType() : AM_MEDIA_TYPE() { Clear(); }

CMediaType::CMediaType(const GUID* majortype_) : CMediaType() { majortype = *majortype_; }

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE() {
  if (FAILED(CopyMediaType(this, &other))) Clear();
}

CMediaType::CMediaType(const CMediaType& other) : CMediaType(static_cast<const AM_MEDIA_TYPE&>(other)) {}

CMediaType::CMediaType(CMediaType&& other) noexcept : AM_MEDIA_TYPE(other) {
  other.pbFormat = nullptr;
  other.cbFormat = 0;
  other.pUnk = nullptr;
  other.Clear();
}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other) {
  Set(other);
  return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other) {
  Set(other);
  return *this;
}

CMediaType& CMediaType::operator=(CMediaType&& other) noexcept {
  if (this != &other) {
    FreeMediaType(*this);
    static_cast<AM_MEDIA_TYPE&>(*this) = other;
    other.pbFormat = nullptr;
    other.cbFormat = 0;
    other.pUnk = nullptr;
    other.Clear();
  }
  return *this;
}

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& other) {
  if (&other == this) return S_OK;
  AM_MEDIA_TYPE copy;
  HRESULT hr = CopyMediaType(&copy, &other);
  FreeMediaType(*this);
  if (FAILED(hr)) {
    Clear();
    return hr;
  }
  static_cast<AM_MEDIA_TYPE&>(*this) = copy;
  return S_OK;
}

bool CMediaType::operator==(const AM_MEDIA_TYPE& other) const {
  if (!IsEqualGUID(majortype, other.majortype) || !IsEqualGUID(subtype, other.subtype) ||
      !IsEqualGUID(formattype, other.formattype) || cbFormat != other.cbFormat) {
    return false;
  }
  if (cbFormat == 0) return true;
  if (!pbFormat || !other.pbFormat) return pbFormat == other.pbFormat;
  return std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0;
}

bool CMediaType::IsValid() const { return !IsEqualGUID(majortype, GUID_NULL); }

bool CMediaType::MatchesPartial(const AM_MEDIA_TYPE& partial) const {
  auto matches = [](const GUID& wanted, const GUID& ours) {
    return IsEqualGUID(wanted, GUID_NULL) || IsEqualGUID(wanted, ours);
  };
  if (!matches(partial.majortype, majortype) || !matches(partial.subtype, subtype) ||
      !matches(partial.formattype, formattype)) {
    return false;
  }
  // A partial type that names a format type and carries a block wants exactly that block.
  if (!IsEqualGUID(partial.formattype, GUID_NULL) && partial.cbFormat != 0) {
    return partial.cbFormat == cbFormat && pbFormat && partial.pbFormat &&
           std::memcmp(partial.pbFormat, pbFormat, cbFormat) == 0;
  }
  return true;
}

bool CMediaType::IsFullySpecified(const AM_MEDIA_TYPE& type) {
  return !IsEqualGUID(type.majortype, GUID_NULL) && !IsEqualGUID(type.subtype, GUID_NULL) &&
         !IsEqualGUID(type.formattype, GUID_NULL);
}

void CMediaType::SetSampleSize(ULONG size) {
  if (size == 0) {
    SetVariableSize();
  } else {
    bFixedSizeSamples = TRUE;
    lSampleSize = size;
  }
}

void CMediaType::SetVariableSize() {
  bFixedSizeSamples = FALSE;
  lSampleSize = 0;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length) {
  ResetFormatBuffer();
  if (length == 0) return nullptr;
  pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(length));
  if (!pbFormat) return nullptr;
  std::memset(pbFormat, 0, length);
  cbFormat = length;
  return pbFormat;
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length) {
  if (length != 0 && !format) return false;
  BYTE* block = AllocFormatBuffer(length);
  if (length == 0) return true;
  if (!block) return false;
  std::memcpy(block, format, length);
  return true;
}

void CMediaType::ResetFormatBuffer() {
  if (pbFormat) CoTaskMemFree(pbFormat);
  pbFormat = nullptr;
  cbFormat = 0;
}

void CMediaType::Clear() {
  static_cast<AM_MEDIA_TYPE&>(*this) = AM_MEDIA_TYPE();
  bFixedSizeSamples = TRUE;
  lSampleSize = 1;
}
