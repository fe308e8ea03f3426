// An output pin that delivers samples through the downstream IMemInputPin.
//
// On connection it chooses the allocator: the downstream pin's own first,
// then a standard memory allocator it creates itself (some capture clients
// offer none); back on the pin it was last connected to, the allocator of that
// connection before either. DecideBufferSize is where the pin author asks for buffers:
//
//   HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override {
//     request->cBuffers = std::max(request->cBuffers, 1L);
//     request->cbBuffer = frameBytes;
//     ALLOCATOR_PROPERTIES granted;
//     HRESULT hr = allocator->SetProperties(request, &granted);
//     if (FAILED(hr)) return hr;
//     return granted.cbBuffer < frameBytes ? E_FAIL : S_OK;
//   }
//
// Active commits the allocator and Inactive decommits it; the decommit is
// what wakes a streaming thread blocked in GetDeliveryBuffer.
#pragma once

#include "framework/BasePin.h"

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                 const wchar_t* pinName);
  ~CBaseOutputPin() override;

  // --- hooks (after CBasePin's) ---
  // Requires IMemInputPin on the other pin (E_NOINTERFACE otherwise).
  HRESULT CheckConnect(IPin* pin) override;
  HRESULT BreakConnect() override;
  // Chooses the allocator.
  HRESULT CompleteConnect(IPin* receivePin) override;
  HRESULT Active() override;
  HRESULT Inactive() override;

  virtual HRESULT DecideAllocator(IMemInputPin* pin, IMemAllocator** allocator);
  virtual HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
  // An empty sample from the agreed allocator (may block until one is free).
  virtual HRESULT GetDeliveryBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                    DWORD flags);
  // Passes a filled sample downstream and returns the downstream answer.
  virtual HRESULT Deliver(IMediaSample* sample);
  // Creates the standard memory allocator.
  virtual HRESULT InitAllocator(IMemAllocator** allocator);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

  // --- IPin: calls that only make sense on an input pin ---
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

 protected:
  ComPtr<IMemInputPin> m_pInputPin;
  ComPtr<IMemAllocator> m_pAllocator;

 private:
  HRESULT OfferAllocator(IMemInputPin* pin, IMemAllocator* allocator);

  // The last connection's allocator and input pin (only ever compared, never
  // called: it may be gone), for a reconnection to the same pin.
  ComPtr<IMemAllocator> m_pLastAllocator;
  const IPin* m_pLastPeer = nullptr;
};
