// Media types that own their format block.
//
// An AM_MEDIA_TYPE points at a separately allocated format block (task
// memory, as every DirectShow party frees it with CoTaskMemFree) and may hold
// a reference in pUnk. CMediaType owns both, so copies are deep and nothing
// leaks on an early return. The free functions serve the places where the
// platform wants bare task-memory types: enumerators, IAMStreamConfig results,
// samples carrying a new type.
#pragma once

#include <windows.h>
#include <strmif.h>

// Releases the format block and pUnk of `type` and clears them; the record
// itself stays (it may live on the stack or inside another object).
void FreeMediaType(AM_MEDIA_TYPE& type);
// Frees a task-memory AM_MEDIA_TYPE together with its format block; null is fine.
void DeleteMediaType(AM_MEDIA_TYPE* type);
// Deep copy of `source` into an uninitialised `target`: E_POINTER for null
// arguments, E_OUTOFMEMORY (target left empty) when the format cannot be copied.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
// A new task-memory AM_MEDIA_TYPE copied from `source`, owned by the caller
// (release with DeleteMediaType); null when memory runs out.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);

class CMediaType : public AM_MEDIA_TYPE {
 public:
  // An empty type: no major type, no format, fixed-size samples of 1 byte.
  CMediaType();
  explicit CMediaType(const GUID* majortype);
  // Deep copies; when the format block cannot be copied the result has no
  // format (IsValid() still reflects the major type).
  CMediaType(const AM_MEDIA_TYPE& other);  // NOLINT: implicit conversion is the point
  CMediaType(const CMediaType& other);
  CMediaType(CMediaType&& other) noexcept;
  ~CMediaType();

  CMediaType& operator=(const AM_MEDIA_TYPE& other);
  CMediaType& operator=(const CMediaType& other);
  CMediaType& operator=(CMediaType&& other) noexcept;

  // Deep copy reporting the outcome: S_OK or E_OUTOFMEMORY (this left empty).
  HRESULT Set(const AM_MEDIA_TYPE& other);
  // Compares types, subtypes, format types and format blocks byte for byte.
  bool operator==(const AM_MEDIA_TYPE& other) const;
  bool operator!=(const AM_MEDIA_TYPE& other) const { return !(*this == other); }

  // True when a major type is set.
  bool IsValid() const;
  // True when each GUID of `partial` is either GUID_NULL or equal to ours:
  // the check a caller's partly specified connection type asks for.
  bool MatchesPartial(const AM_MEDIA_TYPE& partial) const;
  // True when major type, subtype and format type are all given.
  static bool IsFullySpecified(const AM_MEDIA_TYPE& type);

  const GUID* Type() const { return &majortype; }
  const GUID* Subtype() const { return &subtype; }
  const GUID* FormatType() const { return &formattype; }
  void SetType(const GUID* type) { majortype = *type; }
  void SetSubtype(const GUID* type) { subtype = *type; }
  void SetFormatType(const GUID* type) { formattype = *type; }
  void SetSampleSize(ULONG size);
  void SetVariableSize();
  void SetTemporalCompression(BOOL compressed) { bTemporalCompression = compressed; }

  BYTE* Format() const { return pbFormat; }
  ULONG FormatLength() const { return cbFormat; }
  // Replaces the format block by `length` zero bytes; null when memory runs
  // out (the old block is gone either way).
  BYTE* AllocFormatBuffer(ULONG length);
  // Replaces the format block by a copy of `length` bytes at `format`.
  bool SetFormat(const BYTE* format, ULONG length);
  void ResetFormatBuffer();

 private:
  void Clear();
};
