// Walks a filter's pins. When the filter's pin set changes, the walk starts
// over from the first pin but never returns a pin it has already returned.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <vector>

#include "framework/Unknown.h"

class CBaseFilter;
class CBasePin;

class CEnumPins : public CStandaloneUnknown<IEnumPins, IID_IEnumPins> {
 public:
  // Holds a reference on the filter. `copyFrom` clones another enumerator's place.
  CEnumPins(CBaseFilter* filter, const CEnumPins* copyFrom);
  ~CEnumPins() override;

  // IEnumPins: each returned pin carries a reference for the caller.
  STDMETHODIMP Next(ULONG count, IPin** pins, ULONG* fetched) override;
  STDMETHODIMP Skip(ULONG count) override;
  STDMETHODIMP Reset() override;
  STDMETHODIMP Clone(IEnumPins** clone) override;

 private:
  void Resynchronise();
  // The next pin not yet returned, or null at the end.
  CBasePin* Advance();

  CBaseFilter* m_pFilter;
  int m_Position = 0;
  int m_PinCount = 0;
  LONG m_Version = 0;
  std::vector<CBasePin*> m_Returned;  // identity only, never dereferenced
};
