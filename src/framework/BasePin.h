// The pin half of the framework: connection and media-type negotiation.
//
// A pin's reference count is its filter's: AddRef and Release on a pin keep
// the filter alive, and the filter deletes its pins. What a pin author
// supplies:
//   GetMediaType(position, type)  the offered types, 0, 1, 2, ... then
//                                 VFW_S_NO_MORE_ITEMS; E_INVALIDARG below 0
//   CheckMediaType(type)          exactly S_OK for an acceptable type
//   SetMediaType(type)            called with a checked type; keep it here
//   CheckConnect / CompleteConnect / BreakConnect   connection hooks
//   Active / Inactive / Run / Suspend   state hooks, called by the filter
//                                 only while the pin is connected
// Every one of them is called under the filter's state lock.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <vfwmsgs.h>

#include <string>

#include "base/Handle.h"
#include "framework/ComPtr.h"
#include "framework/MediaType.h"
#include "framework/Unknown.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  // `lock` is the filter's state lock. `pinName` is copied.
  CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr, const wchar_t* pinName,
           PIN_DIRECTION direction);

  DECLARE_IUNKNOWN
  // IPin, IQualityControl, IUnknown.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;
  // Counted on the filter: a pin lives as long as its filter.
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;
  ~CBasePin() override;

  // --- hooks, in their fixed order ---
  // Changes whenever the offered list changes; media-type enumerators compare it.
  virtual LONG GetMediaTypeVersion();
  virtual HRESULT Active();
  virtual HRESULT Inactive();
  virtual HRESULT Run(REFERENCE_TIME start);
  // The filter pauses after running.
  virtual HRESULT Suspend();
  virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
  virtual HRESULT SetMediaType(const CMediaType* type);
  // Default: refuses a pin of the same direction (VFW_E_INVALID_DIRECTION).
  virtual HRESULT CheckConnect(IPin* pin);
  virtual HRESULT BreakConnect();
  virtual HRESULT CompleteConnect(IPin* receivePin);
  // Default: offers nothing (E_INVALIDARG below 0, else VFW_S_NO_MORE_ITEMS).
  virtual HRESULT GetMediaType(int position, CMediaType* type);

  // --- IPin ---
  STDMETHODIMP Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** pin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* info) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* direction) override;
  STDMETHODIMP QueryId(LPWSTR* id) override;
  // S_OK when CheckMediaType accepts the type, S_FALSE when it refuses it.
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* type) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** types) override;
  STDMETHODIMP QueryInternalConnections(IPin** pins, ULONG* count) override;
  STDMETHODIMP NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
  // EndOfStream, BeginFlush and EndFlush depend on the direction: subclasses answer.

  // --- IQualityControl ---
  STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;
  STDMETHODIMP SetSink(IQualityControl* sink) override;

  bool IsConnected() const { return static_cast<bool>(m_Connected); }
  IPin* GetConnected() const { return m_Connected.Get(); }
  bool IsStopped();
  const wchar_t* Name() const { return m_pName.c_str(); }
  const CMediaType& CurrentMediaType() const { return m_mt; }

 protected:
  // Call when the offered list changes, so open enumerators report it.
  void IncrementTypeVersion();

  std::wstring m_pName;
  ComPtr<IPin> m_Connected;
  CMediaType m_mt;
  PIN_DIRECTION m_dir;
  CBaseFilter* m_pFilter;  // not owned: the filter owns us
  CCritSec* m_pLock;
  IQualityControl* m_pQSink = nullptr;  // not owned, as the interface requires
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0;
  double m_dRate = 1.0;

 private:
  HRESULT AgreeMediaType(IPin* receivePin, const AM_MEDIA_TYPE* partial);
  HRESULT TryMediaTypes(IPin* receivePin, const AM_MEDIA_TYPE* partial, IEnumMediaTypes* types);
  HRESULT TryOwnMediaTypes(IPin* receivePin, const AM_MEDIA_TYPE* partial);
  HRESULT AttemptConnection(IPin* receivePin, const CMediaType& type);
  HRESULT AcceptConnection(IPin* connector, const CMediaType& type);
  // The half both ends share: the checks, then the type; unconnected on failure.
  HRESULT TakeConnection(IPin* other, const CMediaType& type);
  HRESULT CheckTypeExactly(const CMediaType& type);
  void ForgetConnection();

  volatile LONG m_TypeVersion = 1;
};
