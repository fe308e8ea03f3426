// Tools of the robustness tests: a producer ring written by hand (so it can
// break every rule a real producer library enforces), a helper process that
// writes it, and an allocator whose sample buffers touch an inaccessible page.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "HostileRing.h"
#include "support/Watchdog.h"

namespace telvor::test {

// An IMemAllocator handing out samples whose buffers end exactly at a
// PAGE_NOACCESS page (or, with guard_before, start right after one), sized
// to the bytes the pin asked for. A write outside the buffer faults at once.
class GuardedAllocator : public IMemAllocator {
 public:
  static GuardedAllocator* Create(bool guard_before);  // one reference

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IMemAllocator
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* request, ALLOCATOR_PROPERTIES* actual) override;
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* props) override;
  STDMETHODIMP Commit() override;
  STDMETHODIMP Decommit() override;
  STDMETHODIMP GetBuffer(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override;
  STDMETHODIMP ReleaseBuffer(IMediaSample* sample) override;

  // Grants at most this many bytes per buffer from now on (0: what is asked).
  void LimitBufferSize(long bytes) { limit_ = bytes; }
  long GrantedSize() const { return props_.cbBuffer; }
  // Decommit still decommits but answers `result` (a client whose allocator fails).
  void SetDecommitResult(HRESULT result) { decommit_result_ = result; }

 private:
  explicit GuardedAllocator(bool guard_before) : guard_before_(guard_before) {}
  virtual ~GuardedAllocator();

  std::atomic<ULONG> refs_{1};
  bool guard_before_;
  long limit_ = 0;
  bool committed_ = false;
  HRESULT decommit_result_ = S_OK;
  ALLOCATOR_PROPERTIES props_ = {};
};

// Command line of the robustness producer helper (RobustProducerHelper.cpp),
// for a BackgroundProcess.
std::wstring RobustHelper(const std::wstring& arguments);

// The event the helper signals once it holds the mutex.
std::wstring HelperSignalName(int camera);

}  // namespace telvor::test
