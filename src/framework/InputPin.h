// The input pin of a renderer-like filter: IMemInputPin over the allocator
// the upstream pin chooses. By default it offers no allocator of its own and
// states no requirements, as FFmpeg's capture pin does, so the upstream pin
// brings its own; end of stream and flushes are accepted and ignored.
//
// A pin author supplies CheckMediaType and Receive, and overrides the
// allocator calls to offer one.
#pragma once

#include "framework/BasePin.h"

class CBaseInputPin : public CBasePin, public IMemInputPin {
 public:
  CBaseInputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* hr,
                const wchar_t* pinName);

  DECLARE_IUNKNOWN
  // IMemInputPin and CBasePin's interfaces.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // --- hooks (after CBasePin's) ---
  // Lets the upstream allocator go.
  HRESULT BreakConnect() override;

  // --- IPin, input side ---
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // --- IMemInputPin ---
  STDMETHODIMP GetAllocator(IMemAllocator** allocator) override;
  // Keeps the allocator the upstream pin chose (Allocator()).
  STDMETHODIMP NotifyAllocator(IMemAllocator* allocator, BOOL readOnly) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
  // Receive for each sample in turn until one is not S_OK; `processed`
  // counts the samples that were.
  STDMETHODIMP ReceiveMultiple(IMediaSample** samples, long count, long* processed) override;
  STDMETHODIMP ReceiveCanBlock() override;

  // The allocator of the connection, or null.
  ComPtr<IMemAllocator> Allocator();

 private:
  ComPtr<IMemAllocator> m_pAllocator;  // under the filter's state lock
};
