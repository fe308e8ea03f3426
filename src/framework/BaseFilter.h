// The filter half of the framework: state changes, clock, graph membership.
//
// A filter is stopped, paused or running. Pause from Stopped activates every
// connected pin (a source pin starts its streaming thread there); Stop
// deactivates them. All of it happens under the filter's state lock, which
// the pins share for connection and negotiation. A stop holds it while it
// waits for the streaming threads, so nothing a client may call from its
// Receive (QueryInterface, GetState, the filter's and pins' informational
// calls, IAMStreamConfig's reads) takes it: those read under the info lock,
// which is only ever held for a few instructions and never while waiting
// for another thread. Writers take the state lock first, then the info lock.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <string>

#include "framework/ComPtr.h"
#include "base/Handle.h"
#include "framework/Unknown.h"

class CBasePin;
struct FilterSetup;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
 public:
  // `lock` is the state lock, owned by the subclass (CSource owns one) and
  // shared with the pins; it must outlive the filter.
  CBaseFilter(const wchar_t* objectName, LPUNKNOWN outer, CCritSec* lock, REFCLSID clsid, HRESULT* hr = nullptr);
  ~CBaseFilter() override;

  DECLARE_IUNKNOWN
  // IBaseFilter, IMediaFilter, IPersist, IAMovieSetup, IUnknown.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // --- own operations ---
  // Clock time minus the run start time; VFW_E_NO_CLOCK without a clock.
  virtual HRESULT StreamTime(REFERENCE_TIME& time);
  // Changes whenever pins are added or removed; pin enumerators compare it.
  virtual LONG GetPinVersion();
  virtual int GetPinCount() = 0;
  // The n-th pin without a reference added; null when out of range.
  virtual CBasePin* GetPin(int n) = 0;
  // Registration record for IAMovieSetup; none by default.
  virtual const FilterSetup* GetSetupData();

  // --- IPersist ---
  STDMETHODIMP GetClassID(CLSID* clsid) override;

  // --- IMediaFilter ---
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME start) override;
  // Always S_OK: a live source has no intermediate state to report.
  STDMETHODIMP GetState(DWORD timeoutMs, FILTER_STATE* state) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* clock) override;
  STDMETHODIMP GetSyncSource(IReferenceClock** clock) override;

  // --- IBaseFilter ---
  STDMETHODIMP EnumPins(IEnumPins** pins) override;
  STDMETHODIMP FindPin(LPCWSTR id, IPin** pin) override;
  STDMETHODIMP QueryFilterInfo(FILTER_INFO* info) override;
  // The graph owns its filters, so the filter keeps no reference to it.
  STDMETHODIMP JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
  STDMETHODIMP QueryVendorInfo(LPWSTR* info) override;

  // --- IAMovieSetup ---
  // The module registers its filters itself; a filter without setup data has
  // nothing to add (S_FALSE), one with setup data leaves it to the module (E_NOTIMPL).
  STDMETHODIMP Register() override;
  STDMETHODIMP Unregister() override;

  // Forwards an event to the graph's event sink; E_NOTIMPL outside a graph.
  // EC_COMPLETE gets this filter as its second parameter, as graphs expect.
  HRESULT NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2);

  bool IsActive();
  bool IsStopped();
  CCritSec* pStateLock() const { return m_pLock; }
  CCritSec* pInfoLock() { return &m_InfoLock; }
  IFilterGraph* GetFilterGraph() {
    CAutoLock lock(&m_InfoLock);
    return m_pGraph;
  }

 protected:
  void IncrementPinVersion();

  FILTER_STATE m_State = State_Stopped;
  ComPtr<IReferenceClock> m_pClock;
  REFERENCE_TIME m_tStart = 0;
  CLSID m_clsid;
  CCritSec* m_pLock;
  IFilterGraph* m_pGraph = nullptr;    // not owned: the graph holds us
  IMediaEventSink* m_pSink = nullptr;  // not owned: part of the graph
  std::wstring m_pName;
  // Guards m_State, m_pClock, m_tStart, m_pGraph, m_pSink and m_pName for
  // readers; see above.
  CCritSec m_InfoLock;

 private:
  void SetState(FILTER_STATE state) {
    CAutoLock lock(&m_InfoLock);
    m_State = state;
  }

  volatile LONG m_PinVersion = 1;
};
