// A source filter: a CBaseFilter that owns its output pins and their state
// lock. Pins add themselves on construction (CSourceStream does it) and are
// deleted with the filter.
#pragma once

#include <vector>

#include "framework/BaseFilter.h"

class CSourceStream;

class CSource : public CBaseFilter {
 public:
  CSource(const wchar_t* objectName, LPUNKNOWN outer, REFCLSID clsid, HRESULT* hr = nullptr);
  // Stops streaming if still active, then deletes the pins.
  ~CSource() override;

  // A live source cannot cue: while paused its pins deliver nothing, so a
  // graph must not wait for its renderers to receive a first sample before
  // it runs (VFW_S_CANT_CUE, where other filters answer S_OK).
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;

  int GetPinCount() override;
  CBasePin* GetPin(int n) override;

  // Called by CSourceStream's constructor and destructor.
  HRESULT AddPin(CSourceStream* pin);
  HRESULT RemovePin(CSourceStream* pin);
  // Position of `pin` in the pin array, or -1.
  int FindPinNumber(IPin* pin);

 protected:
  CCritSec m_cStateLock;  // guards state changes, connection and negotiation
  // The pin array is guarded by the info lock: it is read from clients' Receive.
  std::vector<CSourceStream*> m_paStreams;
  int m_iPins = 0;
};
