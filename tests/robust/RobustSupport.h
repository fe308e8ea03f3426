// Tools of the robustness tests: a watchdog that ends a hung test program, a
// producer ring written by hand (so it can break every rule a real producer
// library enforces), and an allocator whose sample buffers touch an
// inaccessible page.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Handle.h"
#include "support/Watchdog.h"
#include "transport/SlotHeader.h"

namespace telvor::test {

// A video ring under the camera's names, laid out by the test byte for byte.
class HostileRing {
 public:
  // section_bytes: size of the file mapping (0 creates nothing).
  HostileRing(int camera, std::uint64_t section_bytes);
  ~HostileRing();
  HostileRing(const HostileRing&) = delete;
  HostileRing& operator=(const HostileRing&) = delete;

  bool Ok() const { return view_ != nullptr && mutex_; }
  std::uint64_t Bytes() const { return bytes_; }

  // Slot 0's format fields (the capacity field is what slot addressing uses).
  void SetFormat(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height, double fps, std::uint32_t capacity);
  // Writes one slot under the mutex. The slot stride is `stride_capacity` + 84
  // (normally the announced capacity); payload bytes written are clipped to
  // what lies inside the section.
  void WriteSlot(std::uint32_t slot, std::uint32_t stride_capacity, std::uint64_t sequence, std::uint64_t timestamp,
                 std::uint32_t length, std::uint8_t value, std::uint32_t fill_bytes);
  // Patches a field of slot 0 under the mutex (a producer changing format mid-stream).
  void PatchSlot0(std::size_t offset, const void* data, std::size_t size);
  void Lock();
  void Unlock();
  // Drops the test's handles and view (a producer closing its objects).
  void Close();

 private:
  std::uint64_t bytes_;
  UniqueHandle mapping_;
  UniqueHandle mutex_;
  std::uint8_t* view_ = nullptr;
};

// Kernel-object names of a camera's video channel.
std::wstring VideoMappingName(int camera);
std::wstring VideoMutexName(int camera);

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

// Reads a sample's bytes: the sample's buffer as a vector.
std::vector<BYTE> SampleBytes(IMediaSample* sample);

}  // namespace telvor::test

namespace telvor::test {

// Command line of the robustness producer helper (RobustProducerHelper.cpp),
// for a BackgroundProcess.
std::wstring RobustHelper(const std::wstring& arguments);

// The event the helper signals once it holds the mutex.
std::wstring HelperSignalName(int camera);

}  // namespace telvor::test
